#!/usr/bin/env bash
# Ships a rotating qellog log through rsyslog and counts what arrives.
#
# Two rsyslogd daemons of this test's own run on the loopback: an agent whose
# imfile input follows the live log name and forwards each line over TCP, and
# a central one that writes the text of each received line to a file. The
# driver writes THREADS x LINES numbered lines, paced to RATE lines/s,
# through a log that rotates at 16 kb. Then every number must be in the log
# files exactly once, and must reach the central file exactly once.
#
# Usage: ship_test.sh DRIVER [MODE]   (MODE: default $SHIP_TAILSAFE, else yes)
#   yes     the process-wide API from THREADS threads, Tailsafe=yes; judged
#   no      the same without Tailsafe: the shipped counts are printed, not
#           judged (lines written to the old file after its rename can miss
#           the shipper)
#   inline  one thread writes and rotates the file itself between two lines,
#           so nothing reaches a file after its rename: a check of the
#           shipper's own configuration; judged
# Environment, for experiments: SHIP_THREADS (4), SHIP_LINES (25000 per
# thread), SHIP_RATE (20000 lines/s in total), SHIP_MAXFILESIZE_KB (16),
# SHIP_IMFILE_MODE (inotify, or polling), SHIP_LOGGING (0x3; 0x100003 adds
# the rotation's own lines, which show where each rename happened),
# SHIP_KEEP=1 keeps the work directory.
# Exit status: 0 pass, 1 fail, 77 rsyslogd missing (skipped).
set -euo pipefail

driver=$1
mode=${2:-${SHIP_TAILSAFE:-yes}}
threads=${SHIP_THREADS:-4}
lines=${SHIP_LINES:-25000}
rate=${SHIP_RATE:-20000}
size_kb=${SHIP_MAXFILESIZE_KB:-16}
total=$((threads * lines))
case $mode in yes|no|inline) ;; *) echo "ship_test: MODE must be yes, no or inline" >&2; exit 2 ;; esac

rsyslogd=$(PATH=$PATH:/usr/sbin:/sbin command -v rsyslogd || true)
if [ -z "$rsyslogd" ]; then
  echo "SKIP: rsyslogd not installed (scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qellog_ship_XXXXXX")
logdir=$work/logs
central_out=$work/central.txt
daemon_pids=()

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
cleanup() {
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
  "$rsyslogd" -n -f "$work/$1.conf" -i "$work/$1.pid" >"$work/$1.out" 2>&1 &
  daemon_pids+=("$!")
  local pid=$!
  if ! wait_for_text "$work/$1.pid" "" 15 || [ "$(cat "$work/$1.pid")" != "$pid" ]; then
    echo "ship_test: rsyslogd $1 did not start"; cat "$work/$1.out"; exit 1
  fi
}

# Central: imtcp on a free loopback port it picks itself (written to
# $work/port); the text of each line, nothing else, to $central_out. Its own
# messages go to a file of its own, never to the system log.
write_central_conf() {
  mkdir -p "$work/central.work"
  cat >"$work/central.conf" <<EOF
global(workDirectory="$work/central.work" processInternalMessages="on")
module(load="imtcp")
template(name="text" type="string" string="%msg%\n")
ruleset(name="shipped") {
  action(type="omfile" file="$central_out" template="text")
}
input(type="imtcp" address="127.0.0.1" port="0" listenPortFileName="$work/port"
      ruleset="shipped")
*.* action(type="omfile" file="$work/central.internal")
EOF
}

# Agent: imfile follows the live name only (a wildcard over the rotated names
# would ship them again); the CR of each line is dropped before forwarding.
write_agent_conf() {
  mkdir -p "$work/agent.work"
  cat >"$work/agent.conf" <<EOF
global(workDirectory="$work/agent.work" processInternalMessages="on")
module(load="imfile" mode="${SHIP_IMFILE_MODE:-inotify}")
template(name="forward" type="string"
         string="<%PRI%>%TIMESTAMP% %HOSTNAME% %syslogtag%%msg:::drop-cc%\n")
ruleset(name="forward") {
  action(type="omfwd" target="127.0.0.1" port="$1" protocol="tcp"
         template="forward" action.resumeRetryCount="-1")
}
input(type="imfile" file="$logdir/ship.log" tag="ship:" ruleset="forward")
*.* action(type="omfile" file="$work/agent.internal")
EOF
}

