#!/usr/bin/env bash
# Installs what is needed, builds, and runs the two demo programs: the log
# class used directly, and a host program using the process-wide interface.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target engine_demo host_demo
echo
echo "### The log class, used directly"
build/examples/engine_demo
echo
echo "### A host program through the process-wide interface"
build/examples/host_demo
