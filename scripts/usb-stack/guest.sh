#!/bin/bash
# Runs inside the USB-stack test guest, chrooted into the host's (read-only) root: checks vhci-hcd, starts udevd
# (libusb follows hot-plug through udev's events, as on any desktop), then runs the command that
# scripts/test-usb-stack.sh left in the results share, and prints its exit status as "USB-STACK-RESULT: <status>".
# A step that fails prints "USB-STACK-FAILED: <step>" instead.
set -u
RESULTS=$1
REPO=$(cd "$(dirname "$0")/../.." && pwd)
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LANG=C.UTF-8
# udevadm refuses to act ("Running in chroot, ignoring request") unless told that this chroot is the system.
export SYSTEMD_IGNORE_CHROOT=1

fail() {
  echo "USB-STACK-FAILED: $1"
  dmesg | tail -30 | sed 's/^/[dmesg] /'
  exit 1
}
step() { echo "[usb-stack] $1 (uptime $(cut -d' ' -f1 /proc/uptime) s)"; }

[ -w /sys/devices/platform/vhci_hcd.0/attach ] || fail "vhci-hcd (no /sys/devices/platform/vhci_hcd.0/attach)"

step "starting udevd"
/lib/systemd/systemd-udevd --daemon || fail "udevd start"
for _ in $(seq 100); do udevadm control --ping 2>/dev/null && break; sleep 0.1; done
udevadm control --ping || fail "udevd does not answer"
# Only USB devices matter to libusb; triggering everything costs seconds under emulation.
udevadm trigger --action=add --subsystem-match=usb || fail "udevadm trigger"
udevadm settle --timeout=60 || fail "udevadm settle"
udevadm info --query=property /sys/bus/usb/devices/usb1 | grep -q '^ID_' || fail "udevd processed no event"

# shellcheck source=/dev/null
source "$RESULTS/command" || fail "reading the command from the results share"
step "running: ${command[*]}"
cd "$REPO" || fail "cd $REPO"
env "${environment[@]}" "${command[@]}" 2>&1 | tee "$RESULTS/output.log"
rc=${PIPESTATUS[0]}
if [ "$rc" -ne 0 ]; then  # what the kernel saw of the devices, for the failure's diagnosis
  dmesg | grep -iE 'vhci|usbip|usb [0-9]+-[0-9]+' | grep -v 'urb->status -104\|unlink->seqnum' | tail -40 \
    | sed 's/^/[dmesg] /'
fi
echo "USB-STACK-RESULT: $rc"
