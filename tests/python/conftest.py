"""Shared fixtures: every test process drives the simulated adapters through the same seam as real hardware."""
import logging
import os
import subprocess
import sys
import textwrap

# The backend is chosen once per process, at import: set it before anything imports the driver.
os.environ.setdefault("TAVRO_USB_BACKEND", "simulator")
os.environ.setdefault("TAVRO_SIM_ADAPTERS", "")
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


def run_python(code, env=None, timeout=60):
    """Runs `code` in a fresh interpreter with the same import path; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def ext():
    return tavro_pythoncan_ext


@pytest.fixture
def sim():
    """The process's simulator, emptied before and after the test."""
    import tavro_sim

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
