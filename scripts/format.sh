#!/usr/bin/env bash
# Formats every C and C++ source of the repository with clang-format-14.
#
#   scripts/format.sh          rewrite the files in place
#   scripts/format.sh --check  change nothing; list the files that need it, fail if any
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fmt=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$fmt" ] || { echo "clang-format is not installed (package clang-format-14)" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find . -name '*.cpp' -o -name '*.h' -o -name '*.c')
if [ "${1:-}" = "--check" ]; then
    bad=0
    for f in "${files[@]}"; do
        if ! "$fmt" --dry-run -Werror "$f" >/dev/null 2>&1; then
            echo "not formatted: $f"
            bad=1
        fi
    done
    exit $bad
fi
"$fmt" -i "${files[@]}"
