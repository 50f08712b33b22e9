"""A handle's life: the preparation sequence at open, stale receive data, close and destruction, the closed
state, and the process exiting with handles still open."""

import gc
import logging
import struct
import threading
import time

import pytest

from conftest import GONE, GONE_CODE, both_paths, requests_of, run_python

SERIAL = "tav.io:CANH0001"
PREPARATION = [
    ("in", "GetDeviceInfo"),
    ("in", "GetDeviceCapabilities"),
    ("in", "GetBtConst"),
    ("out", "Bus"),
    ("in", "Bus"),
    ("out", "ResetCan"),
    ("out", "FlushTxQueue"),
    ("out", "ResetTimestamp"),
]


def rx_record(can_id, data=b"", ts=0):
    return struct.pack("<BBBBI8sQ", 0, len(data), 0, 0, can_id, data.ljust(8, b"\0"), ts)


@both_paths
def test_open_runs_the_preparation_sequence_in_order(sim, open_devices):
    a = sim.plug(SERIAL)
    a.preload_rx(rx_record(0x100) * 2)  # left by an earlier user: drained, never delivered
    dev = open_devices()
    assert requests_of(a) == PREPARATION
    bus_off = [r for r in a.received_requests() if r["request"] == 21 and r["direction"] == "out"][0]
    assert bus_off["data"] == b"\0\0\0\0"
    assert all(r["index"] == 0 for r in a.received_requests())
    assert a.state()["rx_queued_bytes"] == 0
    dev.set_bus_state(True)
    assert dev.receive_frame(50) is None


@pytest.mark.parametrize(
    "stale, message",
    [
        (rx_record(1) * 2 + b"\x01\x02", "Communication error: Startup RX discard ended with an incomplete record"),
        (None, "Communication error: Startup RX discard limit reached; initialization stopped"),
    ],
)
def test_startup_discard_failures_stop_the_open_and_release_the_adapter(ext, sim, open_devices, stale, message):
    a = sim.plug(SERIAL)
    if stale is None:
        a.set_stale_stream(True)
    else:
        a.preload_rx(stale)
    with pytest.raises(RuntimeError) as e:
        ext.NativeTavroDevice()
    assert str(e.value) == message
    a.set_stale_stream(False)
    assert not a.state()["stale_stream"]
    a.preload_rx(b"")
    open_devices()  # nothing stayed claimed


@both_paths
def test_preparation_refusals(ext, sim, open_devices):
    a = sim.plug(SERIAL, channel_count=2)
    with pytest.raises(RuntimeError, match="^Only single-channel TAVRO devices are supported$"):
        ext.NativeTavroDevice()
    a.set_profile(channel_count=1)
    a.add_fault("Bus", "reply", direction="in", payload=struct.pack("<5I", 0, 0, 0, 0, 0))
    with pytest.raises(
        RuntimeError, match="^Hardware error: Bus state verification failed: Requested OFF, Actual State 0$"
    ):
        ext.NativeTavroDevice()
    a.add_fault("ResetTimestamp", "timeout")
    with pytest.raises(RuntimeError, match="^USB error: timed out$"):
        ext.NativeTavroDevice()
    open_devices()


def test_firmware_without_timestamp_reset_still_opens(sim, open_devices):
    a = sim.plug(SERIAL, legacy=True)
    dev = open_devices()
    assert ("out", "ResetTimestamp") in requests_of(a)  # asked, stalled, tolerated
    assert dev.get_device_info()[1] == "1.0.0.3"


@both_paths
def test_close_is_idempotent_and_closed_handle_refuses(sim, open_devices):
    sim.plug(SERIAL)
    dev = open_devices()
    dev.set_bus_state(True)
    assert dev.close() is None
    assert dev.close() is None
    for call in (
        dev.get_serial_number,
        dev.get_bus_state,
        dev.get_mode,
        dev.get_device_info,
        lambda: dev.set_bus_state(True),
        lambda: dev.receive_frame(10),
        lambda: dev.send_frame(1, False, False, 0, b"", 10),
    ):
        with pytest.raises(RuntimeError, match="^Device is closed$"):
            call()
    assert dev.dropped_frame_count() == 0
    assert dev.get_device_capabilities()["clock_freq"] == 48_000_000


