#!/usr/bin/env bash
# Runs every test: the formatting of every C++ and Python file, the Python package's lint and type checks, C++ unit
# tests (ctest), clang's compile check with its thread-safety analysis and clang-tidy, the Windows build's C++ tests
# under wine (and a macOS compile and link check), the Python suite against the installed package, then both again
# against a build with AddressSanitizer and UndefinedBehaviorSanitizer and against a build with ThreadSanitizer (each
# test file in an interpreter of its own), the C++ tests and the Python suite on Linux aarch64 under qemu-user, and
# last the kernel-path selection of the Python suite (libusb through a Linux kernel's USB stack, in a QEMU guest).
# Fails if any test fails, if a check or a sanitizer reports, or if a stage runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."
PY="$PWD/.venv/bin/python"
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

# stage NAME COMMAND...: runs one stage and notes its wall time and the CPU time of its processes, for the table
# printed at the end (the whole run must stay well inside CI's limit; this says where the time goes).
stage_rows=()
stage() {
  local name=$1 t0=$SECONDS cpu0 cpu1
  shift
  echo "==> $name"
  cpu0=$(children_cpu)
  "$@"
  cpu1=$(children_cpu)
  stage_rows+=("$(printf '%-58s %6ds %7ds' "$name" $((SECONDS - t0)) $(((cpu1 - cpu0) / 100)))")
}
# User + system time of every finished child process so far, in hundredths of a second.
children_cpu() { awk '{ print $16 + $17 }' /proc/$$/stat; }
# The table, also when a stage fails.
stage_table() {
  printf '%-58s %7s %8s\n' "stage (seconds)" "wall" "CPU"
  printf '%s\n' "${stage_rows[@]}"
}
trap stage_table EXIT

stage "setup" bash scripts/setup.sh

stage "formatting (C++ and Python)" bash scripts/format-check.sh     # seconds
stage "Python package: lint, types, stubs" bash scripts/check-python.sh   # seconds

cpp_tests() {
  cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRO_BUILD_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
  cmake --build build/test -j"$jobs"
  ctest --test-dir build/test --output-on-failure --no-tests=error -j"$jobs"
}
stage "C++ unit tests" cpp_tests
# Includes go down the layers, and the sources also compile with clang (front end only): cheap.
stage "layer check, clang compile check" bash scripts/clang-check.sh "$PY"
stage "clang-tidy over src/" bash scripts/tidy-check.sh build/test  # with the flags of the C++ tests' build
stage "Windows x86-64: cross build, C++ tests under wine, module checks" env PYTHON="$PY" bash scripts/test-windows.sh
stage "macOS arm64 and x86-64: compile and link check" env PYTHON="$PY" bash scripts/check-macos.sh
python_suite() { (cd tests/python && "$PY" -m pytest -q -p no:cacheprovider .); }
stage "Python tests (installed package)" python_suite

# sanitizer_stage <build dir> <cmake option> <runtimes to preload> <suite|per-file> <ctest env> <pytest env>
# Builds the C++ tests, the extension module and tavro_sim with a sanitizer and runs the C++ tests, then the Python
# suite with the stock interpreter against that build, the runtimes preloaded (the interpreter is not instrumented).
# The env arguments name arrays of NAME=VALUE. "per-file" gives each test file an interpreter of its own. A report
# that a sanitizer writes into <build dir>/reports (its log_path; child interpreters included) fails the stage.
sanitizer_stage() {
  local build=$PWD/$1 option=$2 preload=$3 mode=$4 f
  local -n ctest_env=$5 pytest_env=$6
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -D"$option"=ON -DTAVRO_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$PY" >/dev/null
  cmake --build "$build" -j"$jobs"
  rm -rf "$build/reports" && mkdir -p "$build/reports"
  env "${ctest_env[@]}" ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
  local files=(.)
  [ "$mode" = per-file ] && files=($(cd tests/python && ls test_*.py))
  for f in "${files[@]}"; do
    [ "$mode" = per-file ] && echo "--> $f"
    local rc=0
    (cd tests/python && env "${pytest_env[@]}" PYTHONPATH="$build" LD_PRELOAD="$preload" TAVRO_EXPECT_BUILD="$build" \
      "$PY" -m pytest -q -s -p no:cacheprovider "$f") || rc=$?
    if [ -n "$(ls -A "$build/reports")" ]; then
      cat "$build/reports"/* >&2
      echo "sanitizer reports in $build/reports (after $f)" >&2
      return 1
    fi
    [ "$rc" -eq 0 ] || return "$rc"
  done
}

ubsan_env=(UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
asan_ctest_env=(ASAN_OPTIONS=detect_leaks=1 "${ubsan_env[@]}")
asan_pytest_env=(ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 "${ubsan_env[@]}")
stage "C++ and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer" \
  sanitizer_stage build/asan TAVRO_SANITIZE "$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  suite asan_ctest_env asan_pytest_env

# Suppressions cover only what the interpreter, libc and other uninstrumented code do (see the file).
tsan_options="second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
tsan_ctest_env=("TSAN_OPTIONS=$tsan_options halt_on_error=1")
tsan_pytest_env=("TSAN_OPTIONS=$tsan_options log_path=$PWD/build/tsan/reports/tsan")
stage "C++ and Python tests under ThreadSanitizer (one interpreter per test file)" \
  sanitizer_stage build/tsan TAVRO_TSAN "$(g++ -print-file-name=libtsan.so)" per-file tsan_ctest_env tsan_pytest_env

stage "Linux aarch64: cross build, C++ tests and the Python suite under qemu-user" \
  env TAVRO_SKIP_SETUP=1 bash scripts/test-aarch64.sh
stage "Python tests through a Linux kernel's USB stack (libusb backend, QEMU guest)" \
  env TAVRO_SKIP_SETUP=1 bash scripts/test-usb-stack.sh

echo "==> all tests passed"
