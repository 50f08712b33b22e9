"""Periodic transmission between two simulated adapters: rotation, modification, duration, what stops a task and
what ends it with a stored error, close/destruction/exit with tasks running, confirmed mode, limits and messages."""
import re
import threading

import pytest

from conftest import run_python, wait_until

A, B = "tav.io:CANH0001", "tav.io:CANI0002"
LONG = 10_000_000  # 10 s: with such a period only the first frame goes out during a test


def frame(arb_id, data=b""):
    return (arb_id, False, False, len(data), data)


def open_pair(sim, open_devices, confirmed=False):
    sim.plug(A)
    sim.plug(B)
    tx, rx = open_devices(A), open_devices(B)
    for d in (tx, rx):
        d.set_bitrate(500_000, 875)
    if confirmed:
        tx.configure_confirmation(True)
    for d in (tx, rx):
        d.set_bus_state(True)
    return tx, rx


@pytest.fixture
def pair(sim, open_devices):
    return open_pair(sim, open_devices)


def received_ids(rx, n):
    ids = []
    for _ in range(n):
        t = rx.receive_frame(2000)
        assert t is not None, f"only {len(ids)} of {n} frames arrived"
        ids.append(t[1])
    return ids


def drain(rx, quiet_ms=300):
    """Frames until the bus has been quiet for quiet_ms."""
    ids = []
    while (t := rx.receive_frame(quiet_ms)) is not None:
        ids.append(t[1])
    return ids


def periodic_threads():
    import os

    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass
    # The kernel keeps 15 characters of "tavro-periodic-send".
    return [n for n in names if n.startswith("tavro-periodic")]


def test_frames_go_out_in_rotation_and_a_modification_takes_over(pair):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x10A, b"\x01"), frame(0x10B, [2, 3]), frame(0x10C, bytearray(b"\x04"))], 2000,
                            None)
    assert tid == 1
    assert tx.is_periodic_alive(tid) and tx.periodic_error(tid) is None
    assert received_ids(rx, 7) == [0x10A, 0x10B, 0x10C, 0x10A, 0x10B, 0x10C, 0x10A]

    tx.modify_periodic(tid, [frame(0x20D, b"\xDD")])
    # Frames sent before the change may still be queued at the receiver: they continue the rotation.
    before = []
    while (i := received_ids(rx, 1)[0]) != 0x20D:
        before.append(i)
        assert len(before) < 5000
    rotation = [0x10A, 0x10B, 0x10C]
    assert before == [rotation[(7 + k) % 3] for k in range(len(before))]
    assert set(received_ids(rx, 10)) == {0x20D}

    assert tx.start_periodic([frame(0x300)], LONG, None) == 2
    tx.stop_periodic(tid)
    assert not tx.is_periodic_alive(tid) and tx.periodic_error(tid) is None
    with pytest.raises(RuntimeError, match="^No periodic task with id 1$"):
        tx.stop_periodic(tid)
    with pytest.raises(RuntimeError, match="^No periodic task with id 1$"):
        tx.modify_periodic(tid, [frame(0x1)])
    assert tx.is_periodic_alive(2)
    tx.stop_all_periodic()
    assert not tx.is_periodic_alive(2)
    drain(rx)
    assert rx.receive_frame(300) is None, "nothing is sent after the tasks were stopped"


def test_first_frame_goes_out_at_once_and_an_empty_modification_ends_the_task(pair):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x42, b"\x01\x02")], LONG, None)
    t = rx.receive_frame(2000)
    assert t is not None and t[1:] == (0x42, False, False, False, 2, b"\x01\x02" + bytes(6))
    tx.modify_periodic(tid, [])  # allowed; the task ends at its next slot, which is far away
    assert tx.is_periodic_alive(tid)
    fast = tx.start_periodic([frame(0x43)], 1000, None)
    received_ids(rx, 2)
    tx.modify_periodic(fast, [])
    assert wait_until(lambda: not tx.is_periodic_alive(fast))
    assert tx.periodic_error(fast) is None


def test_duration_limits_the_task(pair):
    tx, rx = pair
    none = tx.start_periodic([frame(0x50)], 1000, 0)
    assert wait_until(lambda: not tx.is_periodic_alive(none))
    assert tx.periodic_error(none) is None
    assert rx.receive_frame(300) is None, "a duration of 0 sends nothing"

    tid = tx.start_periodic([frame(0x51)], 10_000, 100)
    assert wait_until(lambda: not tx.is_periodic_alive(tid))
    assert tx.periodic_error(tid) is None
    n = len(drain(rx))
    assert 1 <= n <= 30  # about ten; generous for a busy machine


