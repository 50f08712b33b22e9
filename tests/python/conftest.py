"""Shared fixtures: every test process drives the simulated adapters through the same seam as real hardware.

A process runs one USB path, since the driver chooses its backend once per process:
  "seam"    the driver reaches the simulator in-process (TAVRO_USB_BACKEND=simulator); the normal run;
  "kernel"  the driver's default libusb backend reaches the simulated adapters through a Linux kernel's USB stack
            (USB/IP through vhci-hcd, see usb_stack.py); TAVRO_TEST_USB_PATH=kernel, set by
            scripts/test-usb-stack.sh inside its guest.
Tests marked `usb_paths("seam", "kernel")` are parametrised over the paths they run on; the parameter of the other
path is skipped. Kernel-path parameters carry the mark `kernel`, which is how the guest run selects them.
"""

import logging
import os
import signal
import subprocess
import sys
import textwrap

# A shell starts a background job with SIGINT ignored, and an ignored signal stays ignored in every interpreter this
# one starts: the Ctrl-C tests here and in child processes need Python's own handler (which exec resets to default).
signal.signal(signal.SIGINT, signal.default_int_handler)

# What every operation on a handle whose adapter was unplugged raises, with error_code GONE_CODE.
GONE = "USB error: device disconnected; plug the adapter back in, then open it again"
GONE_CODE = 18

USB_PATH = os.environ.get("TAVRO_TEST_USB_PATH", "seam")
if USB_PATH not in ("seam", "kernel"):
    raise RuntimeError(f"TAVRO_TEST_USB_PATH must be 'seam' or 'kernel', not {USB_PATH!r}")
# The backend is chosen once per process, at import: set it before anything imports the driver. The driver's
# settings come from here, not from whoever started the tests: an exported TAVRO_* would change this process and
# every child it starts.
if USB_PATH == "seam":
    os.environ["TAVRO_USB_BACKEND"] = "simulator"
elif os.environ.get("TAVRO_USB_BACKEND", "libusb") != "libusb":
    raise RuntimeError("the kernel path runs the default libusb backend: unset TAVRO_USB_BACKEND")
os.environ["TAVRO_SIM_ADAPTERS"] = ""
os.environ.pop("TAVRO_VALID_MODELS", None)
# Log levels are cached by the driver per process; tests that look at Debug records need them from the start.
logging.getLogger("tavro_usb").setLevel(logging.DEBUG)

import pytest  # noqa: E402

import tavro_pythoncan_ext  # noqa: E402

_expected_build = os.environ.get("TAVRO_EXPECT_BUILD")
if _expected_build:
    # The sanitizer run must test the sanitizer build, not the installed package.
    assert os.path.realpath(tavro_pythoncan_ext.__file__).startswith(os.path.realpath(_expected_build)), (
        tavro_pythoncan_ext.__file__
    )


# First lines of a child that is to be interrupted, so that it does not depend on what it inherits: SIGINT ignored
# (see above; a child may be started from elsewhere) or blocked, as some CI runners leave it.
CTRL_C_READY = (
    "import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})\n"
)


