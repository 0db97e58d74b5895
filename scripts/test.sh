#!/usr/bin/env bash
# Runs the whole test suite: installs what is needed, builds, and runs the
# unit tests. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELLOG_WERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
