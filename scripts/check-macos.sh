#!/usr/bin/env bash
# The macOS stage of the test command: compiles the driver for macOS 11 on arm64 and x86-64 with zig's clang and
# libc++ (PyPI's ziglang) and links both Python modules, libusb's dylib from PyPI's libusb-package wheels, the
# interpreter's symbols left to the loader (-undefined dynamic_lookup) as for every macOS extension module. Nothing
# here can run Mach-O code, so this checks that the code compiles and links, and what each module exports and binds:
#   - the only exported symbol is _PyInit_<module>;
#   - every symbol left to the loader is the interpreter's, inside the stable ABI of 3.10 (abi3audit);
#   - every other symbol comes from libusb, libc++ or libSystem, and no other library is loaded.
# Usage: bash scripts/check-macos.sh   (PYTHON: the interpreter for the tools venv; default .venv's or python3)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
PYTHON="${PYTHON:-$([ -x .venv/bin/python ] && echo "$PWD/.venv/bin/python" || command -v python3)}"
ROOT="$PWD/build/macos"
TOOLS="$ROOT/tools"
LIBUSB_PACKAGE="libusb-package==1.0.30.0"
fail() { echo "macos: $*" >&2; exit 1; }

. scripts/packages.sh
ensure_packages libusb-1.0-0-dev llvm-14 unzip python3-venv || fail "installing packages failed"
for tool in llvm-nm-14 llvm-objdump-14; do command -v "$tool" >/dev/null || fail "missing tool: $tool"; done
if ! "$TOOLS/bin/python" -c 'import ziglang' 2>/dev/null || [ ! -x "$TOOLS/bin/abi3audit" ]; then
  "$PYTHON" -m venv "$TOOLS" || fail "making the tools venv failed"
  "$TOOLS/bin/python" -m pip install -q --disable-pip-version-check ziglang abi3audit || fail "pip install ziglang failed"
fi
ZIG=("$TOOLS/bin/python" -m ziglang)
# zig builds libc++ for each target on first use and caches it with every object: kept under build/.
export ZIG_GLOBAL_CACHE_DIR="$ROOT/zig-cache"

# CPython's public headers are the same on every platform but pyconfig.h.
mkdir -p "$ROOT/python" "$ROOT/include/libusb-1.0" "$ROOT/downloads"
if [ ! -f "$ROOT/python/include/Python.h" ]; then
  host_include=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  [ -f "$host_include/Python.h" ] || fail "no CPython headers at $host_include"
  rm -rf "$ROOT/python/include" && cp -r "$host_include" "$ROOT/python/include"
  cp scripts/macos/pyconfig.h "$ROOT/python/include/pyconfig.h"
fi
cp -p /usr/include/libusb-1.0/libusb.h "$ROOT/include/libusb-1.0/"