def run_python(code, env=None, timeout=60, ctrl_c=False):
    """Runs `code` in a fresh interpreter with the same import path; returns the CompletedProcess. ctrl_c: the child
    is to be interrupted with SIGINT."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", (CTRL_C_READY if ctrl_c else "") + textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def ext():
    return tavro_pythoncan_ext


both_paths = pytest.mark.usb_paths("seam", "kernel")
kernel_only = pytest.mark.usb_paths("kernel")
# A kernel-path test that runs longer than this is ended by unplugging its adapters (see usb_stack.Watchdog).
KERNEL_TEST_LIMIT_S = float(os.environ.get("TAVRO_TEST_KERNEL_LIMIT_S", "180"))


def pytest_configure(config):
    config.addinivalue_line("markers", "usb_paths(*paths): run the test on each of these USB paths (seam, kernel)")
    config.addinivalue_line("markers", "kernel: the test's kernel-path parameter (scripts/test-usb-stack.sh)")
    if USB_PATH == "kernel":
        from usb_stack import check_kernel_path

        check_kernel_path()


def pytest_generate_tests(metafunc):
    mark = metafunc.definition.get_closest_marker("usb_paths")
    if mark is not None:
        metafunc.parametrize(
            "usb_path",
            [pytest.param(p, id=p, marks=[pytest.mark.kernel] if p == "kernel" else []) for p in mark.args],
            indirect=True,
        )


@pytest.fixture(autouse=True)
def usb_path(request):
    """The path the test runs on; a test of the other path is skipped."""
    path = getattr(request, "param", "seam")
    if path != USB_PATH:
        pytest.skip(
            f"{path} path only; this run is the {USB_PATH} path"
            + (" (scripts/test-usb-stack.sh runs the kernel path)" if path == "kernel" else "")
        )
    if path != "kernel":
        yield path
        return
    import tavro_sim
    from usb_stack import KernelSim, Watchdog

    with Watchdog(KernelSim(tavro_sim), KERNEL_TEST_LIMIT_S) as watchdog:
        yield path
    if watchdog.fired:
        pytest.fail(f"watchdog: the test ran longer than {KERNEL_TEST_LIMIT_S:.0f} s; its adapters were unplugged")


@pytest.fixture
def sim(usb_path):
    """The process's simulator, emptied before and after the test. On the kernel path its plug and unplug reach the
    kernel: a plugged adapter is attached through vhci-hcd and announced by udev before plug returns."""
    import tavro_sim

    if usb_path == "kernel":
        from usb_stack import KernelSim

        tavro_sim = KernelSim(tavro_sim)
    tavro_sim.reset()
    yield tavro_sim
    tavro_sim.reset()


@pytest.fixture
def open_devices(ext):
    """Handles opened by a test; closed at the end whatever happened."""
    opened = []

    def open_(*args, by_name=None):
        dev = ext.NativeTavroDevice.open_by_name(by_name) if by_name else ext.NativeTavroDevice(*args)
        opened.append(dev)
        return dev

    yield open_
    for dev in opened:
        try:
            dev.close()
        except RuntimeError:
            pass


def wait_until(predicate, timeout=10.0, interval=0.005):
    """Polls `predicate` until it is true or `timeout` seconds pass; returns its last value."""
    import time

    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


def requests_of(adapter, direction=None):
    """(direction, request name) of every control request the adapter received, oldest first."""
    import tavro_sim

    names = {v: k for k, v in tavro_sim.REQUESTS.items()}
    return [
        (r["direction"], names.get(r["request"], r["request"]))
        for r in adapter.received_requests()
        if direction is None or r["direction"] == direction
    ]


A, B = "tav.io:CANH0001", "tav.io:CANI0002"


def start_pair(sim, open_devices, bitrate=500_000, confirm_first=False, explicit_results=True):
    """Two adapters A and B on the simulated bus, both opened, at `bitrate`, bus on; returns (dev_a, dev_b).
    explicit_results=False: A does not advertise transmission results (0x20), so it works in the legacy result mode."""
    a = sim.plug(A)
    if not explicit_results:
        a.set_profile(features_supported=a.features_supported & ~0x20)
    sim.plug(B)
    devs = [open_devices(A), open_devices(B)]
    for d in devs:
        d.set_bitrate(bitrate, 875)
    if confirm_first:
        devs[0].configure_confirmation(True)
    for d in devs:
        d.set_bus_state(True)
    return devs


@pytest.fixture
def pair(sim, open_devices):
    return start_pair(sim, open_devices)


@pytest.fixture
def tavro_interface(monkeypatch):
    """Makes interface="tavro" resolvable also when the package is not installed (tests run from a build tree)."""
    import can.interfaces

    if "tavro" in can.interfaces.BACKENDS:
        return  # installed: python-can found the plugin through its entry point, which is what users get
    monkeypatch.setitem(can.interfaces.BACKENDS, "tavro", ("tavro_can.bus", "TavroBus"))
    monkeypatch.setattr(can.interfaces, "VALID_INTERFACES", can.interfaces.VALID_INTERFACES | {"tavro"})
    monkeypatch.setattr(can.util, "VALID_INTERFACES", can.interfaces.VALID_INTERFACES, raising=False)


@pytest.fixture
def dev_and_adapter(sim, open_devices):
    """One opened adapter (A) and its simulator handle, with the records of the open cleared."""
    a = sim.plug(A)
    dev = open_devices()
    a.clear_records()
    return dev, a


def thread_names():
    """Names of this process's threads as the OS shows them (the driver's cut to 15 characters), on any platform."""
    import tavro_sim

    return tavro_sim.thread_names()
