# The installed tree: `cmake --install` into a temporary prefix, then a
# consumer built against it with find_package and with pkg-config.
find_program(QELLOG_PKG_CONFIG pkg-config)
mark_as_advanced(QELLOG_PKG_CONFIG)
if(NOT QELLOG_PKG_CONFIG)
  set(QELLOG_PKG_CONFIG "")
endif()

# A sanitized library needs consumers built with the same sanitizer.
set(QELLOG_CONSUMER_FLAGS "")
if(QELLOG_SANITIZE STREQUAL "address")
  set(QELLOG_CONSUMER_FLAGS "-fsanitize=address,undefined")
elseif(QELLOG_SANITIZE STREQUAL "thread")
  set(QELLOG_CONSUMER_FLAGS "-fsanitize=thread")
endif()

add_test(NAME install_consumer
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_test.sh
          ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_COMMAND}
          ${CMAKE_CXX_COMPILER} "${QELLOG_CONSUMER_FLAGS}"
          $<IF:$<TARGET_EXISTS:qellog_tool>,ON,OFF> "${QELLOG_PKG_CONFIG}")
set_tests_properties(install_consumer PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77
  RESOURCE_LOCK qellog_install)
