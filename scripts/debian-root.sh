# Sourced by the scripts that build or run the driver for another architecture (test-aarch64.sh, build-wheel.sh).
#
# debian_root ARCH DIR   DIR holds Debian 12's packages for ARCH (dpkg's name: amd64, arm64, armhf) listed in
#                        ROOT_PACKAGES, with their dependencies, unpacked (dpkg -x: no maintainer script runs).
#                        It serves as a cross build's sysroot and as qemu-user's prefix (-L). apt works from a
#                        private state folder with the machine's own package sources, so the host's dpkg database
#                        and architecture list stay as they were. Reused while its package list is the same.
# foreign_python ARCH ROOT VENV [--pip]   VENV is a virtual environment of ROOT's CPython, run through qemu-user;
#                        its bin/python starts the emulator with argv[0] set to itself, so that sys.executable
#                        names it and the child interpreters that tests start go through qemu too. With --pip it
#                        gets its own pip (ensurepip, a minute under emulation; run it with foreign_pip), which
#                        judges wheel tags as pip would on that machine; without, the host's pip installs into it
#                        (pip_target below).
# qemu_for ARCH          the qemu-user binary for ARCH.

# One list for every architecture, so that the test stage and the wheel build share a root: the interpreter and
# its venv support (tests, wheel checks), CPython's headers and libstdc++'s static library (wheels), libusb and
# GoogleTest (the C++ tests).
ROOT_PACKAGES=(libc6 libstdc++6 libgcc-s1 libstdc++-12-dev
               python3.11 python3.11-venv libpython3.11-dev python3-pip-whl python3-setuptools-whl
               libusb-1.0-0-dev libgtest-dev)

qemu_for() {
  case $1 in
    arm64) echo qemu-aarch64-static ;;
    armhf) echo qemu-arm-static ;;
    *) echo "qemu_for: no emulator for $1" >&2; return 1 ;;
  esac
}

debian_root() {
  local arch=$1 dir=$2
  dir=$(realpath -m "$dir")
  local want="$arch ${ROOT_PACKAGES[*]}"
  if [ -f "$dir/.packages" ] && [ "$(cat "$dir/.packages")" = "$want" ]; then return 0; fi
  local apt=$dir.apt
  rm -rf "$dir" "$apt"
  mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/preferences.d" "$dir"
  : > "$apt/state/status"
  local opts=(-o Dir::State="$apt/state" -o Dir::State::status="$apt/state/status" -o Dir::Cache="$apt/cache"
              -o Dir::Etc::Preferences="$apt/preferences" -o Dir::Etc::PreferencesParts="$apt/preferences.d"
              -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o Debug::NoLocking=1
              -o APT::Install-Recommends=0 -o APT::Get::AllowUnauthenticated=0 -o DPkg::Lock::Timeout=600)
  apt-get "${opts[@]}" update -qq || return 1
  apt-get "${opts[@]}" install -y -qq --download-only "${ROOT_PACKAGES[@]}" > "$apt/download.log" || return 1
  local deb
  for deb in "$apt"/cache/archives/*.deb; do dpkg -x "$deb" "$dir" || return 1; done
  # Absolute links inside the root would point into the host.
  find "$dir" -type l -lname '/*' | while read -r l; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$l")" "$dir$(readlink "$l")")" "$l"
  done
  ln -sfn python3.11 "$dir/usr/bin/python3"   # what the python3 package would have made
  echo "    $(ls "$apt"/cache/archives/*.deb | wc -l) $arch packages, $(du -sh "$dir" | cut -f1)"
  rm -rf "$apt"
  echo "$want" > "$dir/.packages"
}

foreign_python() {
  local arch=$1 root=$2 venv=$3 with_pip=${4:-} qemu
  root=$(realpath "$root") venv=$(realpath -m "$venv")
  qemu=$(command -v "$(qemu_for "$arch")") || { echo "foreign_python: $(qemu_for "$arch") not found" >&2; return 1; }
  rm -rf "$venv"
  "$qemu" -L "$root" "$root/usr/bin/python3.11" -m venv --without-pip "$venv" || return 1
  local py
  for py in python python3; do
    rm -f "$venv/bin/$py"
    printf '#!/bin/sh\nexec %s -L %s -0 "$0" %s "$@"\n' "$qemu" "$root" "$root/usr/bin/python3.11" > "$venv/bin/$py"
    chmod +x "$venv/bin/$py"
  done
  # bin/python3.11 is a copy of the interpreter itself: pip (packaging) reads sys.executable's ELF header to tell an
  # armhf interpreter from an armel one, which a script cannot answer (see foreign_pip).
  rm -f "$venv/bin/python3.11" && cp "$root/usr/bin/python3.11" "$venv/bin/python3.11"
  [ "$with_pip" != --pip ] || "$venv/bin/python" -m ensurepip > /dev/null || return 1
}

# foreign_pip ARCH ROOT VENV ARGS...: runs `python -m pip ARGS` in VENV with sys.executable naming the interpreter's
# copy in VENV, so that pip judges wheel tags as on that machine. Only for installing wheels (pip starts no child
# interpreter then). The console scripts pip writes start that copy, which only the emulator can run: run them as
# "VENV/bin/python SCRIPT".
foreign_pip() {
  local arch=$1 root=$2 venv=$3 qemu
  shift 3
  qemu=$(command -v "$(qemu_for "$arch")") || return 1
  root=$(realpath "$root") venv=$(realpath "$venv")
  "$qemu" -L "$root" -0 "$venv/bin/python3.11" "$root/usr/bin/python3.11" -m pip "$@"
}

# pip_target PIP ARCH VENV REQUIREMENT...: the host's pip installs binary wheels for ARCH's CPython 3.11 into VENV.
pip_target() {
  local pip=$1 arch=$2 venv=$3 plat
  shift 3
  case $arch in arm64) plat=aarch64 ;; armhf) plat=armv7l ;; *) plat=$arch ;; esac
  $pip install -q --disable-pip-version-check --no-warn-script-location --upgrade \
    --target "$venv/lib/python3.11/site-packages" --only-binary :all: --implementation cp --python-version 3.11 \
    --abi cp311 --abi abi3 --abi none --platform "linux_$plat" --platform "manylinux_2_36_$plat" \
    --platform "manylinux2014_$plat" "$@"
}
