# The qellog tool. line_split_test links the tool's line splitter;
# tool_test, tool_hostile_test and tool_show_test run the built program,
# whose path they are given here, and may run it on a terminal
# (tool_fixture.h's OnTerminal: forkpty, from libutil).
target_sources(line_split_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/line_split.cc)
target_include_directories(line_split_test PRIVATE ${PROJECT_SOURCE_DIR}/tools)
if(QELLOG_BUILD_TOOLS)
  # The tool holds one copy of the library's code, not a second one beside
  # the shared library's.
  add_test(NAME tool_one_copy
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_exports.sh
            $<TARGET_FILE:qellog> $<TARGET_FILE:qellog_tool>)
  set_tests_properties(tool_one_copy PROPERTIES TIMEOUT 60)
  foreach(tool_test_target tool_test tool_hostile_test tool_show_test)
    target_compile_definitions(${tool_test_target} PRIVATE
      QELLOG_TOOL_PATH="$<TARGET_FILE:qellog_tool>")
    add_dependencies(${tool_test_target} qellog_tool)
  endforeach()
endif()
foreach(tool_test_target tool_test tool_hostile_test tool_show_test)
  target_link_libraries(${tool_test_target} PRIVATE util)
endforeach()
