#!/usr/bin/env bash
# Runs the kernel-path tests: the driver's default libusb backend against simulated adapters that a real Linux
# kernel sees as USB devices (USB/IP through vhci-hcd). The host needs neither USB nor KVM: a QEMU guest (TCG)
# boots Debian's generic kernel, mounts this machine's root file system read-only over virtio-9p and runs the
# project's own .venv inside it, so nothing is built twice. The guest is booted once per run.
#
#   bash scripts/test-usb-stack.sh [pytest args]        # the tests marked `kernel` (tests/python)
#   bash scripts/test-usb-stack.sh --bench [args]       # bench/bench_datapath.py --usb-path kernel instead
#   bash scripts/test-usb-stack.sh --run CMD [args]     # any command, from the repository's root
#   --env NAME=VALUE (before the other args, repeatable) passes a variable to the guest's command.
#
# Exit status: pytest's (or the benchmark's). Every step that fails (packages, kernel download, a missing module,
# the boot, a mount, udevd, vhci-hcd, a guest that hangs) says which one and exits non-zero. Downloads and the
# initramfs are cached in build/usb-stack/, keyed by kernel version.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd -P)  # the guest resolves no symbolic link of the host outside its chroot
STACK=$REPO/build/usb-stack
TIMEOUT=${TAVRO_USB_STACK_TIMEOUT:-780}   # the whole guest run, boot included
start_time=$SECONDS

die() { echo "usb-stack: FAILED at step: $*" >&2; exit 1; }

mode=pytest
guest_env=()
while [ $# -gt 0 ]; do
  case $1 in
    --bench) mode=bench; shift ;;
    --run) mode=run; shift ;;
    --env) [ $# -ge 2 ] || die "arguments (--env needs NAME=VALUE)"; guest_env+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
case $REPO in *[[:space:]]*) die "repository path '$REPO' contains white space (it goes on the kernel command line)" ;; esac

# ---- packages ----
[ "${TAVRO_SKIP_SETUP:-0}" = 1 ] || bash scripts/setup.sh
[ -x .venv/bin/python ] || die "project virtualenv (.venv/bin/python missing; run scripts/setup.sh)"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
need=(qemu-system-x86 busybox-static cpio usbip)
[ -x /lib/systemd/systemd-udevd ] || need+=(udev)
. scripts/packages.sh
ensure_packages "${need[@]}" || die "installing ${need[*]} with apt-get"
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 not found after installing qemu-system-x86"
[ -x /bin/busybox ] || die "busybox-static (/bin/busybox missing)"
[ -x /lib/systemd/systemd-udevd ] || die "udev (/lib/systemd/systemd-udevd missing)"
command -v usbip >/dev/null || [ -x /usr/sbin/usbip ] || die "usbip (the usbip tool is missing)"

# ---- kernel ----
# Debian's generic kernel: the cloud flavour has no USB drivers. The newest 6.1 ABI the index offers.
mkdir -p "$STACK/downloads"
newest_kernel() {
  apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64-unsigned$' | cut -d' ' -f1 | sort -V | tail -1
}
kpkg=$(newest_kernel)
if [ -z "$kpkg" ]; then
  $SUDO apt-get update -qq || die "apt-get update (looking for the kernel package)"
  kpkg=$(newest_kernel)
fi
[ -n "$kpkg" ] || die "kernel package (no linux-image-6.1.0-*-amd64-unsigned in apt's index)"
deb=$(ls "$STACK/downloads/${kpkg}_"*.deb 2>/dev/null | tail -1 || true)
if [ -z "$deb" ]; then
  echo "==> downloading $kpkg"
  (cd "$STACK/downloads" && apt-get download -q "$kpkg" 2>&1 | grep -v "^W: Download is performed unsandboxed") \
    || die "downloading $kpkg"
  deb=$(ls "$STACK/downloads/${kpkg}_"*.deb 2>/dev/null | tail -1 || true)
  [ -n "$deb" ] || die "downloading $kpkg (no .deb after apt-get download)"
