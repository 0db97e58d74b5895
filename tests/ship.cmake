# The shipping test: a rotating log followed by rsyslog's imfile and
# forwarded over TCP to a second rsyslogd (tests/ship/ship_test.sh). It runs
# two daemons of its own and paces its writer in real time, so it runs alone.
# It is skipped where rsyslogd is not installed.

# The writer links the shared library, as a host does.
add_executable(qellog_ship_driver ${CMAKE_CURRENT_LIST_DIR}/ship/ship_driver.cc)
target_link_libraries(qellog_ship_driver PRIVATE qellog Threads::Threads qellog_build_flags)

# 4 threads through the process-wide API with Tailsafe=yes; and one thread
# that rotates between its own lines, which checks the shipper alone.
add_test(NAME ship_rsyslog_tailsafe
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/ship/ship_test.sh
          $<TARGET_FILE:qellog_ship_driver> yes)
add_test(NAME ship_rsyslog_inline_rotation
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/ship/ship_test.sh
          $<TARGET_FILE:qellog_ship_driver> inline)
set_tests_properties(ship_rsyslog_tailsafe ship_rsyslog_inline_rotation PROPERTIES
  TIMEOUT 60 RUN_SERIAL TRUE SKIP_RETURN_CODE 77 LABELS integration)