@pytest.mark.parametrize("change", ["reset_can", "flush_tx_queue", "bus_off", "set_mode"])
def test_configuration_changes_stop_tasks_and_keep_their_entries(pair, change):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x60)], 1000, None)
    received_ids(rx, 2)
    {"reset_can": tx.reset_can, "flush_tx_queue": tx.flush_tx_queue, "bus_off": lambda: tx.set_bus_state(False),
     "set_mode": lambda: tx.set_mode(0)}[change]()
    assert not tx.is_periodic_alive(tid)
    # Stopped deliberately: that is a normal end, not a failure.
    assert tx.periodic_error(tid) is None
    tx.stop_periodic(tid)  # the entry stayed until now
    with pytest.raises(RuntimeError, match="^No periodic task with id"):
        tx.stop_periodic(tid)


def test_send_failures_end_the_task_with_a_stored_error(pair, sim):
    tx, rx = pair
    adapter = sim.find(A)
    tid = tx.start_periodic([frame(0x70)], 1000, None)
    received_ids(rx, 1)
    adapter.add_fault(target="bulk_out", action="stall", count=None)
    assert wait_until(lambda: not tx.is_periodic_alive(tid))
    assert tx.periodic_error(tid) == "RuntimeError: USB error: endpoint stall"
    assert tx.periodic_error(tid) == tx.periodic_error(tid), "read as often as wanted"
    adapter.clear_faults()

    # A configuration request that holds the handle longer than a frame's 50 ms budget ends the task.
    tid = tx.start_periodic([frame(0x71)], 1000, None)
    adapter.add_fault("LedMode", direction="in", action="delay", delay_ms=500)
    tx.get_led_mode()
    assert wait_until(lambda: not tx.is_periodic_alive(tid))
    assert tx.periodic_error(tid) == "TimeoutError: Operation timed out waiting for native configuration"
    tx.stop_periodic(tid)
    assert tx.periodic_error(tid) is None, "the error goes with the entry"


def test_unplugging_ends_the_task_with_a_runtime_error(pair, sim):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x72)], 1000, None)
    received_ids(rx, 1)
    sim.find(A).unplug()
    assert wait_until(lambda: not tx.is_periodic_alive(tid))
    assert tx.periodic_error(tid).startswith("RuntimeError: ")


def test_close_and_destruction_join_the_workers(pair, sim, ext):
    tx, rx = pair
    ids = [tx.start_periodic([frame(0x80 + i)], p, None) for i, p in enumerate((500, 5000, LONG))]
    assert len(periodic_threads()) == 3
    tx.close()
    assert periodic_threads() == [], "close() returns after the workers have ended"
    assert not any(tx.is_periodic_alive(i) for i in ids)
    assert all(tx.periodic_error(i) is None for i in ids)
    with pytest.raises(RuntimeError, match="^Device is closed$"):
        tx.start_periodic([frame(0x1)], 1000, None)
    tx.close()

    # A handle that is simply dropped stops its tasks too.
    rx.close()
    dropped = ext.NativeTavroDevice(B)
    dropped.set_bus_state(True)
    dropped.start_periodic([frame(0x90)], 1000, None)
    assert len(periodic_threads()) == 1
    del dropped
    assert periodic_threads() == []
    ext.NativeTavroDevice(B).close()  # and the adapter was released


def test_process_exits_cleanly_with_tasks_running():
    code = f"""
        import tavro_sim, tavro_pythoncan_ext as ext
        devs = [ext.NativeTavroDevice(s) for s in ({A!r}, {B!r})]
        for d in devs:
            d.set_bitrate(500000, 875)
            d.set_bus_state(True)
        devs[0].start_periodic([(0x123, False, False, 1, b"\\x01")], 200, None)
        devs[1].start_periodic([(0x124, False, False, 0, b"")], 1000, None)
        print("running")
    """
    r = run_python(code, env={"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": f"{A},{B}"})
    assert r.returncode == 0, r.stderr
    assert "running" in r.stdout


def test_confirmed_mode(sim, open_devices):
    tx, rx = open_pair(sim, open_devices, confirmed=True)
    tid = tx.start_periodic([frame(0xA0), frame(0xA1)], 1000, None)
    assert received_ids(rx, 4) == [0xA0, 0xA1, 0xA0, 0xA1]
    assert tx.is_periodic_alive(tid)
    assert tx.confirmation_info()["pending"] <= 1
    tx.stop_periodic(tid)

    # One-shot mode: a frame that loses arbitration is not retried, and the task reports the verdict.
    tx.set_bus_state(False)
    tx.configure_modes(0x08, 0x08)
    tx.set_bus_state(True)
    sim.start_stream(sim.Frame(0x001, b"\x01"), bitrate=500_000)
    try:
        tid = tx.start_periodic([frame(0x200)], 1000, None)
        assert wait_until(lambda: not tx.is_periodic_alive(tid))
    finally:
        sim.stop_stream()
    assert re.fullmatch(r"RuntimeError: Periodic TX did not succeed: Terminal\(TxResult \{ echo_id: \d+, "
                        r"status: ArbitrationLost, flags: \d+, timestamp_us: \d+ \}\)", tx.periodic_error(tid))

    # Nobody acknowledges: the one-shot frame fails.
    rx.close()
    sim.set_ack_peer(False)
    try:
        tid = tx.start_periodic([frame(0x201)], 1000, None)
        assert wait_until(lambda: not tx.is_periodic_alive(tid))
    finally:
        sim.set_ack_peer(True)
    assert tx.periodic_error(tid).startswith("RuntimeError: Periodic TX did not succeed: Terminal(TxResult { echo_id: ")
    assert ", status: Failed, " in tx.periodic_error(tid)