write_param_file() {
  mkdir -p "$work/home/.config/qel"
  cat >"$work/home/.config/qel/ship_param.ini" <<EOF
[LOGGING]
Logpath=$logdir
Logname=ship.log
LogFileFlags=O_CREAT
Logging=${SHIP_LOGGING:-0x3}
Flushcount=10
Maxfilesize=${size_kb}kb
Flushthread=yes
Tailsafe=$mode
EOF
}

# Counts the numbered lines of standard input: prints "missing duplicated
# malformed". A line naming the test but not of the exact form (a CR or an
# escaped #015 left at its end, a torn line) is malformed.
census() {
  awk -v total="$total" '
    /^00000000 [0-9]+ ship test line$/ { n = $2 + 0; if (n < total) { seen[n]++; next } }
    /ship test line/ { bad++ }
    END {
      for (i = 0; i < total; i++) { if (!(i in seen)) miss++; else dup += seen[i] - 1 }
      printf "%d %d %d\n", miss, dup, bad
    }'
}

# Waits until the agent has shipped the end trailer of the last file (it
# follows every numbered line) and the central file has stopped growing, or
# the central file has not grown for 15 s, at most 60 s in all.
wait_for_shipping() {
  local deadline=$((SECONDS + 60)) last=-1 size still=0
  while [ $SECONDS -lt $deadline ]; do
    size=$(stat -c %s "$central_out" 2>/dev/null || echo 0)
    if [ "$size" = "$last" ]; then still=$((still + 1)); else still=0; last=$size; fi
    if [ $still -ge 4 ] && grep -q "^Logging ended at" "$central_out"; then return 0; fi
    [ $still -ge 60 ] && return 1
    sleep 0.25
  done
  return 1
}

mkdir -p "$logdir"
write_central_conf
start_daemon central
wait_for_text "$work/port" "" 15 || { echo "ship_test: no listening port"; exit 1; }
write_agent_conf "$(cat "$work/port")"
start_daemon agent

# The pipeline is up once a probe line written to the live name arrives.
printf 'shipping probe\r\n' >"$logdir/ship.log"
if ! wait_for_text "$central_out" "shipping probe" 30; then
  echo "ship_test: the probe line never arrived"
  cat "$work"/*.out "$work"/*.internal 2>/dev/null; exit 1
fi

if [ "$mode" = inline ]; then
  "$driver" --inline-rotation "$logdir/ship.log" "$total" "$rate" $((size_kb * 1024))
else
  write_param_file
  HOME=$work/home "$driver" ship "$threads" "$lines" "$rate"
fi
wait_for_shipping || echo "ship_test: shipping did not finish within its time"
stop_daemons

rotations=$(find "$logdir" -name 'ship_*.log' | wc -l)
read -r disk_miss disk_dup disk_bad < <(cat "$logdir"/* "$logdir"/.[!.]* 2>/dev/null | tr -d '\r' | census)
read -r ship_miss ship_dup ship_bad < <(census <"$central_out")
echo "ship_test: mode=$mode lines=$total rotations=$rotations" \
     "on disk: missing=$disk_miss duplicated=$disk_dup malformed=$disk_bad;" \
     "shipped: missing=$ship_miss duplicated=$ship_dup malformed=$ship_bad"

fail=0
if [ "$disk_miss" -ne 0 ] || [ "$disk_dup" -ne 0 ] || [ "$disk_bad" -ne 0 ]; then
  echo "FAIL: the log files do not hold every line exactly once"; fail=1
fi
# A line is 34 bytes and a file ends at its size plus at most a few flush
# counts of lines: about 200 rotations for 100,000 lines at 16 kb; 3/4 of
# that at least (150).
min_rotations=$((total * 34 * 3 / 4 / (size_kb * 1024 + 600)))
if [ "$rotations" -lt "$min_rotations" ]; then
  echo "FAIL: $rotations rotations, expected at least $min_rotations"; fail=1
fi
if [ "$mode" != no ] && { [ "$ship_miss" -ne 0 ] || [ "$ship_dup" -ne 0 ] || [ "$ship_bad" -ne 0 ]; }; then
  echo "FAIL: every line must be shipped exactly once"; fail=1
fi
if [ $fail -ne 0 ]; then cat "$work"/*.internal 2>/dev/null | tail -n 20; exit 1; fi
echo "ship_test: ok"
