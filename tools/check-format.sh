#!/usr/bin/env bash
# Checks that every C++ file in the tree is formatted as .clang-format says, with the one
# clang-format version the tree is formatted with (another version formats some constructs
# differently). Prints the files that differ and exits 1; changes nothing.
#   tools/check-format.sh          check
#   tools/check-format.sh --fix    format them in place instead
set -euo pipefail
cd "$(dirname "$0")/.."

pinned=14
format=clang-format-$pinned
command -v "$format" >/dev/null 2>&1 || format=clang-format
if ! "$format" --version 2>/dev/null | grep -q "version $pinned\."; then
  echo "check-format: clang-format $pinned is needed (tools/install-deps.sh installs it)" >&2
  exit 1
fi

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if ! "$format" --dry-run -Werror "${files[@]}" 2>"$report"; then
  grep -E -o '^[^ :]+:[0-9]+:[0-9]+: error' "$report" | cut -d: -f1 | sort -u | sed 's/^/  not formatted: /'
  echo "check-format: run tools/check-format.sh --fix (clang-format $pinned) and commit the result" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
