# Installation: the versioned shared library, the public headers, a CMake
# package (imported target qellog::qellog, and qellog::format with fmt),
# pkg-config files (qellog, and qellog-format with fmt), and the qellog
# tool. The CMake package is relocatable; the .pc file holds the
# prefix that the tree was installed to.
include(CMakePackageConfigHelpers)

set(QELLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qellog)

# The target carries its installed include directory itself.
install(TARGETS qellog EXPORT qellogTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qellog
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT qellogTargets
  NAMESPACE qellog::
  DESTINATION ${QELLOG_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/qellogConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qellogConfig.cmake
  INSTALL_DESTINATION ${QELLOG_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/qellogConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/qellogConfig.cmake
  ${PROJECT_BINARY_DIR}/qellogConfigVersion.cmake
  DESTINATION ${QELLOG_CMAKE_DIR})

# The .pc file names the prefix given at install time (`cmake --install
# --prefix`, or CMAKE_INSTALL_PREFIX): it is configured twice, here for
# everything but the prefix, and by the install script for the prefix.
# Absolute paths keep pkg-config's filtering of the system directories
# working (a -I/usr/include would break #include_next in libstdc++).
set(QELLOG_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QELLOG_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QELLOG_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qellog.pc.in
  ${PROJECT_BINARY_DIR}/qellog.pc.stage @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/qellog.pc.stage\"
  \"${PROJECT_BINARY_DIR}/qellog.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/qellog.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# qellog/format.h's users name fmt too; the others never do.
configure_file(${CMAKE_CURRENT_LIST_DIR}/qellog-format.pc.in
  ${PROJECT_BINARY_DIR}/qellog-format.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qellog-format.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET qellog_tool)
  install(TARGETS qellog_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The rsyslog rule base and configurations that turn shipped lines into
# records (docs/operations.md). The central configuration names the rule
# base by its full path, known only at install time, as the .pc file does.
set(QELLOG_RSYSLOG_DIR ${CMAKE_INSTALL_DATADIR}/qellog/rsyslog)
if(IS_ABSOLUTE "${QELLOG_RSYSLOG_DIR}")
  set(QELLOG_RULEBASE "${QELLOG_RSYSLOG_DIR}/qellog.rb")
else()
  set(QELLOG_RULEBASE "@CMAKE_INSTALL_PREFIX@/${QELLOG_RSYSLOG_DIR}/qellog.rb")
endif()
configure_file(${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-central.conf.in
  ${PROJECT_BINARY_DIR}/qellog-central.conf.stage @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/qellog-central.conf.stage\"
  \"${PROJECT_BINARY_DIR}/qellog-central.conf\" @ONLY)")
install(FILES
  ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog.rb
  ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-agent.conf
  ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-agent.conf.example
  ${PROJECT_BINARY_DIR}/qellog-central.conf
  DESTINATION ${QELLOG_RSYSLOG_DIR})
