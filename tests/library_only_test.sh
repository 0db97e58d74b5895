#!/usr/bin/env bash
# A build of the library alone needs neither GoogleTest nor Google
# Benchmark: the default configure (the README's recipe) succeeds even
# when looking for either package is forbidden (a REQUIRED find_package of
# a disabled package stops the configure).
#
# Usage: library_only_test.sh <cmake> <source dir>
set -euo pipefail
cmake=$1
src=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qellog_libonly_XXXXXX")
trap 'rm -rf "$tmp"' EXIT
if ! "$cmake" -S "$src" -B "$tmp" \
     -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
     > "$tmp/configure.out" 2>&1; then
  cat "$tmp/configure.out"
  echo "FAIL: the library alone does not configure without GTest and benchmark"
  exit 1
fi
# And the check itself can fail: with the tests on, GTest is required.
if "$cmake" -S "$src" -B "$tmp/with_tests" -DQELLOG_BUILD_TESTS=ON -DQELLOG_BUILD_BENCH=OFF \
     -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON > "$tmp/with_tests.out" 2>&1; then
  echo "FAIL: a configure with the tests on did not need GTest"
  exit 1
fi
echo "library_only_test: ok"
