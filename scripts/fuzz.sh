#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan+UBSan) and
# runs each for a while, one after the other.
#
#   scripts/fuzz.sh [seconds] [target]
#
#   seconds  time per target (default: QELLOG_FUZZ_SECONDS, else 20)
#   target   fuzz_ini, fuzz_line or fuzz_names (default: all three)
#
# New corpus entries go to a temporary directory; the committed seeds under
# tests/fuzz/corpus/<target>/ are only read. Exits non-zero when a target
# finds a crash, a sanitizer report, a leak or a timeout; the input that
# did it is kept under build-fuzz/artifacts/<target>/. Each target's
# libFuzzer output of the last run is in build-fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-${QELLOG_FUZZ_SECONDS:-20}}
only=${2:-}
all_targets=(fuzz_ini fuzz_line fuzz_names)

if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz.sh: seconds must be a positive number, not '$seconds'" >&2
  exit 2
fi
targets=("${all_targets[@]}")
if [ -n "$only" ]; then
  case " ${all_targets[*]} " in
    *" $only "*) targets=("$only") ;;
    *) echo "fuzz.sh: unknown target '$only' (one of: ${all_targets[*]})" >&2; exit 2 ;;
  esac
fi

# Longest input per target: room for the largest seeds (over-long values,
# 3000-character texts) and a little more.
max_len() {
  case $1 in
    fuzz_ini) echo 4096 ;;
    fuzz_line) echo 4096 ;;
    fuzz_names) echo 4096 ;;
  esac
}

build=$root/build-fuzz
echo "=== building the fuzz targets in $build"
# Quiet unless something goes wrong; two jobs at most, the machine is shared.
mkdir -p "$build"
if ! { CC=clang CXX=clang++ cmake -S tests/fuzz -B "$build" &&
       cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  echo "fuzz.sh: building the fuzz targets failed" >&2
  exit 1
fi

# Scratch space of the targets and the working corpora; tmpfs when there is
# one, and a path without '.', which the targets require of their parent.
parent=/dev/shm
[ -w "$parent" ] || parent=/tmp
work=$(mktemp -d "$parent/qellog_fuzz_XXXXXX")
trap 'rm -rf "$work"' EXIT
export QELLOG_FUZZ_TMPDIR=$work
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

stat_of() {  # stat_of <log> <name>
  sed -n "s/^stat::$2: *//p" "$1" | tail -n 1
}

mkdir -p "$build/logs"
status=0
summary=()
for t in "${targets[@]}"; do
  corpus=$work/corpus_$t
  artifacts=$work/artifacts_$t
  log=$work/$t.log
  mkdir -p "$corpus" "$artifacts"
  echo "=== $t: ${seconds}s, -max_len=$(max_len "$t")"
  rc=0
  "$build/$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$root/tests/fuzz/corpus/$t" \
    >"$log" 2>&1 || rc=$?
  cp "$log" "$build/logs/$t.log"
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
  execs=$(stat_of "$log" number_of_executed_units)
  rate=$(stat_of "$log" average_exec_per_sec)
  units=$(stat_of "$log" new_units_added)
  rss=$(stat_of "$log" peak_rss_mb)
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    status=1
    kept=$build/artifacts/$t
    mkdir -p "$kept"
    cp -a "$artifacts/." "$kept/" 2>/dev/null || true
    echo "!!! $t failed (exit $rc); inputs kept in $kept, log in $build/logs/$t.log"
    echo "    reproduce: $build/$t $kept/<crash-file>"
    grep -nE 'ERROR:|SUMMARY:|runtime error:|fuzz property broken' "$log" | head -n 20 || true
    sed -n '/==ERROR\|runtime error:\|deadly signal/,$p' "$log" | head -n 60
    summary+=("$t: FAILED after ${execs:-?} executions")
  else
    summary+=("$t: ${execs:-?} executions, ${rate:-?} exec/s, ${units:-?} new units, ${cov:-cov: ?}, peak RSS ${rss:-?} MB")
  fi
done

echo "=== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit "$status"
