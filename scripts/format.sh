#!/usr/bin/env bash
# Formats every C++ file of the project with the repository's .clang-format.
#   format.sh          rewrites the files in place
#   format.sh --check  changes nothing; names each file that is not formatted
#                      and fails if there is one
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
format=clang-format-14
mapfile -d '' files < <(git ls-files -z '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
    if ! "$format" --dry-run --Werror "${files[@]}" >/dev/null 2>&1; then
        for f in "${files[@]}"; do
            "$format" --dry-run --Werror "$f" >/dev/null 2>&1 || echo "not formatted: $f" >&2
        done
        echo "Run scripts/format.sh to format them." >&2
        exit 1
    fi
else
    "$format" -i "${files[@]}"
fi
