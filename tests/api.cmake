# Tests of the process-wide API that need the shared object itself: the
# unload hook at dlclose(), and the exported symbol table.

# The host only loads the library at run time; it does not link it.
add_executable(qellog_dlopen_host ${CMAKE_CURRENT_LIST_DIR}/dlopen_host.cc)
target_include_directories(qellog_dlopen_host PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(qellog_dlopen_host PRIVATE ${CMAKE_DL_LIBS} Threads::Threads qellog_build_flags)
add_dependencies(qellog_dlopen_host qellog)

add_test(NAME api_dlopen_unload_hook
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/dlopen_test.sh
          $<TARGET_FILE:qellog_dlopen_host> $<TARGET_FILE:qellog>)
add_test(NAME api_exported_symbols
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_exports.sh $<TARGET_FILE:qellog>)
set_tests_properties(api_dlopen_unload_hook api_exported_symbols PROPERTIES TIMEOUT 60)
