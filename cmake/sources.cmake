# The library's source files, listed, for this project and for the fuzz
# targets' own (tests/fuzz). A new source file is one line here.
#
# QELLOG_CONFIG_SOURCES: the configuration code (parameter-file names and
# reading, the key table, value readers, the set-up).
# QELLOG_ENGINE_SOURCES: the log engine, layer by layer (docs/design.md),
# and the process-wide API.
get_filename_component(QELLOG_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

set(QELLOG_CONFIG_SOURCES
  src/config/ini_keys.cc
  src/config/ini_names.cc
  src/config/ini_setup.cc
  src/config/ini_values.cc
  src/config/param_doc.cc
  src/config/param_file.cc
  src/config/param_template.cc
  src/config/setup_seam.cc)
list(TRANSFORM QELLOG_CONFIG_SOURCES PREPEND ${QELLOG_SOURCE_ROOT}/)

set(QELLOG_ENGINE_SOURCES
  src/log/file_format.cc
  src/log/line_format.cc
  src/log/line_text.cc
  src/log/retention_policy.cc
  src/log/sys_calls.cc
  src/log/log_state.cc
  src/log/fork_safety.cc
  src/log/flush_request.cc
  src/log/calendar.cc
  src/log/process_ids.cc
  src/log/line.cc
  src/log/write_loop.cc
  src/log/lost_lines.cc
  src/log/append.cc
  src/log/message.cc
  src/log/log_files.cc
  src/log/rotated_files.cc
  src/log/dir_walk.cc
  src/log/live_open.cc
  src/log/log_path.cc
  src/log/own_file.cc
  src/log/rotation.cc
  src/log/generations.cc
  src/log/reopen.cc
  src/log/log_move.cc
  src/log/retention.cc
  src/log/flush.cc
  src/log/upkeep.cc
  src/log/log_file.cc
  src/log/line_settings.cc
  src/api/log_guard.cc
  src/api/process_log.cc)
list(TRANSFORM QELLOG_ENGINE_SOURCES PREPEND ${QELLOG_SOURCE_ROOT}/)