fi
kver=${kpkg#linux-image-}
kver=${kver%-unsigned}
KDIR=$STACK/$kver

# The modules the guest needs and, in load order, everything they depend on. Dependencies are read from each
# module's own "depends=" record, since the package ships no modules.dep (depmod runs at install).
WANTED="virtio_pci 9pnet_virtio 9p vhci_hcd"
if [ ! -s "$KDIR/modules.list" ] || [ ! -s "$KDIR/vmlinuz" ]; then
  echo "==> unpacking $kver"
  rm -rf "$KDIR" && mkdir -p "$KDIR/modules"
  tree=$(mktemp -d "$STACK/unpack.XXXXXX")
  trap 'rm -rf "$tree"' EXIT
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tree" --wildcards './boot/vmlinuz-*' './lib/modules/*' \
    || die "unpacking $deb"
  cp "$tree"/boot/vmlinuz-* "$KDIR/vmlinuz.part" || die "unpacking $deb (no kernel image)"
  mdir=$(echo "$tree"/lib/modules/*)
  declare -A path_of=()
  while IFS= read -r ko; do
    name=$(basename "$ko" .ko)
    path_of[${name//-/_}]=$ko
  done < <(find "$mdir/kernel" -name '*.ko')
  order=()
  declare -A placed=()
  add_module() {  # depth-first: dependencies first
    local m=$1 dep
    [ -n "${placed[$m]:-}" ] && return 0
    placed[$m]=1
    if [ -z "${path_of[$m]:-}" ]; then
      grep -q "/${m//_/[-_]}\.ko\$" "$mdir/modules.builtin" && return 0
      die "kernel module $m (not in $kpkg, neither loadable nor built in)"
    fi
    for dep in $(strings -a "${path_of[$m]}" | sed -n 's/^depends=//p' | tr ',' ' '); do
      add_module "${dep//-/_}"
    done
    order+=("$m")
    cp "${path_of[$m]}" "$KDIR/modules/$m.ko"
  }
  for m in $WANTED; do add_module "$m"; done
  printf '%s\n' "${order[@]}" > "$KDIR/modules.list"
  mv "$KDIR/vmlinuz.part" "$KDIR/vmlinuz"
  rm -rf "$tree"
  trap - EXIT
fi
echo "==> kernel $kver, modules: $(tr '\n' ' ' < "$KDIR/modules.list")"

# ---- initramfs: static busybox, the modules and /init; rebuilt when any of them or this script changes ----
key=$(cat scripts/usb-stack/init "$0" "$KDIR/modules.list" /bin/busybox | sha256sum | cut -c1-12)
INITRD=$KDIR/initrd-$key.gz
if [ ! -s "$INITRD" ]; then
  ir=$(mktemp -d "$STACK/initrd.XXXXXX")
  mkdir -p "$ir/bin" "$ir/modules"
  cp /bin/busybox "$ir/bin/busybox"
  ln -s busybox "$ir/bin/sh"
  cp scripts/usb-stack/init "$ir/init" && chmod 755 "$ir/init"
  cp "$KDIR"/modules/*.ko "$ir/modules/"
  cp "$KDIR/modules.list" "$ir/modules.list"
  (cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1 > "$INITRD.part") || die "building the initramfs"
  mv "$INITRD.part" "$INITRD"
  rm -rf "$ir"
  find "$KDIR" -name 'initrd-*.gz' ! -name "initrd-$key.gz" -delete
fi

# ---- the guest's command, left in the writable results share ----
# The share lies under /tmp on purpose: the guest mounts fresh tmpfs on /run, /tmp and /var/tmp and must put back
# what lies there (a checkout under /tmp is common), so every run shows that this works. Kept after a failure.
RESULTS=$(mktemp -d /tmp/tavro-usb-stack.XXXXXX) || die "results share (mktemp under /tmp)"
environment=(PYTHONDONTWRITEBYTECODE=1 "${guest_env[@]}")
if [ "$mode" = bench ]; then
  command=(.venv/bin/python bench/bench_datapath.py --usb-path kernel "$@")
elif [ "$mode" = run ]; then
  [ $# -gt 0 ] || die "arguments (--run needs a command)"
  command=("$@")
else
  # Per-test stack dumps long before the guest's outer time limit, so a hang shows where it is.
  environment+=(TAVRO_TEST_USB_PATH=kernel)
  # Only the files with kernel-path tests: collecting the others costs a minute of emulated imports.
  files=()
  case " $* " in
    *" tests/"*) ;;  # the caller names the tests
    *) mapfile -t files < <(grep -lE '\b(both_paths|kernel_only|usb_paths)\b' tests/python/test_*.py)
       [ "${#files[@]}" -gt 0 ] || die "test selection (no test file has kernel-path tests)" ;;
  esac
  command=(.venv/bin/python -m pytest -q -p no:cacheprovider --color=no -o faulthandler_timeout=240
           -m kernel --rootdir tests/python "${files[@]}" "$@")
fi
declare -p environment command > "$RESULTS/command"

# ---- boot once, run everything, power off ----
echo "==> booting the guest (TCG, 2 vCPUs; limit ${TIMEOUT} s)"
console=$RESULTS/console.log
set +e
timeout -k 10 "$TIMEOUT" qemu-system-x86_64 -accel tcg,thread=multi -M pc -cpu max -smp 2 -m 2048 \
  -display none -no-reboot -nic none -monitor none -serial stdio \
  -kernel "$KDIR/vmlinuz" -initrd "$INITRD" \
  -append "console=ttyS0 quiet loglevel=4 panic=-1 rdinit=/init tavro.guest=$REPO/scripts/usb-stack/guest.sh tavro.repo=$REPO tavro.results=$RESULTS" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,multidevs=remap,readonly=on \
  -virtfs local,path="$RESULTS",mount_tag=results,security_model=none,multidevs=remap \
  < /dev/null 2>&1 | tr -d '\r' | tee "$console"
qemu_status=${PIPESTATUS[0]}
set -e
elapsed=$((SECONDS - start_time))

failed=$(sed -n 's/^USB-STACK-FAILED: //p' "$console" | head -1)
[ -z "$failed" ] || die "$failed (in the guest; console log: $console)"
[ "$qemu_status" -ne 124 ] && [ "$qemu_status" -ne 137 ] \
  || die "guest run exceeded ${TIMEOUT} s and was killed (last step: $(grep '^\[usb-stack\]' "$console" | tail -1))"
result=$(sed -n 's/^USB-STACK-RESULT: //p' "$console" | tail -1)
if [ -z "$result" ]; then
  last=$(grep -E '^\[usb-stack\]|Kernel panic' "$console" | tail -1 || true)
  die "guest boot or run: it ended without a result (QEMU status $qemu_status; last: ${last:-nothing}; console log: $console)"
fi
if [ "$result" = 0 ]; then
  rm -rf "$RESULTS"
  echo "==> kernel-path run: exit status 0, ${elapsed} s wall"
else
  echo "==> kernel-path run: exit status $result, ${elapsed} s wall (console log: $console)"
fi
exit "$result"
