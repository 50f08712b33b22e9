"""The kernel path: simulated adapters attached to this machine's vhci-hcd, so that the driver's default libusb
backend finds and drives them through the kernel's USB stack and udev, as it does real adapters.

    sim = KernelSim(tavro_sim)
    a = sim.plug(serial)     # attached through a socketpair; returns once udev has announced the device
    a.unplug()               # returns once the kernel and udev have seen it go
    sim.reset()

The simulator and the driver share the test's process: the product never loads the simulator on this path, the test
imports it. Needs root, vhci-hcd and a running udevd (scripts/test-usb-stack.sh provides all three in its guest).
"""

import os
import subprocess
import threading
import time

import tavro_sim

VHCI = "/sys/devices/platform/vhci_hcd.0"
UDEV_QUEUE = "/run/udev/queue"  # exists while udevd has events in flight
VDEV_ST_NULL = 4
_HS_PORTS = 8  # the high-speed ports of vhci_hcd.0 a test may use (it has 15)
# Generous: the guest is an emulated machine on a shared host.
KERNEL_TIMEOUT = 60.0


def check_kernel_path():
    """Raises with the reason when this machine cannot run the kernel path."""
    if not os.access(os.path.join(VHCI, "attach"), os.W_OK):
        raise RuntimeError(f"the kernel path needs root and vhci-hcd ({VHCI}/attach is not writable)")
    if not os.path.exists("/run/udev/control"):
        raise RuntimeError("the kernel path needs a running udevd (libusb follows hot-plug through udev)")


def _port_status(port):
    """(state, local bus id) of a high-speed port of vhci_hcd.0."""
    with open(os.path.join(VHCI, "status")) as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if len(fields) >= 7 and fields[0] == "hs" and int(fields[1]) == port:
                return int(fields[2]), fields[6]
    raise RuntimeError(f"vhci_hcd.0 has no high-speed port {port}")


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def _wait(condition, what):
    end = time.monotonic() + KERNEL_TIMEOUT
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError(
                f"{what} did not happen within {KERNEL_TIMEOUT:.0f} s "
                f"(vhci status: {_read(os.path.join(VHCI, 'status'))!r})"
            )
        time.sleep(0.01)


class _Device:
    """Where the kernel shows one attached adapter: its vhci port, its sysfs directory and its udev record."""

    def __init__(self, port):
        self.port = port
        self.sysfs = None
        self.udev_record = None

    def _enumerated(self):
        state, busid = _port_status(self.port)
        if state == VDEV_ST_NULL or busid == "0-0":
            return False
        sysfs = f"/sys/bus/usb/devices/{busid}"
        busnum, devnum = _read(f"{sysfs}/busnum"), _read(f"{sysfs}/devnum")
        # The interface appears once the kernel has set the configuration: the device is ready for libusb.
        if not (busnum and devnum and os.path.isdir(f"{sysfs}/{busid}:1.0")):
            return False
        self.sysfs = sysfs
        self.udev_record = f"/run/udev/data/c189:{(int(busnum) - 1) * 128 + int(devnum) - 1}"
        return True

    def _announced(self):
        # udevd writes its record before it broadcasts the event, and leaves the queue only after: libusb's device
        # list (which reads the broadcasts) has the device once both are true.
        return os.path.exists(self.udev_record) and not os.path.exists(UDEV_QUEUE)

    def wait_present(self):
        _wait(self._enumerated, f"enumeration of the device on vhci port {self.port}")
        _wait(self._announced, f"udev's announcement of {self.sysfs}")

    def wait_gone(self):
        _wait(lambda: _port_status(self.port)[0] == VDEV_ST_NULL, f"release of vhci port {self.port}")
        if self.sysfs is not None:
            _wait(
                lambda: (
                    not os.path.exists(self.sysfs)
                    and not os.path.exists(self.udev_record)
                    and not os.path.exists(UDEV_QUEUE)
                ),
                f"udev's removal of {self.sysfs}",
            )


class KernelSim:
    """tavro_sim with plug and unplug carried through to the kernel. Everything else is tavro_sim's own."""

    def __init__(self, sim):
        self._sim = sim
        self._devices = {}  # adapter id -> _Device, for every adapter attached and not yet seen gone
        self._lock = threading.Lock()

    def __getattr__(self, name):
        return getattr(self._sim, name)

    def _wrap(self, adapter):
        return KernelAdapter(adapter.id, self)

    def plug(self, *args, over_tcp=False, **kwargs):
        """over_tcp: imported over loopback TCP by Debian's usbip tool (OP_REQ_IMPORT) instead of a socketpair."""
        adapter = self._sim.plug(*args, **kwargs)
        if over_tcp:
            port = self._attach_over_tcp(adapter)
        else:
            port = self._sim.attach_vhci(adapter).port
        device = _Device(port)
        with self._lock:
            self._devices[adapter.id] = device
        device.wait_present()
        return self._wrap(adapter)

    def _attach_over_tcp(self, adapter):
        used = {p for p in range(_HS_PORTS) if _port_status(p)[0] != VDEV_ST_NULL}
        subprocess.run(
            [
                "usbip",
                "--tcp-port",
                str(self._sim.serve_usbip()),
                "attach",
                "-r",
                "127.0.0.1",
                "-b",
                adapter.usbip_busid,
            ],
            check=True,
            capture_output=True,
            timeout=KERNEL_TIMEOUT,
        )
        new = [p for p in range(_HS_PORTS) if _port_status(p)[0] != VDEV_ST_NULL and p not in used]
        assert len(new) == 1, f"usbip attach took vhci ports {new}"
        return new[0]

    def find(self, serial):
        return self._wrap(self._sim.find(serial))

    def adapters(self):
        return [self._wrap(a) for a in self._sim.adapters()]

    def unplug(self, adapter):
        if isinstance(adapter, str):
            adapter = self._sim.find(adapter)
        return self._wrap(adapter).unplug()

    def wait_gone(self, adapter_id):
        with self._lock:
            device = self._devices.pop(adapter_id, None)
        if device is not None:
            device.wait_gone()

    def reset(self):
        self._sim.reset()  # unplugs every adapter: each connection closes
        with self._lock:
            ids = list(self._devices)
        for adapter_id in ids:
            self.wait_gone(adapter_id)

    def unplug_all_now(self):
        """The watchdog's action: closing every device's connection gives back all of its outstanding requests."""
        for a in self._sim.adapters():
            a.unplug()


class KernelAdapter(tavro_sim.Adapter):
    """A tavro_sim.Adapter whose unplug returns once the kernel and udev have seen the device go."""

    def __init__(self, adapter_id, owner):
        super().__init__(adapter_id)
        self._owner = owner

    def unplug(self):
        unplugged = super().unplug()
        self._owner.wait_gone(self.id)
        return unplugged


class Watchdog:
    """Ends a test that overruns `seconds`: unplugs every simulated adapter, which closes each device's connection
    and so makes the kernel give back every outstanding request (a request nobody answers would otherwise keep its
    caller in the kernel for good)."""

    def __init__(self, sim, seconds):
        self.seconds = seconds
        self.fired = False
        self._timer = threading.Timer(seconds, self._fire, args=(sim,))
        self._timer.daemon = True

    def _fire(self, sim):
        self.fired = True
        sim.unplug_all_now()

    def __enter__(self):
        self._timer.start()
        return self

    def __exit__(self, *exc):
        self._timer.cancel()
