#!/usr/bin/env bash
# Every ```cpp block of the documentation as printed (README.md, docs/*.md,
# bench/README.md): installed into a temporary prefix, each block is
# compiled against the installed headers and library (and fmt, for a block
# of {} formatting; warnings are errors) and run in a directory of its own,
# with HOME there.
#
# Usage: readme_test.sh <build dir> <source dir> <cmake> <c++ compiler>
#                       <extra compile/link flags>
set -euo pipefail
build=$1
src=$2
cmake=$3
cxx=$4
extra_flags=$5

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qellog_readme_XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
"$cmake" --install "$build" --prefix "$prefix" > "$tmp/install.out"
lib=$(find "$prefix" -name libqellog.so.1 | head -n 1)
[ -n "$lib" ] || { cat "$tmp/install.out"; echo "FAIL: no libqellog.so.1 installed"; exit 1; }
libdir=$(dirname "$lib")

# <document>_<line>.cc: the block that starts on that line of the document;
# <document>_<line>.where names it.
mkdir "$tmp/blocks"
docs=(README.md bench/README.md)
for page in "$src"/docs/*.md; do docs+=("docs/${page##*/}"); done
for doc in "${docs[@]}"; do
  awk -v dir="$tmp/blocks" -v doc="$doc" '
    BEGIN { tag = doc; gsub(/[\/.]/, "_", tag) }
    /^```cpp[ \t]*$/ {
      file = sprintf("%s/%s_%d.cc", dir, tag, NR + 1); inside = 1
      printf "%s line %d", doc, NR + 1 > (file ".where"); close(file ".where"); next
    }
    /^```/ && inside { inside = 0; close(file); next }
    inside { print > file }
  ' "$src/$doc"
done
compgen -G "$tmp/blocks/README_md_*.cc" > /dev/null || { echo "FAIL: no cpp block in README.md"; exit 1; }
blocks=("$tmp"/blocks/*.cc)

fail=0
read -r -a extra <<< "$extra_flags"
for block in "${blocks[@]}"; do
  name=$(basename "$block" .cc)
  where=$(cat "$block.where")
  # A block of {} formatting links fmt as well.
  libs=(-lqellog)
  if grep -q '<qellog/format.h>' "$block"; then libs+=(-lfmt); fi
  if ! "$cxx" -std=c++17 -Wall -Wextra -Werror "${extra[@]}" -I"$prefix/include" \
       "$block" -o "$tmp/$name" -L"$libdir" "${libs[@]}" -Wl,-rpath,"$libdir" -pthread \
       2> "$tmp/$name.err"; then
    echo "FAIL: the block at $where does not compile:"
    cat "$tmp/$name.err"
    fail=1
    continue
  fi
  ldd "$tmp/$name" | grep -F "$libdir/libqellog.so.1" > /dev/null ||
    { echo "FAIL: the block at $where does not use the installed library"; fail=1; }
  run=$tmp/run_$name
  mkdir -p "$run/home"
  if ! (cd "$run" && HOME=$run/home "$tmp/$name") > "$tmp/$name.out" 2>&1; then
    echo "FAIL: the block at $where exits with an error:"
    cat "$tmp/$name.out"
    fail=1
    continue
  fi
  echo "ok: the block at $where"
done
[ $fail -eq 0 ] || exit 1
echo "readme_test: ${#blocks[@]} blocks built and run"
