#!/usr/bin/env bash
# Ships a rotating qellog log through rsyslog and judges the records that
# arrive.
#
# Two rsyslogd daemons of this test's own run on the loopback, with the
# project's configurations (contrib/rsyslog): an agent whose imfile input
# follows the live log name and forwards each line over TCP, and a central
# one that turns each line into a JSON record with the rule base (in table
# mode also a second time, with the lifecycle records dropped). The driver
# writes THREADS x LINES numbered lines, paced to RATE lines/s, through a
# log that rotates at 128 kb. check_records.py then reads the log files on
# its own: every number must be in them exactly once, must reach the central
# server exactly once, as a message record whose fields are those of its
# line; every other line must arrive as a lifecycle record, never as a
# message.
#
# Usage: ship_test.sh DRIVER MODE CENTRAL_CONF AGENT_CONF [TOOL]
#   MODE (default $SHIP_TAILSAFE, else yes):
#   yes     the process-wide API from THREADS threads, Tailsafe=yes,
#           Isotime=yes; judged
#   no      the same without Tailsafe: the shipped counts are printed, not
#           judged (lines written to the old file after its rename can miss
#           the shipper)
#   inline  one thread writes and rotates the file itself between two lines,
#           so nothing reaches a file after its rename: a check of the
#           shipper's own configuration; judged
#   table   no driver: the sample lines of record_table.py must give the
#           records the table holds
#   table-lf  the same with LF line ends (Lineend=lf), followed by an
#           imfile input that ends a line at its LF
#   generations  AGENT_CONF is qellog-agent.conf.example, filled in with
#           sed (the rotated names as TOOL's --where prints them) and used
#           as it is; the log gets the keys of its "# requires:" lines and
#           rotates at 16 kb, while a loop of g++ -O2 compiles keeps both
#           cores busy; judged
#   generations-stop  the same, with the agent stopped 1 s into the run and
#           started again 4 s later; judged
# Environment, for experiments: SHIP_THREADS (4), SHIP_LINES (25000 per
# thread), SHIP_RATE (20000 lines/s in total), SHIP_MAXFILESIZE_KB (128),
# SHIP_IMFILE_MODE (inotify, or polling), SHIP_LOGGING (0x3; 0x100003 adds
# the rotation's own lines, which show where each rename happened),
# SHIP_LOAD=yes (the compile load in any mode), SHIP_STOP_AGENT=yes (the
# agent's stop in any mode), SHIP_KEEP=1 keeps the work directory.
# Exit status: 0 pass, 1 fail, 77 rsyslogd or python3 missing (skipped).
set -euo pipefail

driver=$1
mode=${2:-${SHIP_TAILSAFE:-yes}}
central_conf=$3
agent_conf=$4
checker=$(dirname "$0")/check_records.py
threads=${SHIP_THREADS:-4}
lines=${SHIP_LINES:-25000}
rate=${SHIP_RATE:-20000}
tool=${5:-}
gen=no
case $mode in generations*) gen=yes ;; esac
size_kb=${SHIP_MAXFILESIZE_KB:-$([ $gen = yes ] && echo 16 || echo 128)}
total=$((threads * lines))
case $mode in yes|no|inline|table|table-lf|generations|generations-stop) ;; *) echo "ship_test: MODE must be yes, no, inline, table, table-lf, generations or generations-stop" >&2; exit 2 ;; esac
# The table's line end, and the checker's word for it.
table_end=""
[ "$mode" = table-lf ] && table_end=lf

rsyslogd=$(PATH=$PATH:/usr/sbin:/sbin command -v rsyslogd || true)
if [ -z "$rsyslogd" ]; then
  echo "SKIP: rsyslogd not installed (scripts/setup.sh installs it)"
  exit 77
fi
if ! command -v python3 >/dev/null; then
  echo "SKIP: python3 not installed (scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qellog_ship_XXXXXX")
logdir=$work/logs
central_out=$work/all.json
daemon_pids=()
load_pids=()

