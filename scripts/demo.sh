#!/usr/bin/env bash
# Installs what is needed, builds, and runs the two demo programs: the log
# class used directly, and a host program using the process-wide interface.
# Their files go to one temporary directory, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELLOG_BUILD_EXAMPLES=ON
cmake --build build -j"$(nproc)" --target engine_demo host_demo

work=$(mktemp -d /tmp/qellog_demo_XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/engine" "$work/host"
echo
echo "### The log class, used directly"
build/examples/engine_demo "$work/engine"
echo
echo "### A host program through the process-wide interface (rotated files first)"
build/examples/host_demo "$work/host"