def test_argument_checks_and_refusals(pair, sim, open_devices):
    tx, rx = pair
    good = [frame(0x1)]
    with pytest.raises(RuntimeError, match="^No frames to send$"):
        tx.start_periodic([], 1000, None)
    with pytest.raises(ValueError, match="^Period must be at least one microsecond$"):
        tx.start_periodic(good, 0, None)
    with pytest.raises(ValueError, match="^Period is too large$"):
        tx.start_periodic(good, 2**64 - 1, None)
    with pytest.raises(ValueError, match=r"^Data length must match DLC \(RTR data must be empty\)$"):
        tx.start_periodic([frame(0x1), (0x123, False, False, 2, b"\x01")], 1000, None)
    with pytest.raises(ValueError, match="^arbitration_id exceeds CAN identifier range$"):
        tx.modify_periodic(1, [(0x800, False, False, 0, b"")])
    with pytest.raises(ValueError, match="^expected tuple of length 5, but got tuple of length 4$"):
        tx.start_periodic([(0x1, False, False, 0)], 1000, None)
    with pytest.raises(TypeError):
        tx.start_periodic("frames", 1000, None)
    with pytest.raises(TypeError):
        tx.start_periodic([[0x1, False, False, 0, b""]], 1000, None)
    with pytest.raises(TypeError):
        tx.start_periodic([(0x1, 0, False, 0, b"")], 1000, None)  # is_ext must be a bool
    with pytest.raises(OverflowError):
        tx.start_periodic([(0x1, False, False, 1, [256])], 1000, None)
    with pytest.raises(OverflowError):
        tx.start_periodic(good, -1, None)
    with pytest.raises(TypeError):
        tx.start_periodic(good, 1000)  # all three arguments are required
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            tx.is_periodic_alive(bad)
    with pytest.raises(RuntimeError, match="^No periodic task with id 12345$"):
        tx.stop_periodic(12345)
    assert tx.is_periodic_alive(12345) is False
    assert tx.periodic_error(12345) is None
    assert tx.start_periodic([(0x123, False, False, 2, [1, 2]), (0x1, False, True, 3, b"")], LONG, None) == 1, \
        "refused starts consume no id"
    tx.stop_all_periodic()

    tx.set_bus_state(False)
    with pytest.raises(RuntimeError, match="^CAN bus is stopped$"):
        tx.start_periodic(good, 1000, None)
    tx.configure_modes(0x02, 0x02)
    tx.set_bus_state(True)
    with pytest.raises(RuntimeError, match="^Transmission is disabled in listen-only mode$"):
        tx.start_periodic(good, 1000, None)


def test_table_limit(pair):
    tx, _ = pair
    # Entries stay until removed, even when their worker has ended (a duration of 0 ends it at once).
    ids = [tx.start_periodic([frame(0x1)], 1000, 0) for _ in range(16384)]
    assert ids == list(range(1, 16385))
    with pytest.raises(RuntimeError, match="^Too many periodic tasks$"):
        tx.start_periodic([frame(0x1)], 1000, 0)
    tx.stop_periodic(7)
    assert tx.start_periodic([frame(0x1)], 1000, 0) == 16385
    tx.stop_all_periodic()
    assert tx.start_periodic([frame(0x1)], 1000, 0) == 16386


def test_tasks_interleave_with_python_senders(pair):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x700)], 500, None)
    assert received_ids(rx, 1) == [0x700], "the first frame goes out at once"
    periodic = 0
    for i in range(50):
        # The worker holds the handle only while it sends, so a caller gets through between its frames.
        tx.send_frame(0x100 + i, False, False, 0, b"", 2000)
        while (got := received_ids(rx, 1)[0]) != 0x100 + i:
            assert got == 0x700
            periodic += 1
    assert tx.is_periodic_alive(tid), tx.periodic_error(tid)
    assert periodic >= 5  # one every 0.5 ms while the loop runs; generous for a busy machine
