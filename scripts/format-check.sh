#!/usr/bin/env bash
# Fails when a tracked C++ or Python file is not formatted as the repository's settings say (.clang-format;
# [tool.ruff] in pyproject.toml). With --fix, formats them in place instead. Both formatters come pinned from
# scripts/setup.sh, since their output changes between versions.
# Usage: bash scripts/format-check.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=.venv/bin
mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp')
mapfile -t py < <(git ls-files '*.py' '*.pyi')
echo "==> formatting: ${#cxx[@]} C++ files ($("$bin/clang-format" --version | grep -o 'version [0-9.]*')), ${#py[@]} Python files ($("$bin/ruff" --version))"
if [ "${1:-}" = --fix ]; then
  "$bin/clang-format" -i "${cxx[@]}"
  "$bin/ruff" format -q "${py[@]}"
else
  "$bin/clang-format" --dry-run -Werror "${cxx[@]}"
  "$bin/ruff" format -q --check "${py[@]}"
fi
