#!/usr/bin/env bash
# Installs every Debian package that building, testing, fuzzing,
# benchmarking and checking the format of qellog need, and rsyslog (with
# mmnormalize and liblognorm), logrotate and python3 (which reads the
# shipped records) for the shipping test. Run as root on Debian 12; safe to run again. It never starts or
# configures a system service: the shipping test runs rsyslogd daemons of
# its own.
set -euo pipefail

packages=(
  g++ make cmake pkg-config binutils
  libsimpleini-dev
  libgtest-dev libgmock-dev
  libbenchmark-dev
  libspdlog-dev libfmt-dev
  clang libclang-rt-14-dev clang-format
  rsyslog logrotate python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
