#!/usr/bin/env bash
# The house format (.clang-format) of every C++ file of the project, with
# Debian's clang-format 14 (scripts/setup.sh installs it): other versions
# format some constructs differently.
#
#   scripts/format.sh          formats the files in place
#   scripts/format.sh --check  changes nothing; lists the files that differ
#                              and exits non-zero when there is one
set -euo pipefail
cd "$(dirname "$0")/.."

tool=
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null &&
     "$candidate" --version | grep -q 'version 14\.'; then
    tool=$candidate
    break
  fi
done
if [ -z "$tool" ]; then
  echo "format.sh: clang-format 14 not found (scripts/setup.sh installs it)" >&2
  exit 2
fi

mapfile -t files < <(find src include tools tests bench examples \
  -name '*.cc' -o -name '*.h' | sort)
if [ "${1:-}" != --check ]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  "$tool" "$f" | cmp -s - "$f" || differ+=("$f")
done
if [ ${#differ[@]} -ne 0 ]; then
  echo "format.sh: not in the house format (scripts/format.sh fixes it):" >&2
  printf '  %s\n' "${differ[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files in the house format"
