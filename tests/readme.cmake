# What the documentation promises: its C++ examples (README.md, docs/*.md,
# bench/README.md) build against the installed package and run as printed,
# and the library builds without the test and benchmark packages.
set(QELLOG_README_FLAGS "")
if(QELLOG_SANITIZE STREQUAL "address")
  set(QELLOG_README_FLAGS "-fsanitize=address,undefined")
elseif(QELLOG_SANITIZE STREQUAL "thread")
  set(QELLOG_README_FLAGS "-fsanitize=thread")
endif()
add_test(NAME readme_examples
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/readme_test.sh
          ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_COMMAND}
          ${CMAKE_CXX_COMPILER} "${QELLOG_README_FLAGS}")
set_tests_properties(readme_examples PROPERTIES TIMEOUT 60 RESOURCE_LOCK qellog_install)
add_test(NAME library_only_configure
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/library_only_test.sh
          ${CMAKE_COMMAND} ${PROJECT_SOURCE_DIR})
set_tests_properties(library_only_configure PROPERTIES TIMEOUT 60)

# Every relative link of the documentation names a file and heading that
# exist; skipped where python3 is not installed.
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  add_test(NAME doc_links
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/doc_links.py ${PROJECT_SOURCE_DIR})
  set_tests_properties(doc_links PROPERTIES TIMEOUT 60)
endif()