# Each module's sources (the CMake folders; the USB/IP server is Linux-only, its stand-in is built instead).
platform_sources=(src/platform/posix.cpp src/platform/darwin.cpp)
product_sources=($(ls src/{core,device,stream,echo,session,handle,usb/libusb,ext}/*.cpp))
sim_sources=($(ls sim/{firmware,bus,adapter,backend,python}/*.cpp) sim/usbip/descriptors.cpp sim/usbip/identity.cpp
             sim/usbip/server_unavailable.cpp)
all_sources=("${platform_sources[@]}" "${product_sources[@]}" "${sim_sources[@]}")
object() { echo "$1" | tr / _ | sed 's/\.cpp$/.o/'; }  # object <source>: its object's file name

# -O0: this is a compile and link check; optimising would only cost time.
cxxflags=(-std=c++20 -O0 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra -Wno-unused-parameter
          -Isrc -Isim -I"$ROOT/include/libusb-1.0" -I"$ROOT/python/include" -DPy_LIMITED_API=0x030A0000
          -DTAVRO_SOURCE_REVISION='"0000000000000000000000000000000000000000"')
echo "==> macOS compile and link check ($("${ZIG[@]}" cc --version | head -1))"
modules=0
compiled=0
for arch in aarch64 x86_64; do
  case $arch in aarch64) wheel_platform=macosx_11_0_arm64 ;; x86_64) wheel_platform=macosx_10_9_x86_64 ;; esac
  target="$arch-macos.11.0"
  out="$ROOT/$arch"
  mkdir -p "$out/tavro_sim"
  wheel=$(ls "$ROOT"/downloads/libusb_package-*-"$wheel_platform".whl 2>/dev/null | head -1 || true)
  if [ -z "$wheel" ]; then
    "$TOOLS/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: --no-deps \
      --platform "$wheel_platform" -d "$ROOT/downloads" "$LIBUSB_PACKAGE" || fail "pip download libusb-package failed"
    wheel=$(ls "$ROOT"/downloads/libusb_package-*-"$wheel_platform".whl | head -1)
  fi
  rm -rf "$out/libusb" && unzip -q -o "$wheel" -d "$out/libusb" || fail "unpacking $wheel failed"
  dylib=$(find "$out/libusb" -name 'libusb-1.0*.dylib' | head -1)
  [ -n "$dylib" ] || fail "no libusb dylib in $wheel"

  mkdir -p "$out/obj"
  export ZIG_TARGET="$target" ZIG_OUT="$out/obj"
  printf '%s\n' "${all_sources[@]}" | xargs -P "${MACOS_JOBS:-2}" -I{} bash -c '
      o="$ZIG_OUT/$(echo "$1" | tr / _ | sed "s/\.cpp\$/.o/")"
      "$0" -m ziglang c++ -target "$ZIG_TARGET" "${@:2}" -c "$1" -o "$o" 2> "$o.log" || { cat "$o.log" >&2; exit 255; }
      cat "$o.log"' "$TOOLS/bin/python" {} "${cxxflags[@]}" || fail "$target: compiling failed"
  objects() { local f; for f in "$@"; do echo "$out/obj/$(object "$f")"; done; }
  link=("${ZIG[@]}" c++ -target "$target" -shared -Wl,-undefined,dynamic_lookup)
  "${link[@]}" -Wl,-install_name,tavro_pythoncan_ext.abi3.so -o "$out/tavro_pythoncan_ext.abi3.so" \
    $(objects "${product_sources[@]}" "${platform_sources[@]}") "$dylib" || fail "$target: linking tavro_pythoncan_ext failed"
  "${link[@]}" -Wl,-install_name,_native.abi3.so -o "$out/tavro_sim/_native.abi3.so" \
    $(objects "${sim_sources[@]}" "${platform_sources[@]}") || fail "$target: linking _native failed"
  compiled=$((compiled + ${#all_sources[@]}))

  for so in "$out/tavro_pythoncan_ext.abi3.so" "$out/tavro_sim/_native.abi3.so"; do
    name=$(basename "$so" .abi3.so)
    header=$(llvm-objdump-14 --macho --private-header "$so")
    case $arch in
      aarch64) grep -q ARM64 <<<"$header" || fail "$so is not arm64 Mach-O" ;;
      x86_64) grep -q X86_64 <<<"$header" || fail "$so is not x86-64 Mach-O" ;;
    esac
    # Visible besides the entry point: the replaceable operator new and delete of the libc++ that zig links into
    # each module, type information of types that are not ours (the C++ ABI keeps it visible, to compare types
    # across modules), and the linker's image symbols. Anything of ours must be hidden.
    exports=$(llvm-nm-14 -gU "$so" | awk '{print $NF}' |
              awk '!/^(__Zn[wa]m|__Zd[la]Pv)/ && !/^(___dso_handle|__mh_dylib_header)$/ && !(/^__ZT[IS]/ && !/tavro/)')
    [ "$exports" = "_PyInit_$name" ] || fail "$so exports $(echo $exports), not _PyInit_$name alone"
    # An undefined symbol bound to no library ("(from ...)") is left to the loader's flat lookup.
    looked_up=$(llvm-nm-14 -m -u "$so" | awk '!/\(from / {print $NF}')
    stray=$(grep -v '^__\?Py' <<<"$looked_up" || true)
    [ -z "$stray" ] || fail "$so leaves symbols to the loader that are not the interpreter's: $(echo $stray)"
    dylibs=$(llvm-objdump-14 --macho --dylibs-used "$so" | tail -n +2 | awk '{print $1}' | grep -vx "$(basename "$so")")
    for d in $dylibs; do
      case $d in
        /usr/lib/libc++.1.dylib|/usr/lib/libSystem.B.dylib) ;;
        */libusb-1.0*.dylib) [ "$name" = tavro_pythoncan_ext ] || fail "$so loads libusb" ;;
        *) fail "$so loads $d" ;;
      esac
    done
    "$TOOLS/bin/abi3audit" --strict --assume-minimum-abi3 3.10 --report -o "$so.abi3audit.json" "$so" >/dev/null 2>&1 &&
      "$TOOLS/bin/python" - "$so.abi3audit.json" <<'PY' || fail "$so: abi3audit found symbols outside the stable ABI of 3.10"
import json, sys
(spec,) = json.load(open(sys.argv[1]))["specs"].values()
r = spec["object"]["result"]
assert r["is_abi3"] and r["baseline"] == "3.10" and r["computed"] <= "3.10", r
assert not r["non_abi3_symbols"] and not r["future_abi3_objects"], r
PY
    echo "  $target $(basename "$so"): exports _PyInit_$name; $(wc -w <<<"$looked_up") interpreter symbols (stable ABI 3.10); loads $(echo $dylibs | tr ' ' ',')"
    modules=$((modules + 1))
  done
done
echo "==> macOS stage: $((SECONDS - start)) s"
echo "macos: $compiled files compiled, $modules modules linked (arm64, x86-64)"
