# The qellog tool. line_split_test links the tool's line splitter;
# tool_test runs the built program, whose path it is given here.
target_sources(line_split_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/line_split.cc)
target_include_directories(line_split_test PRIVATE ${PROJECT_SOURCE_DIR}/tools)
if(QELLOG_BUILD_TOOLS)
  target_compile_definitions(tool_test PRIVATE
    QELLOG_TOOL_PATH="$<TARGET_FILE:qellog_tool>")
  add_dependencies(tool_test qellog_tool)
endif()
