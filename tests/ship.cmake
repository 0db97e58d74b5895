# The shipping test: a rotating log followed by rsyslog's imfile and
# forwarded over TCP to a second rsyslogd, which turns each line into a JSON
# record with the project's rule base (tests/ship/ship_test.sh). It runs
# two daemons of its own and paces its writer in real time, so it runs alone.
# It is skipped where rsyslogd or python3 is not installed.

# The writer links the shared library, as a host does.
add_executable(qellog_ship_driver ${CMAKE_CURRENT_LIST_DIR}/ship/ship_driver.cc)
target_link_libraries(qellog_ship_driver PRIVATE qellog Threads::Threads qellog_build_flags)

# The central configuration as installed, but naming the rule base of the
# source tree.
set(QELLOG_RULEBASE ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog.rb)
configure_file(${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-central.conf.in
  ${CMAKE_CURRENT_BINARY_DIR}/qellog-central.conf @ONLY)

# 4 threads through the process-wide API with Tailsafe=yes; one thread
# that rotates between its own lines, which checks the shipper alone; and
# the table of sample lines against the records they must give, with either
# line end.
set(QELLOG_SHIP_DIR ${CMAKE_CURRENT_LIST_DIR}/ship)
function(qellog_ship_test name mode)
  add_test(NAME ${name}
    COMMAND bash ${QELLOG_SHIP_DIR}/ship_test.sh
            $<TARGET_FILE:qellog_ship_driver> ${mode}
            ${CMAKE_CURRENT_BINARY_DIR}/qellog-central.conf
            ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-agent.conf)
endfunction()
qellog_ship_test(ship_rsyslog_tailsafe yes)
qellog_ship_test(ship_rsyslog_inline_rotation inline)
qellog_ship_test(ship_rsyslog_records_table table)
qellog_ship_test(ship_rsyslog_records_table_lf table-lf)
set_tests_properties(ship_rsyslog_tailsafe ship_rsyslog_inline_rotation
  ship_rsyslog_records_table ship_rsyslog_records_table_lf PROPERTIES
  TIMEOUT 60 RUN_SERIAL TRUE SKIP_RETURN_CODE 77 LABELS integration)

# The agent as contrib/rsyslog/qellog-agent.conf.example gives it, over the
# generations layout: three runs under a compile load, and one with the
# agent stopped for 4 s mid-run.
if(QELLOG_BUILD_TOOLS)
  foreach(run 1 2 3)
    add_test(NAME ship_rsyslog_generations_load_${run}
      COMMAND bash ${QELLOG_SHIP_DIR}/ship_test.sh
              $<TARGET_FILE:qellog_ship_driver> generations
              ${CMAKE_CURRENT_BINARY_DIR}/qellog-central.conf
              ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-agent.conf.example
              $<TARGET_FILE:qellog_tool>)
  endforeach()
  add_test(NAME ship_rsyslog_generations_agent_stopped
    COMMAND bash ${QELLOG_SHIP_DIR}/ship_test.sh
            $<TARGET_FILE:qellog_ship_driver> generations-stop
            ${CMAKE_CURRENT_BINARY_DIR}/qellog-central.conf
            ${PROJECT_SOURCE_DIR}/contrib/rsyslog/qellog-agent.conf.example
            $<TARGET_FILE:qellog_tool>)
  set_tests_properties(ship_rsyslog_generations_load_1 ship_rsyslog_generations_load_2
    ship_rsyslog_generations_load_3 ship_rsyslog_generations_agent_stopped PROPERTIES
    TIMEOUT 240 RUN_SERIAL TRUE SKIP_RETURN_CODE 77 LABELS integration)
endif()
