#!/usr/bin/env bash
# Lists every function in the library's sources (src/) longer than a limit,
# from the first line of its signature to its closing brace, and fails when
# there is one. Reads clang-format's layout: a body opens with "{" at the end
# of the signature's last line. Lambdas and local classes count as part of
# the function that holds them. ctest runs it.
#
#   scripts/function_length.sh [source root] [limit, 45]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
limit=${2:-45}
cd "$root"

find src -name '*.cc' -o -name '*.h' | sort | xargs awk -v limit="$limit" '
# The line without comments, string and character literals.
function code_of(line,    out, i, c, n, q) {
  out = ""
  n = length(line)
  for (i = 1; i <= n; i++) {
    c = substr(line, i, 1)
    if (in_comment) {
      if (c == "*" && substr(line, i + 1, 1) == "/") { in_comment = 0; i++ }
      continue
    }
    if (c == "/" && substr(line, i + 1, 1) == "/") break
    if (c == "/" && substr(line, i + 1, 1) == "*") { in_comment = 1; i++; continue }
    if (c == "\"" || c == "\047") {
      q = c
      for (i++; i <= n; i++) {
        c = substr(line, i, 1)
        if (c == "\\") { i++; continue }
        if (c == q) break
      }
      out = out q q
      continue
    }
    out = out c
  }
  return out
}
# "scope" (namespace, class, ...), "function" or "data" for a body that
# opens after `text`.
function kind_of(text,    paren, m) {
  paren = index(text, "(")
  if (match(text, /(^|[^A-Za-z0-9_])(namespace|class|struct|union|enum|extern)([^A-Za-z0-9_]|$)/) &&
      (paren == 0 || RSTART < paren)) return "scope"
  if (paren > 0 && text !~ /=[ \t]*\{[ \t]*$/) return "function"
  return "data"
}
function name_of(text,    head) {
  head = substr(text, 1, index(text, "(") - 1)
  sub(/[ \t]+$/, "", head)
  n = split(head, words, /[ \t*&]+/)
  return words[n]
}
FNR == 1 { depth = 0; fn_depth = -1; other_depth = -1; stmt = ""; in_comment = 0 }
{
  code = code_of($0)
  if (code ~ /^[ \t]*#/) next
  trimmed = code
  sub(/[ \t]+$/, "", trimmed)
  if (trimmed ~ /^[ \t]*$/) next
  if (stmt == "") stmt_line = FNR
  stmt = stmt " " trimmed
  opens = gsub(/\{/, "{", trimmed)
  closes = gsub(/\}/, "}", trimmed)
  if (fn_depth < 0 && other_depth < 0 && trimmed ~ /\{$/ && opens == closes + 1) {
    kind = kind_of(stmt)
    if (kind == "function") { fn_depth = depth; fn_line = stmt_line; fn_name = name_of(stmt) }
    else if (kind == "data") other_depth = depth
  }
  depth += opens - closes
  if (fn_depth >= 0 && depth <= fn_depth) {
    lines = FNR - fn_line + 1
    if (lines > limit) {
      printf "%s:%d: %s has %d lines (limit %d)\n", FILENAME, fn_line, fn_name, lines, limit
      long++
    }
    fn_depth = -1
  }
  if (other_depth >= 0 && depth <= other_depth) other_depth = -1
  if (trimmed ~ /[;{}:]$/) stmt = ""
}
END { exit long > 0 }
'
