#!/usr/bin/env bash
# Runs clang-tidy (Debian's clang-tidy 14; the checks and why in .clang-tidy) over the driver's sources in src/,
# each file with its flags from the build tree's compile_commands.json (default build/test, which scripts/test.sh
# configures). Any finding fails. The simulator (sim/) is not covered: the stage would take half again as long.
# Usage: bash scripts/tidy-check.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/test}"
TIDY="${CLANG_TIDY:-clang-tidy-14}"
if ! command -v "$TIDY" >/dev/null; then
  . scripts/packages.sh
  ensure_packages clang-tidy
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy-check: no $build/compile_commands.json; configure that build tree first (scripts/test.sh does)" >&2
  exit 1
fi
# The platform layer's files of other operating systems are not in a Linux build's compile commands.
mapfile -t files < <(find src -name '*.cpp' -not -path src/platform/windows.cpp -not -path src/platform/darwin.cpp |
                       sort)
echo "==> clang-tidy: ${#files[@]} files of src/ ($("$TIDY" --version | grep -o 'version [0-9.]*' | head -1))"
printf '%s\0' "${files[@]}" | xargs -0 -P"$(nproc 2>/dev/null || echo 2)" -n4 "$TIDY" -p "$build" --quiet
