#!/usr/bin/env bash
# The Windows stage of the test command: cross-builds the driver for 64-bit Windows (mingw-w64, on this Debian
# machine) and runs every C++ test under wine64, then checks both Python modules: each imports only python3.dll
# (the stable ABI of 3.10, abi3audit-clean), the renamed libusb DLL and system DLLs. No Windows CPython exists here,
# so the Python suite does not run on Windows. Everything it needs is installed or made under build/windows/.
# Usage: bash scripts/test-windows.sh   (PYTHON: the interpreter for the tools venv; default .venv's or python3)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
PYTHON="${PYTHON:-$([ -x .venv/bin/python ] && echo "$PWD/.venv/bin/python" || command -v python3)}"
. scripts/windows/prepare.sh
windows_prepare build/windows
windows_gtest
[ -n "$(command -v cmake)" ] && [ -n "$(command -v ninja)" ] || win_fail "cmake and ninja are needed (scripts/setup.sh)"

echo "==> Windows build (mingw-w64 $(x86_64-w64-mingw32-g++-posix -dumpversion), Debug -O0, C++ tests and both modules)"
build="$WIN_ROOT/test"
# Debug without debug information: assertions on, and the linker has a tenth of the bytes to write.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DTAVRO_BUILD_TESTS=ON "${WIN_CMAKE_ARGS[@]}" >/dev/null ||
  win_fail "configure failed"
cmake --build "$build" -j"${WIN_JOBS:-2}" || win_fail "build failed"

echo "==> C++ tests under wine ($(/usr/lib/wine/wine64 --version))"
cp "$WIN_LIBUSB_DLL" "$build/"
report="$build/cpp-tests.xml"
rm -f "$report"
wine_run "$build/tavro_cpp_tests.exe" --gtest_brief=1 --gtest_output="xml:Z:${report//\//\\}" ||
  win_fail "C++ tests failed under wine"
read -r tests failures skipped < <("$PYTHON" - "$report" <<'PY'
import sys, xml.etree.ElementTree as ET
r = ET.parse(sys.argv[1]).getroot()
print(r.get("tests"), int(r.get("failures")) + int(r.get("errors")), r.get("skipped", "0"))
PY
) || win_fail "no test report from the C++ tests"
[ "$tests" -gt 0 ] && [ "$failures" -eq 0 ] || win_fail "C++ tests under wine: $tests run, $failures failed"

bash scripts/windows/check-modules.sh "$build/tavro_pythoncan_ext.pyd" "$build/tavro_sim/_native.pyd" \
  "$(basename "$WIN_LIBUSB_DLL")" || win_fail "module check failed"
echo "==> Windows stage: C++ tests under wine, 2 modules checked, $((SECONDS - start)) s"
echo "windows: $((tests - skipped)) passed, $failures failed, $skipped skipped"