@both_paths
def test_close_stops_the_bus_and_resets_the_controller(sim, open_devices):
    a = sim.plug(SERIAL)
    dev = open_devices()
    dev.set_bus_state(True)
    assert a.state()["bus_state"] == 0
    a.clear_records()
    dev.close()
    assert requests_of(a) == [("out", "Bus"), ("in", "Bus"), ("out", "ResetCan")]
    assert a.state()["bus_state"] == 4


@both_paths
def test_failed_close_keeps_the_handle_closed_and_can_be_repeated(sim, open_devices):
    a = sim.plug(SERIAL)
    dev = open_devices()
    a.add_fault("ResetCan", "stall")
    with pytest.raises(RuntimeError, match="^USB error: endpoint stall$"):
        dev.close()
    with pytest.raises(RuntimeError, match="^Device is closed$"):
        dev.get_mode()
    assert dev.close() is None


@pytest.mark.parametrize("bus_off_fails", [False, True])
@both_paths
def test_dropped_handle_closes_once_and_releases_the_adapter(ext, sim, bus_off_fails):
    a = sim.plug(SERIAL)
    dev = ext.NativeTavroDevice()
    dev.set_bus_state(True)
    a.clear_records()
    if bus_off_fails:
        a.add_fault("Bus", "stall", direction="out", count=None)
    del dev
    gc.collect()
    assert requests_of(a, "out").count(("out", "Bus")) == 1
    a.clear_faults()
    again = ext.NativeTavroDevice()
    again.close()


def test_fresh_handle_bus_stopped(sim, open_devices):
    sim.plug(SERIAL)
    dev = open_devices()
    with pytest.raises(RuntimeError, match="^CAN bus is stopped$"):
        dev.send_frame(0x1, False, False, 0, b"", 100)
    start = time.monotonic()
    assert dev.receive_frame(100) is None
    assert time.monotonic() - start >= 0.09


@pytest.mark.parametrize("bus_on", [False, True])
@both_paths
def test_close_wakes_a_blocked_receiver(sim, open_devices, bus_on):
    sim.plug(SERIAL)
    dev = open_devices()
    if bus_on:
        dev.set_bus_state(True)
    outcome = {}

    def receiver():
        start = time.monotonic()
        try:
            dev.receive_frame(5000)
        except RuntimeError as e:
            outcome["error"] = str(e)
        outcome["elapsed"] = time.monotonic() - start

    t = threading.Thread(target=receiver)
    t.start()
    time.sleep(0.05)  # let it block (a late start is also fine: it then sees the closed handle at once)
    dev.close()
    t.join(10)
    assert not t.is_alive()
    assert outcome["error"] == "Device is closed"
    assert outcome["elapsed"] < 2.5


@both_paths
def test_control_debug_lines_and_failure_dump(sim, open_devices, caplog):
    a = sim.plug(SERIAL)
    with caplog.at_level(logging.DEBUG, logger="tavro_usb"):
        dev = open_devices()
        a.add_fault("Mode", "stall", direction="in")
        with pytest.raises(RuntimeError, match="^USB error: endpoint stall$"):
            dev.get_mode()
    # Which lines are written and how they read is the ControlTransport tests' business; here they reach Python's
    # logging whole, at their levels, with a source location.
    device_lines = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "tavro_usb.device"]
    assert (10, "[crates/tavro-usb/src/device:700] Control IN received 24 bytes") in device_lines
    assert (10, "Opened TAVRO device: VID=16c0 PID=27d8") in device_lines
    assert (
        40,
        "[crates/tavro-usb/src/device:694] Control IN FAILED: Stall; serial=tav.io:CANH0001; "
        "command=Mode bmRequestType=0xc1 (vendor/interface) bRequest=0x16 (22) wValue=0x0000 "
        "wIndex=0x0000 wLength=4 timeout-ms=1000 setup=[c1, 16, 00, 00, 00, 00, 04, 00] "
        "IN-data=unavailable (transfer failed)",
    ) in device_lines
    rec = [r for r in caplog.records if r.name == "tavro_usb.device"][0]
    assert rec.pathname and rec.lineno > 0


