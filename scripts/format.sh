#!/usr/bin/env bash
# Formats the C++ sources with the tree's .clang-format, or with --check only reports (and fails
# on) a file that differs.
#
#   scripts/format.sh [--check]
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

mapfile -t files < <(find app batch bench cli engine platform records resources tests \
    -name '*.cpp' -o -name '*.h' | sort)
if [[ "${1:-}" == --check ]]; then
    clang-format --dry-run -Werror "${files[@]}"
    echo "clang-format: ${#files[@]} files formatted"
else
    clang-format -i "${files[@]}"
fi
