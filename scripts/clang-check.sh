#!/usr/bin/env bash
# Checks that no #include of src/ or sim/ goes up the layers (scripts/check-layers.py), then compile-checks the
# driver's C++ sources (src/, sim/; with --tests also tests/cpp/) with clang, front end only (-fsyntax-only): it
# catches what clang rejects and what only clang warns about at a fraction of a second build's cost, because the
# g++ builds of the test command already generate and run the code. Warnings are errors here, clang's
# thread-safety analysis included: the locks and what they guard as src/core/sync.hpp annotates them, and
# (-Wthread-safety-beta) the lock order that ACQUIRED_BEFORE states.
# Usage: bash scripts/clang-check.sh [--tests] [python]   (python: the interpreter whose headers to use)
set -euo pipefail
cd "$(dirname "$0")/.."
dirs=(src sim)
if [ "${1:-}" = "--tests" ]; then dirs+=(tests/cpp); shift; fi
PY="${1:-python3}"
"$PY" scripts/check-layers.py   # no #include goes up the layers (cheap, so first)
CXX="${CLANGXX:-clang++}"
if ! command -v "$CXX" >/dev/null; then
  . scripts/packages.sh
  ensure_packages clang
fi
py_inc=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
# The same language level, warnings and stable-ABI pin as CMakeLists.txt gives every target.
flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Wno-unused-parameter -Wthread-safety -Wthread-safety-beta -Werror -pthread
       -Isrc -Isim -Itests/cpp -isystem "$py_inc" $(pkg-config --cflags libusb-1.0)
       -DPy_LIMITED_API=0x030A0000 -DTAVRO_SOURCE_REVISION='"0000000000000000000000000000000000000000"')
# The platform layer's files of other operating systems need their system headers: they are checked by the
# Windows and macOS stages.
mapfile -t files < <(find "${dirs[@]}" -name '*.cpp' -not -path src/platform/windows.cpp \
                       -not -path src/platform/darwin.cpp | sort)
echo "==> clang compile check: ${#files[@]} files ($("$CXX" --version | head -1))"
printf '%s\0' "${files[@]}" | xargs -0 -P2 -n4 "$CXX" "${flags[@]}"
