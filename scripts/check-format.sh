#!/usr/bin/env bash
# Checks every tracked C and C++ file against .clang-format and lists those that differ;
# `clang-format -i FILE` fixes one. Exit status 1 when any differs.
set -euo pipefail
cd "$(dirname "$0")/.."

differ=()
while IFS= read -r -d '' f; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || differ+=("$f")
done < <(git ls-files -z -- '*.c' '*.h' '*.cpp' '*.hpp' '*.cc')

if [ "${#differ[@]}" -gt 0 ]; then
    echo "check-format: ${#differ[@]} files differ from .clang-format:" >&2
    printf '  %s\n' "${differ[@]}" >&2
    exit 1
fi
