#!/usr/bin/env bash
# Installs the built tree into a temporary prefix and checks it the way an
# outside project uses it: the files and their links, a consumer built with
# find_package(qellog) and one built with pkg-config, each run and its log
# read back, and the installed qellog tool.
#
# Usage: install_test.sh <build dir> <source dir> <cmake> <c++ compiler>
#                        <extra compile/link flags> <tool built: ON|OFF>
#                        <pkg-config or empty>
set -euo pipefail
build=$1
src=$2
cmake=$3
cxx=$4
extra_flags=$5
with_tool=$6
pkg_config=$7

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qellog_install_XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
export HOME=$tmp/home
mkdir -p "$HOME"

fail=0
bad() {
  echo "FAIL: $*"
  fail=1
}

"$cmake" --install "$build" --prefix "$prefix" > "$tmp/install.out"

# The library with its two links, found wherever GNUInstallDirs put it.
lib=$(find "$prefix" -name libqellog.so.1.1.0 -type f)
[ -n "$lib" ] || { cat "$tmp/install.out"; echo "FAIL: no libqellog.so.1.1.0"; exit 1; }
libdir=$(dirname "$lib")
[ "$(readlink "$libdir/libqellog.so.1")" = libqellog.so.1.1.0 ] || bad "libqellog.so.1 is not a link to libqellog.so.1.1.0"
[ "$(readlink "$libdir/libqellog.so")" = libqellog.so.1 ] || bad "libqellog.so is not a link to libqellog.so.1"
# (grep without -q in pipes: an early exit would fail the writer under
# pipefail.)
readelf -d "$lib" | grep 'SONAME.*\[libqellog\.so\.1\]' > /dev/null || bad "SONAME is not libqellog.so.1"
for h in log.h ini.h api.h qellog.h export.h format.h; do
  [ -f "$prefix/include/qellog/$h" ] || bad "header qellog/$h not installed"
done
for f in qellogConfig.cmake qellogConfigVersion.cmake qellogTargets.cmake; do
  [ -f "$libdir/cmake/qellog/$f" ] || bad "$f not installed under $libdir/cmake/qellog"
done
pc_dir=$libdir/pkgconfig
[ -f "$pc_dir/qellog.pc" ] || bad "qellog.pc not installed under $pc_dir"

# The package descriptions name no build-only target or flag and no path of
# the build tree; the CMake package names not even the prefix, so it works
# wherever the tree is moved, and the .pc file names the install prefix.
if grep -nE 'qellog_build_flags|qellog_obj|-fsanitize|-W(all|extra|shadow)' \
     -r "$libdir/cmake" "$pc_dir"; then
  bad "build-only settings leak into the installed package"
fi
if grep -nF -e "$build" -e "$src" -r "$libdir/cmake" "$pc_dir" ||
   grep -nF "$prefix" -r "$libdir/cmake"; then
  bad "the installed package names a fixed path"
fi
grep -qxF "prefix=$prefix" "$pc_dir/qellog.pc" || bad "qellog.pc does not name the prefix $prefix"
# fmt is named for the users of qellog/format.h only.
[ -f "$pc_dir/qellog-format.pc" ] || bad "qellog-format.pc not installed under $pc_dir"
grep -qx 'Requires: qellog fmt' "$pc_dir/qellog-format.pc" || bad "qellog-format.pc does not require qellog and fmt"
if grep -n fmt "$pc_dir/qellog.pc" "$libdir/cmake/qellog/qellogTargets.cmake"; then
  bad "fmt is named for every user of the package"
fi
# The rsyslog files; the central configuration names the installed rule base.
rsyslog_dir=$(dirname "$(find "$prefix" -name qellog.rb)")
for f in qellog-agent.conf qellog-agent.conf.example; do
  [ -f "$rsyslog_dir/$f" ] || bad "$f not installed beside qellog.rb"
done
grep -qF "ruleBase=\"$rsyslog_dir/qellog.rb\"" "$rsyslog_dir/qellog-central.conf" ||
  bad "qellog-central.conf does not name $rsyslog_dir/qellog.rb"

# $1: the consumer program, $2: its message. Checks the log it writes.
check_consumer() {
  local program=$1 message=$2 log=$tmp/$2.log out
  out=$("$program" "$log" "$message") || { bad "$program failed"; return; }
  [ "$out" = "$HOME/.config/qel/consumer_param.ini" ] || bad "$program resolved '$out'"
  head -n 1 "$log" | grep -xF "Logfile: $log"$'\r' > /dev/null || bad "no 'Logfile: $log' header in $log"
  grep -qxF "$message"$'\r' "$log" || bad "no line '$message' in $log"
  grep -q '^Logging ended at ' "$log" || bad "no end trailer in $log"
  ldd "$program" | grep -F "$libdir/libqellog.so.1" > /dev/null || bad "$program does not use the installed library"
}

# find_package(qellog 1.1) and the imported target qellog::qellog. The
# consumer runs through the link path that CMake records (no
# LD_LIBRARY_PATH).
cmake_args=(-DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx"
            -DCMAKE_CXX_FLAGS="$extra_flags" -DCMAKE_EXE_LINKER_FLAGS="$extra_flags")
