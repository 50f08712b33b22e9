#!/usr/bin/env bash
# The driver on Linux aarch64, built here and run under qemu-user against the simulated adapter: Debian's cross
# compiler builds the package (as a wheel, Debug, with the C++ tests in the same build tree) against an arm64
# Debian root, the wheel goes into a virtual environment of the root's own CPython, and the C++ tests and the whole
# Python suite run under the emulator. Fails when any test fails, a tool is missing or a stage runs no test.
#
#   bash scripts/test-aarch64.sh [pytest args]      # default: the whole suite (tests/python)
#
# Everything lives in build/aarch64/ and build/roots/arm64/ (kept between runs: the root is fetched again only when
# its package list changes, the build is incremental).
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
WORK=$REPO/build/aarch64
ROOT=$REPO/build/roots/arm64
VENV=$WORK/venv
start=$SECONDS
STEP=start
trap 'rc=$?; [ $rc -eq 0 ] || echo "test-aarch64: FAILED at step \"$STEP\" (exit $rc)" >&2' EXIT
step() { STEP="$*"; echo "--> aarch64: $*"; }
die() { echo "test-aarch64: $*" >&2; exit 1; }

step "tools"
[ "${TAVRO_SKIP_SETUP:-0}" = 1 ] || bash scripts/setup.sh
[ -x .venv/bin/python ] || die "the project's .venv is missing (run scripts/setup.sh)"
. scripts/packages.sh
. scripts/debian-root.sh
ensure_packages g++-aarch64-linux-gnu qemu-user-static || die "apt-get install g++-aarch64-linux-gnu qemu-user-static"
for tool in aarch64-linux-gnu-g++ qemu-aarch64-static; do
  command -v "$tool" > /dev/null || die "$tool not found after installing its package"
done
export PATH=$REPO/.venv/bin:$PATH
export TAVRO_CROSS_TRIPLET=aarch64-linux-gnu TAVRO_CROSS_ROOT=$ROOT TAVRO_CROSS_QEMU
TAVRO_CROSS_QEMU=$(command -v qemu-aarch64-static)

step "arm64 Debian root and its CPython"
mkdir -p "$WORK"
debian_root arm64 "$ROOT" || die "making the arm64 root (apt-get for arm64)"
if [ ! -f "$VENV/.ready" ]; then
  foreign_python arm64 "$ROOT" "$VENV" || die "a venv of the arm64 CPython"
  pip_target .venv/bin/pip arm64 "$VENV" "python-can>=4.2" pytest || die "python-can and pytest for aarch64"
  touch "$VENV/.ready"
fi
[ "$("$VENV/bin/python" -c 'import platform; print(platform.machine())')" = aarch64 ] ||
  die "the arm64 interpreter does not run under qemu-aarch64-static"

step "cross build (wheel and C++ tests, Debug)"
rm -rf "$WORK/dist"
# The platform tag comes from _PYTHON_HOST_PLATFORM; CMake finds the arm64 headers (the interpreter it would ask
# runs under the emulator and names paths that only exist inside the root).
(_PYTHON_HOST_PLATFORM=linux-aarch64 nice -n 10 .venv/bin/python -m pip wheel -q --no-deps --no-build-isolation \
  --disable-pip-version-check -w "$WORK/dist" . -C build-dir="$WORK/build" -C cmake.build-type=Debug \
  -C cmake.define.TAVRO_BUILD_TESTS=ON -C cmake.define.CMAKE_TOOLCHAIN_FILE="$REPO/cmake/debian-cross.cmake" \
  -C cmake.define.Python_EXECUTABLE="$VENV/bin/python" \
  -C cmake.define.Python_INCLUDE_DIR="$ROOT/usr/include/python3.11") > "$WORK/build.log" 2>&1 ||
  { tail -30 "$WORK/build.log" >&2; die "the cross build failed (log: $WORK/build.log)"; }
wheel=$(ls "$WORK"/dist/tavro_pythoncan-*-cp310-abi3-linux_aarch64.whl) || die "no linux_aarch64 wheel was built"
readelf -h "$WORK/build/tavro_cpp_tests" | grep -q 'AArch64' || die "tavro_cpp_tests is not an aarch64 binary"
pip_target ".venv/bin/pip --no-cache-dir" arm64 "$VENV" --no-deps --force-reinstall "$wheel" ||
  die "installing $wheel into the arm64 venv"

step "C++ tests under qemu-aarch64"
ctest --test-dir "$WORK/build" --output-on-failure --no-tests=error -j2 2>&1 | tee "$WORK/ctest.log"
cpp=$(grep -Eo '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+|[0-9]+% tests passed out of [0-9]+' \
  "$WORK/ctest.log" | tail -1)

step "Python suite under qemu-aarch64 (installed wheel, simulated adapters)"
site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# conftest.py insists that the driver comes from TAVRO_EXPECT_BUILD: the wheel installed in the arm64 venv.
(cd tests/python && TAVRO_EXPECT_BUILD="$site" timeout 2400 "$VENV/bin/python" -m pytest -q -p no:cacheprovider \
  -m "not kernel" "$@") 2>&1 | tee "$WORK/pytest.log"
py=$(tail -1 "$WORK/pytest.log")
STEP=done
echo "==> aarch64 stage: C++ tests: $cpp; Python suite: $py; $((SECONDS - start)) s"
