# Sourced by the scripts that build for 64-bit Windows on this Debian machine (test-windows.sh,
# build-wheel-windows.sh). windows_prepare <folder> installs the cross tools and fills <folder> with what a
# Windows build needs but this machine lacks, each step skipped when its result is there already:
#   tools/        a venv with abi3audit (and abi3info, whose stable-ABI tables make python3.lib)
#   downloads/    libusb-package's win_amd64 wheel from PyPI (its libusb-1.0.dll, an MSVC build)
#   prefix/       libusb: its header (Debian's), the DLL under a name of its own, an import library, a .pc file
#   python/       CPython's public headers with a Windows pyconfig.h, python3.lib for the stable ABI of 3.10
# and sets WIN_ROOT, WIN_PREFIX, WIN_TOOLS, WIN_PY_INCLUDE, WIN_PY_LIB, WIN_LIBUSB_DLL (path of the renamed DLL)
# and WIN_CMAKE_ARGS (the cross-compiling arguments for CMake). windows_gtest builds GoogleTest into prefix/;
# wine_run runs a Windows program under wine64 in a private prefix.
# The DLL's name carries a hash of its content, so it never clashes with another copy of libusb in a process.

WIN_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
              wine64 wine googletest libusb-1.0-0-dev pkg-config unzip python3-venv)
WIN_LIBUSB_PACKAGE="libusb-package==1.0.30.0"

win_fail() { echo "windows: $*" >&2; exit 1; }

