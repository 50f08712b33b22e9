"""The simulated adapters as real USB devices, served over USB/IP to a Linux kernel's vhci-hcd.

    import tavro_sim
    port = tavro_sim.serve_usbip()                 # TCP: `usbip list -r 127.0.0.1`, `usbip attach -r ... -b BUSID`
    a = tavro_sim.find("tav.io:CANH0001")
    with tavro_sim.attach_vhci(a) as att:         # no TCP: a socketpair handed to vhci-hcd (root, vhci-hcd loaded)
        ...                                        # the kernel enumerates the adapter; libusb sees it
    # leaving the block (or a.unplug()) closes the connection: the kernel sees the device disconnect

Every control request and bulk transfer reaches the same firmware model that the in-process backend uses, so
faults, records and the shared CAN bus work as they do there, with the exceptions in
:data:`USB_PATH_UNSUPPORTED_FAULTS`.
"""

from __future__ import annotations

import os
import socket
from typing import TYPE_CHECKING

from . import _native

if TYPE_CHECKING:
    from . import Adapter

VHCI_DIR = "/sys/devices/platform/vhci_hcd.0"

#: Fault kinds that a device cannot show on a real bus, as (target, action) with the reason. Tests skip them on the
#: kernel path. Other kinds map onto USB: stall -> STALL (-EPIPE), timeout -> never answered (the host's time-out
#: unlinks the request), disconnect -> the device's connection closes, fault -> a transfer error (-EPROTO),
#: delay/short_reply/reply as they are, a reply longer than the request -> babble (-EOVERFLOW), as a host
#: controller reports a device that sends more than asked; both errors reach the driver as a USB fault.
USB_PATH_UNSUPPORTED_FAULTS = {
    ("enumerate", None): "enumeration happens in the host's USB stack, not in the device",
    ("open", None): "opening happens in the host's USB stack, not in the device",
    ("claim", None): "claiming happens in the host's USB stack, not in the device",
    ("endpoint_open", None): "opening an endpoint happens in the host's USB stack, not in the device",
    (None, "os_error"): "the OS error code travels as the URB status, but libusb maps it onto its own error classes",
    ("bulk_out", "partial_accept"): "a real device cannot end an OUT transfer short (it NAKs the rest until the host "
    "times out); vhci-hcd passes the short length through, a real bus never would",
    ("serial_read", None): "the serial is read by the host's USB stack during enumeration, not by the device",
    ("submit", None): "submitting a transfer happens in the host's USB stack, not in the device",
    (None, "expire"): 'a time-out without the wait is a shortcut of the in-process seam; on USB use "timeout"',
}


def usb_path_supports(target: str, action: str) -> bool:
    """Whether a fault rule of this target ("control", "bulk_in", ...) and action shows on the kernel path."""
    return not any((t is None or t == target) and (a is None or a == action) for t, a in USB_PATH_UNSUPPORTED_FAULTS)


#: None where the USB/IP server is built (Linux), else why not: there ``serve_usbip``, ``attach_vhci`` and the
#: ``tavro-sim`` command raise OSError with this text. The in-process simulator works everywhere.
USBIP_UNAVAILABLE: str | None = _native.usbip_unavailable


def _require_server() -> None:
    if USBIP_UNAVAILABLE is not None:
        raise OSError(f"USB/IP server: {USBIP_UNAVAILABLE}")


def serve_usbip(port: int = 0, host: str = "127.0.0.1") -> int:
    """Serve every plugged adapter over USB/IP on ``host:port`` (port 0: a free one) and return the bound port.

    Listens on the loopback interface unless told otherwise. Calling it again while serving returns the same port
    when ``port`` is 0 or that port; another port raises OSError, as does a platform without the server (Linux
    only). Each adapter's bus id is ``Adapter.usbip_busid``.
    """
    _require_server()
    current = _native.usbip_port()
    if current and port in (0, current):
        return current
    return _native.usbip_listen(host, port)


def stop_usbip() -> None:
    """Close every USB/IP connection (the kernel sees each device disconnect) and stop listening."""
    _native.usbip_stop()


def usbip_port() -> int:
    """The listening port, 0 when the server is not listening."""
    return _native.usbip_port()


def _read_sysfs(name: str) -> str:
    with open(os.path.join(VHCI_DIR, name)) as f:
        return f.read()


def _write_sysfs(name: str, text: str) -> None:
    with open(os.path.join(VHCI_DIR, name), "w") as f:
        f.write(text)


def _free_vhci_port(speed: int) -> int:
    # Ports of the wanted hub ("hs" for low/full/high speed, "ss" for super speed) whose state is VDEV_ST_NULL (4).
    hub = "ss" if speed >= 5 else "hs"
    for line in _read_sysfs("status").splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 3 and fields[0] == hub and int(fields[2]) == 4:
            return int(fields[1])
    raise OSError(f"no free {hub} port on {VHCI_DIR}")


class VhciAttachment:
    """One adapter attached to vhci-hcd through a socketpair. ``close()`` (or leaving a ``with`` block) detaches it;
    unplugging the adapter closes the connection from the device's side."""

    def __init__(self, adapter: Adapter, port: int, busid: str, devid: int, speed: int) -> None:
        self.adapter = adapter
        self.port = port
        self.busid = busid
        self.devid = devid
        self.speed = speed

    def __repr__(self) -> str:
        return f"<tavro_sim.VhciAttachment port={self.port} busid={self.busid!r} serial={self.adapter.serial!r}>"

    def detach(self) -> None:
        """Ask vhci-hcd to detach the port (the kernel closes its end; the server's connection ends)."""
        try:
            _write_sysfs("detach", f"{self.port}\n")
        except OSError:
            pass  # already detached: the device was unplugged or the connection closed

    close = detach

    def __enter__(self) -> VhciAttachment:
        return self

    def __exit__(self, *exc: object) -> None:
        self.detach()


def attach_vhci(adapter: Adapter | str, port: int | None = None) -> VhciAttachment:
    """Attach a plugged adapter (an Adapter or a serial number) to this machine's vhci-hcd without TCP: serves one
    end of a Unix socketpair and hands the other to the kernel with ``port fd devid speed`` written to
    ``/sys/devices/platform/vhci_hcd.0/attach``. Needs root and the vhci-hcd module. ``port``: the vhci port (None:
    the first free one of the right speed)."""
    from . import Adapter, find

    _require_server()
    if isinstance(adapter, str):
        adapter = find(adapter)
    if not isinstance(adapter, Adapter):
        raise TypeError("attach_vhci takes an Adapter or a serial number")
    busid, devid, speed = _native.usbip_identity(adapter.id)
    if port is None:
        port = _free_vhci_port(speed)
    ours, kernels = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    with ours, kernels:
        if not _native.usbip_serve_fd(adapter.id, ours.fileno()):
            raise RuntimeError(f"adapter {adapter.serial!r} is unplugged or already served over USB/IP")
        try:
            _write_sysfs("attach", f"{port} {kernels.fileno()} {devid} {speed}\n")
        except OSError as e:
            # Closing the kernel's end (the with block) ends the server's connection.
            raise OSError(f"vhci-hcd refused the attach of {adapter.serial!r} on port {port}: {e}") from None
    # The kernel holds its own reference to its end; ours are closed.
    return VhciAttachment(adapter, port, busid, devid, speed)


__all__ = [
    "USBIP_UNAVAILABLE",
    "USB_PATH_UNSUPPORTED_FAULTS",
    "VHCI_DIR",
    "VhciAttachment",
    "attach_vhci",
    "serve_usbip",
    "stop_usbip",
    "usb_path_supports",
    "usbip_port",
]
