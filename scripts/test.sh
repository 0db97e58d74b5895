#!/usr/bin/env bash
# Runs the whole test suite: installs what is needed, checks the house
# format, then builds and runs the unit tests three times (plain, ASan+UBSan,
# TSan) and each fuzz target briefly. Exits non-zero when anything fails or
# any sanitizer reports.
#
#   QELLOG_TEST_SANITIZERS=0   skip the two sanitizer suites
#   QELLOG_FUZZ_SECONDS=N      seconds per fuzz target (default 20, 0 skips)
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
./scripts/format.sh --check
jobs=$(nproc)

suite() {
  local dir=$1
  shift
  echo "=== test suite: $dir $*"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELLOG_WERROR=ON \
    -DQELLOG_BUILD_TESTS=ON -DQELLOG_BUILD_BENCH=ON -DQELLOG_BUILD_EXAMPLES=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 60)
}

suite build
if [ "${QELLOG_TEST_SANITIZERS:-1}" != 0 ]; then
  # Any report fails the run: UBSan does not recover, ASan and TSan abort.
  export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  suite build-asan -DQELLOG_SANITIZE=address -DQELLOG_BUILD_BENCH=OFF -DQELLOG_BUILD_EXAMPLES=OFF
  suite build-tsan -DQELLOG_SANITIZE=thread -DQELLOG_BUILD_BENCH=OFF -DQELLOG_BUILD_EXAMPLES=OFF
fi
if [ "${QELLOG_FUZZ_SECONDS:-20}" != 0 ]; then
  ./scripts/fuzz.sh "${QELLOG_FUZZ_SECONDS:-20}"
fi
echo "=== all suites passed"