windows_prepare() {
  local project host_py
  project="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  WIN_ROOT="$(mkdir -p "$1" && cd "$1" && pwd)"
  WIN_PREFIX="$WIN_ROOT/prefix"
  WIN_TOOLS="$WIN_ROOT/tools"
  host_py="${PYTHON:-python3}"
  . "$project/scripts/packages.sh"
  ensure_packages "${WIN_PACKAGES[@]}" || win_fail "installing the cross tools failed"
  local tool
  for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-dlltool x86_64-w64-mingw32-objdump /usr/lib/wine/wine64; do
    command -v "$tool" >/dev/null || win_fail "missing tool: $tool"
  done

  if [ ! -x "$WIN_TOOLS/bin/abi3audit" ]; then
    "$host_py" -m venv "$WIN_TOOLS" || win_fail "making the tools venv failed"
    "$WIN_TOOLS/bin/python" -m pip install -q --disable-pip-version-check abi3audit ||
      win_fail "pip install abi3audit failed"
  fi

  # libusb: the DLL from PyPI, the header from Debian (the same API), an import library naming the renamed DLL.
  mkdir -p "$WIN_ROOT/downloads" "$WIN_PREFIX/bin" "$WIN_PREFIX/lib/pkgconfig" "$WIN_PREFIX/include/libusb-1.0"
  if ! ls "$WIN_ROOT"/downloads/libusb_package-*-win_amd64.whl >/dev/null 2>&1; then
    "$WIN_TOOLS/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: --no-deps \
      --platform win_amd64 -d "$WIN_ROOT/downloads" "$WIN_LIBUSB_PACKAGE" || win_fail "pip download libusb-package failed"
  fi
  if [ ! -f "$WIN_PREFIX/lib/libusb-1.0.dll.a" ]; then
    local wheel dll hash name
    wheel=$(ls "$WIN_ROOT"/downloads/libusb_package-*-win_amd64.whl | head -1)
    rm -rf "$WIN_ROOT/unpacked" && mkdir -p "$WIN_ROOT/unpacked"
    unzip -q -o "$wheel" -d "$WIN_ROOT/unpacked" || win_fail "unpacking $wheel failed"
    dll=$(find "$WIN_ROOT/unpacked" -name 'libusb-1.0.dll' | head -1)
    [ -n "$dll" ] || win_fail "no libusb-1.0.dll in $wheel"
    hash=$(sha256sum "$dll" | cut -c1-8)
    name="libusb-1.0-$hash.dll"
    rm -f "$WIN_PREFIX"/bin/libusb-1.0-*.dll
    cp "$dll" "$WIN_PREFIX/bin/$name"
    {
      echo "EXPORTS"
      x86_64-w64-mingw32-objdump -p "$dll" |
        awk '/Ordinal\/Name Pointer/ {t=1; next} t && /^[ \t]*\[/ {print "  " $NF} t && /^[ \t]*$/ {t=0}'
    } > "$WIN_ROOT/libusb-1.0.def"
    grep -q libusb_init "$WIN_ROOT/libusb-1.0.def" || win_fail "could not read the exports of $dll"
    x86_64-w64-mingw32-dlltool -d "$WIN_ROOT/libusb-1.0.def" -D "$name" -l "$WIN_PREFIX/lib/libusb-1.0.dll.a" ||
      win_fail "dlltool (libusb) failed"
  fi
  WIN_LIBUSB_DLL=$(ls "$WIN_PREFIX"/bin/libusb-1.0-*.dll | head -1)
  cp -p /usr/include/libusb-1.0/libusb.h "$WIN_PREFIX/include/libusb-1.0/"
  cat > "$WIN_PREFIX/lib/pkgconfig/libusb-1.0.pc" <<PC
prefix=$WIN_PREFIX
Name: libusb-1.0
Description: libusb-1.0 for Windows (DLL $(basename "$WIN_LIBUSB_DLL"))
Version: 1.0.26
Libs: -L\${prefix}/lib -lusb-1.0
Cflags: -I\${prefix}/include/libusb-1.0
PC

  # CPython: the public headers are the same on every platform but pyconfig.h; python3.lib from the stable ABI.
  WIN_PY_INCLUDE="$WIN_ROOT/python/include"
  WIN_PY_LIB="$WIN_ROOT/python/libs/python3.lib"
  if [ ! -f "$WIN_PY_LIB" ]; then
    local host_include
    host_include=$("$host_py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    [ -f "$host_include/Python.h" ] || win_fail "no CPython headers at $host_include"
    rm -rf "$WIN_PY_INCLUDE" && mkdir -p "$WIN_PY_INCLUDE" "$(dirname "$WIN_PY_LIB")"
    cp -r "$host_include"/. "$WIN_PY_INCLUDE/"
    cp "$project/scripts/windows/pyconfig.h" "$WIN_PY_INCLUDE/pyconfig.h"
    "$WIN_TOOLS/bin/python" "$project/scripts/windows/python3_def.py" "$WIN_ROOT/python/python3.def" ||
      win_fail "writing python3.def failed"
    x86_64-w64-mingw32-dlltool -d "$WIN_ROOT/python/python3.def" -D python3.dll -l "$WIN_PY_LIB" ||
      win_fail "dlltool (python3) failed"
    # FindPython takes a library without its DLL for a static one and asks the build machine's interpreter how to
    # link it; an empty stand-in beside it says it is an import library.
    : > "$WIN_ROOT/python/libs/python3.dll"
  fi

  export PKG_CONFIG_LIBDIR="$WIN_PREFIX/lib/pkgconfig"
  WIN_CMAKE_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$project/cmake/mingw-w64-x86_64.cmake"
                  -DCMAKE_FIND_ROOT_PATH="$WIN_PREFIX;$WIN_ROOT/python"
                  -DPython_EXECUTABLE="$(command -v "$host_py")" -DPython_INCLUDE_DIR="$WIN_PY_INCLUDE"
                  -DPython_SABI_LIBRARY="$WIN_PY_LIB")
}

# GoogleTest from Debian's sources, built with the cross compiler into prefix/.
windows_gtest() {
  [ -f "$WIN_PREFIX/lib/libgtest.a" ] && return 0
  echo "==> GoogleTest for Windows (from /usr/src/googletest)"
  cmake -S /usr/src/googletest -B "$WIN_ROOT/gtest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$WIN_PREFIX" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -Wno-deprecated >/dev/null || win_fail "GoogleTest configure failed"
  cmake --build "$WIN_ROOT/gtest-build" --target install -j"${WIN_JOBS:-2}" >/dev/null || win_fail "GoogleTest build failed"
}

# wine_run PROGRAM ARGS...: runs a Windows program under wine64 in a private prefix (made on first use), with
# wine's own messages off. Returns the program's exit status.
wine_run() {
  export WINEPREFIX="$WIN_ROOT/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "==> wine prefix (first use)"
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || win_fail "wineboot failed"
    /usr/lib/wine/wineserver -w
  fi
  /usr/lib/wine/wine64 "$@"
}