# With fmt installed, the same consumer project also builds the user of
# qellog/format.h (checked below).
fmt_found=0
if [ -n "$pkg_config" ] && "$pkg_config" --exists fmt; then fmt_found=1; fi
if "$cmake" -S "$src/tests/install_consumer" -B "$tmp/with_cmake" "${cmake_args[@]}" \
     -DQELLOG_WITH_FORMAT=$([ $fmt_found -eq 1 ] && echo ON || echo OFF) \
     > "$tmp/configure.out" 2>&1 &&
   "$cmake" --build "$tmp/with_cmake" > "$tmp/build.out" 2>&1; then
  check_consumer "$tmp/with_cmake/consumer" "hello from find_package"
else
  cat "$tmp/configure.out" "$tmp/build.out" 2>/dev/null
  bad "the find_package consumer did not build"
fi
# The version file accepts 1.x only.
if "$cmake" -S "$src/tests/install_consumer" -B "$tmp/want2" "${cmake_args[@]}" \
     -DQELLOG_WANTED_VERSION=2.0 > "$tmp/want2.out" 2>&1; then
  bad "find_package(qellog 2.0) accepted version 1.1.0"
fi

# qellog/format.h through qellog::format and qellog-format.pc, where fmt is
# installed.
# $1: the program. Checks the line it writes.
check_format_consumer() {
  local log=$tmp/$(basename "$1").log
  "$1" "$log" hello || { bad "$1 failed"; return; }
  grep -qxF $'hello 007\r' "$log" || bad "no line 'hello 007' in $log"
}
if [ $fmt_found -eq 1 ]; then
  if [ -x "$tmp/with_cmake/format_consumer" ]; then
    check_format_consumer "$tmp/with_cmake/format_consumer"
  else
    bad "the find_package(qellog COMPONENTS format) consumer was not built"
  fi
  # qellog-format.pc names both libraries; the consumer above is built
  # with fmt's compile-time check (C++20), and a format that does not fit
  # its argument does not compile with these flags.
  read -r -a fmt_flags <<< "$(PKG_CONFIG_PATH=$pc_dir "$pkg_config" --cflags --libs qellog-format)"
  if [[ " ${fmt_flags[*]} " != *" -lqellog "* || " ${fmt_flags[*]} " != *" -lfmt "* ]]; then
    bad "qellog-format.pc gives '${fmt_flags[*]}', not both libraries"
  fi
  for arg in 5 '"text"'; do
    printf '#include <qellog/format.h>\nint main() { qellog::log(2, "{:d}", %s); }\n' "$arg" \
      > "$tmp/format_$arg.cc"
    if "$cxx" -std=c++20 -fsyntax-only "${fmt_flags[@]}" "$tmp/format_$arg.cc" 2> /dev/null; then
      [ "$arg" = 5 ] || bad "under C++20 a format that does not fit its argument compiles"
    else
      [ "$arg" != 5 ] || bad "under C++20 a format that fits its argument does not compile"
    fi
  done
else
  echo "SKIP: fmt is not installed; qellog/format.h is not checked"
fi

# pkg-config, restricted to the installed .pc file.
skipped=0
if [ -z "$pkg_config" ]; then
  echo "SKIP: no pkg-config; the pkg-config consumer is not checked"
  skipped=1
else
  export PKG_CONFIG_LIBDIR=$pc_dir PKG_CONFIG_PATH=
  version=$("$pkg_config" --modversion qellog)
  [ "$version" = 1.1.0 ] || bad "pkg-config says version '$version'"
  read -r -a pc_flags <<< "$("$pkg_config" --cflags --libs qellog)"
  read -r -a extra <<< "$extra_flags"
  if "$cxx" -std=c++17 "${extra[@]}" "$src/tests/install_consumer/main.cc" \
       "${pc_flags[@]}" -o "$tmp/consumer_pc" 2> "$tmp/pc_build.out"; then
    LD_LIBRARY_PATH=$libdir check_consumer "$tmp/consumer_pc" "hello from pkg-config"
  else
    cat "$tmp/pc_build.out"
    bad "the pkg-config consumer did not build (flags: ${pc_flags[*]})"
  fi
fi

# The tool runs from any prefix without a library path: it holds the
# library's code itself and does not load libqellog.so.
if [ "$with_tool" = ON ]; then
  if readelf -d "$prefix/bin/qellog" | grep 'NEEDED.*libqellog' > /dev/null; then
    bad "the installed qellog loads libqellog.so besides its own copy"
  fi
  # Status 1: this HOME holds no parameter file for "consumer"; the tool ran.
  status=0
  where=$("$prefix/bin/qellog" --where consumer) || status=$?
  [ "$status" -le 1 ] || bad "installed qellog failed with status $status"
  where=${where%%$'\n'*}
  [ "$where" = "parameter file: $HOME/.config/qel/consumer_param.ini" ] ||
    bad "installed qellog --where printed '$where'"
fi

[ $fail -eq 0 ] || exit 1
[ $skipped -eq 0 ] || exit 77
echo "install_test: ok"
