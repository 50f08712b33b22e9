#!/usr/bin/env bash
# Runs every test: C++ unit tests (ctest), the Python suite against the installed package, then the Python
# suite again against a build with AddressSanitizer and UndefinedBehaviorSanitizer, and last the kernel-path
# selection of the Python suite (libusb through a Linux kernel's USB stack, in a QEMU guest). Fails if any test
# fails or if a stage runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY="$PWD/.venv/bin/python"
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

echo "==> C++ unit tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRO_BUILD_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure --no-tests=error -j"$jobs"

bash scripts/clang-check.sh "$PY"   # the product's sources also compile with clang (front end only: cheap)

echo "==> Python tests (installed package)"
(cd tests/python && "$PY" -m pytest -q -p no:cacheprovider .)

echo "==> C++ and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRO_SANITIZE=ON -DTAVRO_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure --no-tests=error -j"$jobs"
asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
(cd tests/python && \
  PYTHONPATH="$PWD/../../build/asan" LD_PRELOAD="$asan_rt:$ubsan_rt" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TAVRO_EXPECT_BUILD="$PWD/../../build/asan" \
  "$PY" -m pytest -q -s -p no:cacheprovider .)

echo "==> Python tests through a Linux kernel's USB stack (libusb backend, QEMU guest)"
TAVRO_SKIP_SETUP=1 bash scripts/test-usb-stack.sh
echo "==> all tests passed"