# Ends the daemons this script started, by their own process ids.
stop_daemons() {
  local pid i
  for pid in "${daemon_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${daemon_pids[@]}"; do
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  daemon_pids=()
}
# Two endless loops of g++ -O2 compiles of a source of the tree, one per
# core, each in a process group of its own so that it ends whole.
start_load() {
  local root i
  root=$(cd "$(dirname "$0")/../.." && pwd)
  for i in 1 2; do
    setsid bash -c 'while :; do g++ -std=c++17 -O2 -I"$1/include" -I"$1/src" -c \
      "$1/src/log/rotation.cc" -o /dev/null 2>/dev/null || sleep 1; done' load "$root" &
    load_pids+=("$!")
  done
}
stop_load() {
  local pid
  for pid in "${load_pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for pid in "${load_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  load_pids=()
}
cleanup() {
  stop_load
  stop_daemons
  if [ "${SHIP_KEEP:-0}" = 1 ]; then echo "ship_test: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Waits until file $1 exists and contains the fixed text $2 (empty: exists),
# at most $3 seconds.
wait_for_text() {
  local deadline=$((SECONDS + $3))
  while [ $SECONDS -lt $deadline ]; do
    if [ -s "$1" ] && { [ -z "$2" ] || grep -qF -- "$2" "$1"; }; then return 0; fi
    sleep 0.2
  done
  return 1
}

# Starts `rsyslogd -n` on configuration $2 as daemon $1, with its pid file in
# the work directory, and checks that the pid file names the process started.
start_daemon() {
  rm -f "$work/$1.pid"
  "$rsyslogd" -n -f "$work/$1.conf" -i "$work/$1.pid" >>"$work/$1.out" 2>&1 &
  daemon_pids+=("$!")
  local pid=$!
  [ "$1" = agent ] && agent_pid=$pid
  if ! wait_for_text "$work/$1.pid" "" 15 || [ "$(cat "$work/$1.pid")" != "$pid" ]; then
    echo "ship_test: rsyslogd $1 did not start"; cat "$work/$1.out"; exit 1
  fi
}

# Central: imtcp on a free loopback port it picks itself (written to
# $work/port); every record to $central_out and, in table mode, the records
# that the switch keeps when set to "drop" to messages.json. Its own messages
# go to a file of its own, never to the system log.
write_central_conf() {
  local second=""
  case $mode in table*) second="call messages" ;; esac
  mkdir -p "$work/central.work"
  cat >"$work/central.conf" <<EOF
global(workDirectory="$work/central.work" processInternalMessages="on"
       parser.escapeControlCharactersOnReceive="off")
module(load="imtcp")
include(file="$central_conf")
ruleset(name="all") {
  set \$.qellog_lifecycle = "keep";
  set \$.qellog_classes = "WARN DEBUG_2";
  call qellog_record
  action(type="omfile" file="$central_out" template="qellog_json")
}
ruleset(name="messages") {
  set \$.qellog_lifecycle = "drop";
  set \$.qellog_classes = "WARN DEBUG_2";
  call qellog_record
  action(type="omfile" file="$work/messages.json" template="qellog_json")
}
ruleset(name="shipped") {
  call all
  $second
}
input(type="imtcp" address="127.0.0.1" port="0" listenPortFileName="$work/port"
      ruleset="shipped")
*.* action(type="omfile" file="$work/central.internal")
EOF
}

# Agent: imfile follows the live name only (a wildcard over the rotated names
# would ship them again); a line ends at the CR of its CR LF, or at its LF
# in a log with LF line ends.
write_agent_conf() {
  local line_end='endmsg.regex="\r$"'
  [ "$mode" = table-lf ] && line_end=""
  mkdir -p "$work/agent.work"
  cat >"$work/agent.conf" <<EOF
global(workDirectory="$work/agent.work" processInternalMessages="on")
module(load="imfile" mode="${SHIP_IMFILE_MODE:-inotify}")
include(file="$agent_conf")
ruleset(name="forward") {
  action(type="omfwd" target="127.0.0.1" port="$1" protocol="tcp"
         template="qellog_forward" action.resumeRetryCount="-1")
}
input(type="imfile" file="$logdir/ship.log" tag="ship:" ruleset="forward"
      addMetadata="on" escapeLF="off" $line_end)
*.* action(type="omfile" file="$work/agent.internal")
EOF
}

# The agent of the generations modes: the example as installed, filled in
# with sed alone.
write_example_agent_conf() {
  local names
  mkdir -p "$work/agent.work"
  names=$(HOME=$work/home "$tool" --where ship | sed -n 's/^rotated names: //p')
  [ -n "$names" ] || { echo "ship_test: qellog --where printed no rotated names"; exit 1; }
  sed -e "s|@WORK_DIR@|$work/agent.work|g" -e "s|@LOG_FILE@|$logdir/ship.log|g" \
    -e "s|@ROTATED_NAMES@|$names|g" -e "s|@CENTRAL_HOST@|127.0.0.1|g" \
    -e "s|@CENTRAL_PORT@|$1|g" -e "s|@RSYSLOG_DIR@|$(dirname "$agent_conf")|g" \
    "$agent_conf" >"$work/agent.conf"
  # An experiment's imfile mode in place of the example's.
  if [ -n "${SHIP_IMFILE_MODE:-}" ]; then
    sed -i "s|mode=\"polling\" PollingInterval=\"1\"|mode=\"$SHIP_IMFILE_MODE\"|" "$work/agent.conf"
  fi
  if grep -qE '@[A-Z_]+@' "$work/agent.conf"; then
    echo "ship_test: a placeholder is left:"; grep -E '@[A-Z_]+@' "$work/agent.conf"; exit 1
  fi
}

# Stops the agent alone and waits until it has ended.
stop_agent() {
  kill -TERM "$agent_pid"
  wait "$agent_pid" 2>/dev/null || true
  local pid kept=()
  for pid in "${daemon_pids[@]}"; do [ "$pid" = "$agent_pid" ] || kept+=("$pid"); done
  daemon_pids=("${kept[@]}")
}

write_param_file() {
  mkdir -p "$work/home/.config/qel"
  {
    cat <<EOF
[LOGGING]
Logpath=$logdir
Logname=ship.log
LogFileFlags=O_CREAT
Logging=${SHIP_LOGGING:-0x3}
Flushcount=10
Maxfilesize=${size_kb}kb
Isotime=yes
EOF
    if [ $gen = yes ]; then
      # The keys the agent's configuration names, as it names them; files
      # end at the limit however busy the machine is.
      sed -n 's/^# requires: //p' "$agent_conf"
      echo Strictsize=yes
    else
      printf 'Flushthread=yes\nTailsafe=%s\n' "$mode"
    fi
  } >"$work/home/.config/qel/ship_param.ini"
  # Others may not write a parameter file the library obeys, whatever the umask.
  chmod 0755 "$work/home" "$work/home/.config" "$work/home/.config/qel"
  chmod 0644 "$work/home/.config/qel/ship_param.ini"
}

# Waits until the agent has shipped the end trailer of the last file (it
# follows every numbered line) and the central file has stopped growing, or
# the central file has not grown for 15 s, at most 60 s in all.
wait_for_shipping() {
  local deadline=$((SECONDS + 60)) last=-1 size still=0
  while [ $SECONDS -lt $deadline ]; do
    size=$(stat -c %s "$central_out" 2>/dev/null || echo 0)
    if [ "$size" = "$last" ]; then still=$((still + 1)); else still=0; last=$size; fi
    # Polling reads each file once a second: a second without growth is
    # not the end there.
    if [ $still -ge $([ $gen = yes ] && echo 12 || echo 4) ] &&
      grep -q '"event": "ended"' "$central_out"; then return 0; fi
    [ $still -ge 60 ] && return 1
    sleep 0.25
  done
  return 1
}

mkdir -p "$logdir"
write_central_conf
start_daemon central
wait_for_text "$work/port" "" 15 || { echo "ship_test: no listening port"; exit 1; }
agent_pid=
if [ $gen = yes ]; then
  write_param_file
  write_example_agent_conf "$(cat "$work/port")"
else
  write_agent_conf "$(cat "$work/port")"
fi
start_daemon agent

# The pipeline is up once a probe line written to the live name (in the
# generations modes, a name the wildcard matches) arrives.
if [ $gen = yes ]; then
  printf 'shipping probe\r\n' >"$logdir/ship_probe.log"
elif [ "$mode" = table-lf ]; then
  printf 'shipping probe\n' >"$logdir/ship.log"
else
  printf 'shipping probe\r\n' >"$logdir/ship.log"
fi
if ! wait_for_text "$central_out" "shipping probe" 30; then
  echo "ship_test: the probe line never arrived"
  cat "$work"/*.out "$work"/*.internal 2>/dev/null; exit 1
fi

if [ "${mode%-lf}" = table ]; then
  python3 "$checker" table-lines "$logdir/ship.log" $table_end
elif [ "$mode" = inline ]; then
  "$driver" --inline-rotation "$logdir/ship.log" "$total" "$rate" $((size_kb * 1024))
else
  [ $gen = yes ] || write_param_file
  [ "${SHIP_LOAD:-$gen}" = yes ] && start_load
  HOME=$work/home "$driver" ship "$threads" "$lines" "$rate" &
  driver_pid=$!
  if [ "$mode" = generations-stop ] || [ "${SHIP_STOP_AGENT:-no}" = yes ]; then
    sleep 1
    stop_agent
    echo "ship_test: agent stopped for 4 s"
    sleep 4
    start_daemon agent
  fi
  driver_status=0
  wait "$driver_pid" || driver_status=$?
  stop_load
  [ $driver_status -eq 0 ] || { echo "ship_test: the driver failed ($driver_status)"; exit 1; }
fi
wait_for_shipping || echo "ship_test: shipping did not finish within its time"
stop_daemons

if [ "${mode%-lf}" = table ]; then
  python3 "$checker" table "$logdir/ship.log" "$central_out" "$work/messages.json" $table_end ||
    { cat "$work"/*.internal 2>/dev/null | tail -n 20; exit 1; }
  echo "ship_test: ok"; exit 0
fi
rotations=$(find "$logdir" -name 'ship_2*.log' | wc -l)
echo "ship_test: mode=$mode lines=$total rotations=$rotations"
fail=0
judged=yes
[ "$mode" = no ] && judged=no
python3 "$checker" ship "$logdir" "$logdir/ship.log" "$central_out" "$total" $judged || fail=1
# A line is about 75 bytes (prefix fields and payloads) and a file ends at
# its size plus at most a few flush counts of lines: about 57 rotations for
# 100,000 lines at 128 kb; 3/4 of that at least.
min_rotations=$((total * 75 * 3 / 4 / (size_kb * 1024 + 2000)))
# With Strictsize no file passes twice its limit, however slow the flush
# thread is (a loaded machine, a sanitizer build).
if [ $gen = yes ]; then min_rotations=$((total * 75 / (2 * size_kb * 1024 + 2000))); fi
if [ "$rotations" -lt "$min_rotations" ]; then
  echo "FAIL: $rotations rotations, expected at least $min_rotations"; fail=1
fi
if [ $fail -ne 0 ]; then cat "$work"/*.internal 2>/dev/null | tail -n 20; exit 1; fi
echo "ship_test: ok"
