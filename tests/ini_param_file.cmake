# ini_param_file_test installs this program setuid root and runs it as an
# unprivileged user; it is given the program's path here.
add_executable(qellog_ini_param_file_host ${CMAKE_CURRENT_LIST_DIR}/ini_param_file_host.cc)
target_link_libraries(qellog_ini_param_file_host PRIVATE qellog_obj qellog_config qellog_build_flags)
target_compile_definitions(ini_param_file_test PRIVATE
  QELLOG_PARAM_FILE_HOST="$<TARGET_FILE:qellog_ini_param_file_host>")
add_dependencies(ini_param_file_test qellog_ini_param_file_host)
