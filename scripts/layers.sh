#!/usr/bin/env bash
# The layers of src/log and the include graph between its units, read from
# the sources. Prints the graph (each unit, its layer, and the units its .h
# and .cc include) and fails when an include runs upward, when a unit is in
# no layer, or when a unit below the public object calls one of CQel_Log's
# writing, flushing or rotating members (the public object's, which would
# run upward too). docs/design.md shows its output; ctest runs it.
#
#   scripts/layers.sh [source root]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"

# The layers, bottom up. A unit is a .h and/or .cc of that name in src/log.
layers=(
  "formats: hot_path file_format line_format line_text message_filter retention_policy"
  "state: sys_calls sync log_state fork_safety flush_request"
  "line formatting: calendar process_ids line"
  "write loop and lost pieces: write_loop lost_lines"
  "append protocol and writers: append message"
  "file operations: log_files rotated_files dir_walk live_open log_path own_file rotation generations reopen log_move retention"
  "flush thread and upkeep: flush upkeep"
  "public object: log_file line_settings"
)

declare -A layer_of
for i in "${!layers[@]}"; do
  for unit in ${layers[$i]#*:}; do layer_of[$unit]=$((i + 1)); done
done

# The files of a unit.
files_of() {
  local base=src/log/$1
  [[ $1 == */* ]] && base=src/$1
  ls "$base".h "$base".cc 2>/dev/null || true
}

# The engine units a unit includes, as "dir/name" or "name".
includes_of() {
  files_of "$1" | xargs -r sed -n -E 's%^#include "(log|config|api)/([a-z_]+)\.h"$%\1/\2%p' |
    sed 's|^log/||' | grep -vx "$1" | sort -u || true
}

status=0
for unit in $(ls src/log | sed 's/\.\(h\|cc\)$//' | sort -u); do
  [ -n "${layer_of[$unit]:-}" ] || { echo "error: src/log/$unit is in no layer" >&2; status=1; }
done

for i in "${!layers[@]}"; do
  n=$((i + 1))
  echo "layer $n, ${layers[$i]%%:*}"
  for unit in ${layers[$i]#*:}; do
    deps=$(includes_of "$unit" | paste -sd " " -)
    printf '  %-18s -> %s\n' "$unit" "${deps:-(none)}"
    for dep in $deps; do
      if [ -z "${layer_of[$dep]:-}" ]; then
        echo "error: $unit includes $dep, which is in no layer" >&2
        status=1
      elif [ "${layer_of[$dep]}" -gt "$n" ]; then
        echo "error: $unit (layer $n) includes $dep (layer ${layer_of[$dep]}): upward" >&2
        status=1
      fi
    done
    # Members of the public object called from below it (comments aside).
    if [ "$n" -lt "${#layers[@]}" ]; then
      calls=$(files_of "$unit" | xargs -r sed 's|//.*||' |
        grep -nE '(\.|->)(writelog|writetime|write_to_file|flushlog|create_next_file|(start|stop|msg)_flush_thread|set_[a-z_]+)\(' || true)
      if [ -n "$calls" ]; then
        echo "error: $unit (layer $n) calls the public object: $calls" >&2
        status=1
      fi
    fi
  done
done
[ "$status" -eq 0 ] && echo "no include and no call runs upward"
exit "$status"