@both_paths
def test_every_operation_on_an_unplugged_adapter_says_so(sim, open_devices):
    a = sim.plug(SERIAL)
    dev = open_devices()
    dev.configure_confirmation(True)
    dev.set_bus_state(True)
    ticket = dev.submit_frame(0x1, False, False, 0, b"", 1000)  # nobody acknowledges it: it stays pending
    a.unplug()
    calls = {
        "receive": lambda: dev.receive_frame(5000),
        "state": dev.get_bus_state,
        "submit": lambda: dev.submit_frame(0x2, False, False, 0, b"", 1000),
        "cancel": lambda: dev.cancel_ticket(ticket, 1000),
        "confirmation_info": dev.confirmation_info,
        "close": dev.close,
    }
    for name, call in calls.items():
        with pytest.raises(RuntimeError) as e:
            call()
        assert (str(e.value), getattr(e.value, "error_code", None)) == (GONE, GONE_CODE), name


def test_process_exits_cleanly_with_open_handles_and_running_workers():
    r = run_python(
        """
        import logging, threading, tavro_pythoncan_ext as m
        logging.basicConfig(level=logging.DEBUG)
        logging.getLogger("tavro_usb").setLevel(logging.DEBUG)
        a = m.NativeTavroDevice("tav.io:CANH0001")
        b = m.NativeTavroDevice("tav.io:CANI0002")
        for d in (a, b):
            d.set_bitrate(500000, 875)
            d.set_bus_state(True)
        def pump():
            try:
                while True:
                    a.send_frame(0x123, False, False, 1, b"x", 100)
                    b.receive_frame(100)
            except RuntimeError:
                pass
        threading.Thread(target=pump, daemon=True).start()
        b.receive_frame(1000)
        print("leaving")
        """,
        env={"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": "tav.io:CANH0001,tav.io:CANI0002"},
        timeout=60,
    )
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip() == "leaving"


EXIT_SCENARIOS = {
    "receiver-with-bus-stopped": """
        dev = m.NativeTavroDevice("tav.io:CANH0001")
        block(dev.receive_frame, 60000)
        """,
    "ticket-waiter": """
        tavro_sim.set_paused(True)
        dev = m.NativeTavroDevice("tav.io:CANH0001")
        dev.configure_confirmation(True)
        dev.set_bus_state(True)
        block(dev.submit_frame(0x1, False, False, 0, b"", 1000).wait, 60000)
        """,
    "debug-logging-of-everything": """
        logging.basicConfig(level=logging.DEBUG)
        a, b = m.NativeTavroDevice("tav.io:CANH0001"), m.NativeTavroDevice("tav.io:CANI0002")
        for d in (a, b):
            d.set_bus_state(True)
        def pump():
            while True:
                a.send_frame(0x123, False, False, 1, b"x", 100)
                b.receive_frame(100)
        block(pump)
        block(b.receive_frame, 60000)
        """,
}


@pytest.mark.parametrize("scenario", sorted(EXIT_SCENARIOS))
def test_exit_with_threads_blocked_in_the_driver(scenario):
    """The exit hook wakes them; none of them may take the interpreter back while it finalises. Repeated in
    fresh processes: the window is narrow."""
    import os
    import subprocess
    import sys
    import textwrap

    code = (
        textwrap.dedent("""
        import logging, threading, time, tavro_sim, tavro_pythoncan_ext as m
        def block(fn, *args):
            started = threading.Event()
            def run():
                started.set()
                try:
                    fn(*args)
                except RuntimeError:
                    pass
            threading.Thread(target=run, daemon=True).start()
            started.wait(10)
        """)
        + textwrap.dedent(EXIT_SCENARIOS[scenario])
        + "time.sleep(0.05)\n"
    )
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
        TAVRO_USB_BACKEND="simulator",
        TAVRO_SIM_ADAPTERS="tav.io:CANH0001,tav.io:CANI0002",
    )
    for _ in range(4):  # 4 rounds of 4 processes at once
        procs = [
            subprocess.Popen(
                [sys.executable, "-c", code], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
            )
            for _ in range(4)
        ]
        for p in procs:
            _, err = p.communicate(timeout=60)
            assert p.returncode == 0, err[-3000:]
