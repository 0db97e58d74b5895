#!/bin/sh
# Runs dlopen_host against the built library in a temporary HOME with a
# parameter file, then checks the log it left: the host's lines and exactly
# one end trailer, written by the unload hook at dlclose().
#
# Usage: dlopen_test.sh <dlopen_host> <libqellog.so>
set -eu
host=$1
lib=$2
home=$(mktemp -d "${TMPDIR:-/tmp}/qellog_dlopen_XXXXXX")
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.config/qel"
cat > "$home/.config/qel/dlhost_param.ini" <<INI
[LOGGING]
Logpath=$home/logs
Logname=dlhost.log
LogFileFlags=O_CREAT
Logging=0x3
INI
# Others may not write a parameter file the library obeys, whatever the umask.
chmod 0755 "$home/.config" "$home/.config/qel"
chmod 0644 "$home/.config/qel/dlhost_param.ini"
log=$home/logs/dlhost.log

HOME=$home "$host" "$lib" dlhost "$log"

fail=0
check() {
  if ! grep -q "$1" "$log"; then
    echo "missing in $log: $1"
    fail=1
  fi
}
check "^dlopen_host Version: 1.0 created today"
check "^Description: dlopen test"
check "^00000000 main thread line 1"
check "^00000000 short thread line"
check "^00000000 late thread line"
trailers=$(grep -c "^Logging ended at" "$log" || true)
if [ "$trailers" -ne 1 ]; then
  echo "expected one end trailer, found $trailers"
  fail=1
fi
# Nothing may follow the trailer: its dashes, then two empty lines.
if [ "$(tail -n 3 "$log" | head -n 1 | tr -d '\r')" != \
     "------------------------------------------------------------------------" ]; then
  echo "the log does not end with the trailer"
  fail=1
fi
[ $fail -eq 0 ] || { cat "$log"; exit 1; }
echo "dlopen_test: ok"
