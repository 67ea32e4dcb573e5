#!/usr/bin/env bash
# Formats every tracked C++ file with the root .clang-format, or, with --check, only
# reports the files that differ from it and fails (what CI runs).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  exec clang-format --dry-run -Werror "${sources[@]}"
fi
exec clang-format -i "${sources[@]}"
