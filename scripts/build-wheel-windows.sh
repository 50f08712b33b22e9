#!/usr/bin/env bash
# Builds the win_amd64 wheel on this Debian machine (mingw-w64, Release) and checks it before it reaches OUTDIR:
#   tag            cp310-abi3-win_amd64, in the file name and in WHEEL
#   contents       tavro_pythoncan_ext.pyd with libusb-1.0-<hash>.dll beside it (the name carries a hash of the
#                  DLL, so it never clashes with another copy of libusb in a process), tavro_sim/_native.pyd, the
#                  Python packages and the type stub; no other DLL
#   modules        each .pyd exports PyInit_<name> alone, imports python3.dll (abi3audit: the stable ABI of 3.10),
#                  the bundled DLL and Windows's own DLLs only (the C++ runtime is linked into each module)
# Nothing here can load the wheel: no Windows CPython exists on this machine.
# Usage: bash scripts/build-wheel-windows.sh OUTDIR [SOURCE]   (SOURCE: a source tree, say an unpacked sdist;
# default this checkout. PYTHON: the interpreter that builds, with scikit-build-core; default .venv's)
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 OUTDIR [SOURCE]" >&2; exit 2; }
project="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$1"
outdir="$(cd "$1" && pwd)"
source="$(cd "${2:-$project}" && pwd)"
cd "$project"
start=$SECONDS
PYTHON="${PYTHON:-$project/.venv/bin/python}"
[ -x "$PYTHON" ] || { echo "windows wheel: no interpreter at $PYTHON (run scripts/setup.sh)" >&2; exit 1; }
export PATH="$(dirname "$PYTHON"):$PATH"
. scripts/windows/prepare.sh
windows_prepare build/windows
step() { echo "==> windows wheel: $*"; }

stage="$WIN_ROOT/wheel"
rm -rf "$stage" && mkdir -p "$stage/dist" "$stage/unpacked"
step "build (Release) from $source"
"$PYTHON" -c 'import scikit_build_core' 2>/dev/null || win_fail "scikit-build-core missing from $PYTHON (scripts/setup.sh)"
# scikit-build-core takes the platform tag from _PYTHON_HOST_PLATFORM; the cmake.define arguments replace the
# build machine's interpreter with the Windows headers and python3.lib.
defines=()
for a in "${WIN_CMAKE_ARGS[@]}" "-DTAVRO_BUNDLED_DLLS=$WIN_LIBUSB_DLL"; do defines+=(-C "cmake.define.${a#-D}"); done
_PYTHON_HOST_PLATFORM=win-amd64 "$PYTHON" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -w "$stage/dist" -C build-dir="$WIN_ROOT/wheel-build" "${defines[@]}" "$source" || win_fail "pip wheel failed"
wheels=("$stage"/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || win_fail "expected one wheel, got: ${wheels[*]}"
wheel="${wheels[0]}"

step "tag"
case "$(basename "$wheel")" in
  tavro_pythoncan-*-cp310-abi3-win_amd64.whl) ;;
  *) win_fail "wheel is not tagged cp310-abi3-win_amd64: $(basename "$wheel")" ;;
esac
unzip -q "$wheel" -d "$stage/unpacked" || win_fail "unzip failed"
grep -qx 'Tag: cp310-abi3-win_amd64' "$stage"/unpacked/*.dist-info/WHEEL || win_fail "WHEEL does not say cp310-abi3-win_amd64"
grep -qx 'Root-Is-Purelib: false' "$stage"/unpacked/*.dist-info/WHEEL || win_fail "WHEEL says purelib"

step "contents"
libusb=$(basename "$WIN_LIBUSB_DLL")
for f in tavro_pythoncan_ext.pyd tavro_pythoncan_ext.pyi "$libusb" tavro_sim/_native.pyd tavro_sim/__init__.py \
         tavro_can/bus.py; do
  [ -f "$stage/unpacked/$f" ] || win_fail "wheel lacks $f"
done
cmp -s "$stage/unpacked/$libusb" "$WIN_LIBUSB_DLL" || win_fail "$libusb in the wheel is not the DLL the module was linked for"
binaries=$(cd "$stage/unpacked" && find . \( -name '*.dll' -o -name '*.pyd' -o -name '*.so' -o -name '*.exe' \) | sort)
[ "$binaries" = "$(printf './%s\n' "$libusb" tavro_pythoncan_ext.pyd tavro_sim/_native.pyd | sort)" ] ||
  win_fail "unexpected binaries in the wheel: $(echo $binaries)"

step "modules (exports, imports, stable ABI)"
bash scripts/windows/check-modules.sh "$stage/unpacked/tavro_pythoncan_ext.pyd" "$stage/unpacked/tavro_sim/_native.pyd" \
  "$libusb" || win_fail "module check failed"
"$WIN_TOOLS/bin/abi3audit" --strict --assume-minimum-abi3 3.10 "$wheel" >/dev/null 2>&1 ||
  win_fail "abi3audit failed on the wheel"

mv "$wheel" "$outdir/"
size=$(du -k "$outdir/$(basename "$wheel")" | cut -f1)
echo "==> windows wheel: $outdir/$(basename "$wheel") (${size} KiB; bundles $libusb from $WIN_LIBUSB_PACKAGE), $((SECONDS - start)) s"
