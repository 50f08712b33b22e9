"""Periodic transmission between two simulated adapters: rotation, modification, duration, what stops a task and
what ends it with a stored error, close/destruction/exit with tasks running, confirmed mode, limits and messages."""

import re

import pytest

from conftest import A, B, both_paths, run_python, start_pair, wait_until, thread_names

LONG = 10_000_000  # 10 s: with such a period only the first frame goes out during a test


def frame(arb_id, data=b""):
    return (arb_id, False, False, len(data), data)


def received_ids(rx, n):
    ids = [t[1] for t in (rx.receive_frame(2000) for _ in range(n)) if t is not None]
    assert len(ids) == n, f"only {len(ids)} of {n} frames arrived"
    return ids


def drain(rx):
    """Frames until the bus has been quiet for 300 ms."""
    ids = []
    while (t := rx.receive_frame(300)) is not None:
        ids.append(t[1])
    return ids


class Huge:
    """A sequence that claims far more items than memory holds, each of them `item`."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return self.item


def virtual_memory():
    """Bytes of address space that the process has mapped. Summed from its mappings, not read as VmSize, which under
    an emulator (qemu-user) is the emulator's own."""
    with open("/proc/self/maps") as f:
        return sum(int(end, 16) - int(start, 16) for start, end in (line.split(None, 1)[0].split("-") for line in f))


def periodic_threads():
    return [n for n in thread_names() if n == "tavro-periodic-"]  # names keep 15 characters


def test_rotation_modification_and_stop(pair):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x10A, b"\x01"), frame(0x10B, [2, 3]), frame(0x10C, bytearray(b"\x04"))], 2000, None)
    assert tid == 1 and tx.is_periodic_alive(tid) and tx.periodic_error(tid) is None
    assert received_ids(rx, 7) == [0x10A, 0x10B, 0x10C, 0x10A, 0x10B, 0x10C, 0x10A]

    tx.modify_periodic(tid, [frame(0x20D, b"\xdd")])
    # Frames sent before the change may still be queued at the receiver: they continue the rotation.
    before = []
    while (i := received_ids(rx, 1)[0]) != 0x20D:
        before.append(i)
    assert before == [[0x10A, 0x10B, 0x10C][(7 + k) % 3] for k in range(len(before))]
    assert set(received_ids(rx, 10)) == {0x20D}
    assert tx.periodic_counts(tid)["sent"] >= 17

    assert tx.start_periodic([frame(0x300)], LONG, None) == 2
    tx.stop_periodic(tid)
    assert not tx.is_periodic_alive(tid) and tx.periodic_error(tid) is None
    with pytest.raises(RuntimeError, match="^No periodic task with id 1$"):
        tx.stop_periodic(tid)
    with pytest.raises(RuntimeError, match="^No periodic task with id 1$"):
        tx.modify_periodic(tid, [frame(0x1)])
    with pytest.raises(RuntimeError, match="^No periodic task with id 1$"):
        tx.periodic_counts(tid)
    tx.stop_all_periodic()
    assert not tx.is_periodic_alive(2)
    drain(rx)
    assert rx.receive_frame(300) is None, "nothing is sent after the tasks were stopped"


def test_first_frame_at_once_duration_and_empty_list(pair):
    tx, rx = pair
    slow = tx.start_periodic([frame(0x42, b"\x01\x02")], LONG, None)
    assert rx.receive_frame(2000)[1:] == (0x42, False, False, False, 2, b"\x01\x02" + bytes(6))
    tx.modify_periodic(slow, [])  # allowed; the task ends at its next slot, which is far away
    assert tx.is_periodic_alive(slow)

    none = tx.start_periodic([frame(0x50)], 1000, 0)
    assert wait_until(lambda: not tx.is_periodic_alive(none)) and tx.periodic_error(none) is None
    assert rx.receive_frame(300) is None, "a duration of 0 sends nothing"

    tid = tx.start_periodic([frame(0x51)], 10_000, 100)
    assert wait_until(lambda: not tx.is_periodic_alive(tid)) and tx.periodic_error(tid) is None
    assert 1 <= len(drain(rx)) <= 30  # about ten; generous for a busy machine

    fast = tx.start_periodic([frame(0x43)], 1000, None)
    received_ids(rx, 2)
    tx.modify_periodic(fast, [])
    assert wait_until(lambda: not tx.is_periodic_alive(fast)) and tx.periodic_error(fast) is None


@pytest.mark.parametrize("change", ["reset_can", "bus_off"])
def test_configuration_changes_stop_tasks_and_keep_their_entries(pair, change):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x60)], 1000, None)
    received_ids(rx, 2)
    tx.reset_can() if change == "reset_can" else tx.set_bus_state(False)
    assert not tx.is_periodic_alive(tid)
    assert tx.periodic_error(tid) is None, "stopped deliberately: a normal end, not a failure"
    tx.stop_periodic(tid)  # the entry stayed until now


# Of the periodic tests only this one runs on the kernel path too: each frame must reach the adapter within 50 ms,
# which an emulated guest on a busy machine misses now and then; this test needs two frames in time, not twenty.
@both_paths
def test_failures_end_the_task_with_a_stored_error(pair, sim):
    tx, rx = pair
    adapter = sim.find(A)
    tid = tx.start_periodic([frame(0x70)], 1000, None)
    received_ids(rx, 1)
    adapter.add_fault(target="bulk_out", action="stall", count=None)
    assert wait_until(lambda: not tx.is_periodic_alive(tid))
    assert tx.periodic_error(tid) == "RuntimeError: USB error: endpoint stall"

    # A configuration request that holds the handle longer than a frame's 50 ms budget ends the task. On the other
    # adapter: the stall above halts A's endpoint until a host clears it, and nothing here does.
    tid = rx.start_periodic([frame(0x71)], 1000, None)
    sim.find(B).add_fault("LedMode", direction="in", action="delay", delay_ms=500)
    rx.get_led_mode()
    assert wait_until(lambda: not rx.is_periodic_alive(tid))
    assert rx.periodic_error(tid) == "TimeoutError: Operation timed out waiting for native configuration"
    rx.stop_periodic(tid)
    assert rx.periodic_error(tid) is None, "the error goes with the entry"


def test_close_drop_and_exit_join_the_workers(pair, ext):
    tx, rx = pair
    ids = [tx.start_periodic([frame(0x80 + i)], p, None) for i, p in enumerate((500, 5000, LONG))]
    assert len(periodic_threads()) == 3
    tx.close()
    assert periodic_threads() == [], "close() returns after the workers have ended"
    assert not any(tx.is_periodic_alive(i) for i in ids)
    with pytest.raises(RuntimeError, match="^Device is closed$"):
        tx.start_periodic([frame(0x1)], 1000, None)

    rx.close()
    dropped = ext.NativeTavroDevice(B)
    dropped.set_bus_state(True)
    dropped.start_periodic([frame(0x90)], 1000, None)
    del dropped
    assert periodic_threads() == []
    ext.NativeTavroDevice(B).close()  # the adapter was released

    r = run_python(
        f"""
        import tavro_sim, tavro_pythoncan_ext as ext
        for serial in ({A!r}, {B!r}):
            d = ext.NativeTavroDevice(serial)
            d.set_bus_state(True)
            d.start_periodic([(0x123, False, False, 1, b"\\x01")], 200, None)
        print("running")
    """,
        env={"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": f"{A},{B}"},
    )
    assert r.returncode == 0 and "running" in r.stdout, r.stderr


def test_confirmed_mode(sim, open_devices):
    sim.plug(A)
    sim.plug(B)
    tx, rx = open_devices(A), open_devices(B)
    tx.configure_confirmation(True)
    tx.configure_modes(0x08, 0x08)  # one-shot: a lost arbitration is final
    for d in (tx, rx):
        d.set_bitrate(500_000, 875)
        d.set_bus_state(True)
    tid = tx.start_periodic([frame(0xA0), frame(0xA1)], 1000, None)
    assert received_ids(rx, 4) == [0xA0, 0xA1, 0xA0, 0xA1]
    assert tx.is_periodic_alive(tid)
    tx.stop_periodic(tid)

    sim.start_stream(sim.Frame(0x001, b"\x01"), bitrate=500_000)  # a busier, higher-priority node
    try:
        tid = tx.start_periodic([frame(0x200)], 1000, None)
        assert wait_until(lambda: not tx.is_periodic_alive(tid))
    finally:
        sim.stop_stream()
    assert re.fullmatch(
        r"RuntimeError: Periodic TX did not succeed: Terminal\(TxResult \{ echo_id: \d+, "
        r"status: ArbitrationLost, flags: \d+, timestamp_us: \d+ \}\)",
        tx.periodic_error(tid),
    )


@pytest.mark.parametrize(
    "failure, error",
    [
        ("write", "RuntimeError: Periodic TX delivery uncertain after USB error: "),
        ("verdict", "TimeoutError: TX result or submission timed out; delivery may be uncertain"),
    ],
    ids=["write", "verdict"],
)
def test_a_failing_confirmed_task_leaves_no_ticket_pending(sim, open_devices, failure, error):
    tx, rx = start_pair(sim, open_devices, confirm_first=True)
    if failure == "write":
        sim.find(A).add_fault(target="bulk_out", action="partial_accept", length=8)
    else:
        sim.set_paused(True)  # the frame waits in the adapter: no verdict within the frame's budget
    tid = tx.start_periodic([frame(0x90)], LONG, None)
    assert wait_until(lambda: not tx.is_periodic_alive(tid))
    assert tx.periodic_error(tid).startswith(error)
    sim.set_paused(False)
    assert tx.confirmation_info()["pending"] == 0
    tx.set_bus_state(False)  # nothing pending refuses it
    assert sim.find(A).bus_state == 4


def test_argument_checks_and_refusals(pair):
    tx, _ = pair
    good = [frame(0x1)]
    refusals = [
        (RuntimeError, "No frames to send", ([], 1000, None)),
        (ValueError, "Period must be at least one microsecond", (good, 0, None)),
        (ValueError, "Period is too large", (good, 2**64 - 1, None)),
        (
            ValueError,
            r"Data length must match DLC \(RTR data must be empty\)",
            ([frame(0x1), (0x123, False, False, 2, b"\x01")], 1000, None),
        ),
        (ValueError, "expected tuple of length 5, but got tuple of length 4", ([(0x1, False, False, 0)], 1000, None)),
        (TypeError, "frames", ("frames", 1000, None)),
        (TypeError, "frames", ([[0x1, False, False, 0, b""]], 1000, None)),
        (TypeError, "frames", ([(0x1, 0, False, 0, b"")], 1000, None)),  # is_ext must be a bool
        (OverflowError, "too large", ([(0x1, False, False, 1, [256])], 1000, None)),
        (OverflowError, "too small", (good, -1, None)),
        (MemoryError, None, (Huge(frame(0x1)), 1000, None)),
        (
            ValueError,
            r"^Data length must match DLC \(RTR data must be empty\)$",
            ([(0x1, False, False, 2, Huge(1))], 1000, None),
        ),
        (ValueError, "^DLC exceeds Classic CAN max of 8$", ([(0x1, False, False, 9, Huge(1))], 1000, None)),
    ]
    for cls, message, args in refusals:
        with pytest.raises(cls, match=message):
            tx.start_periodic(*args)
    with pytest.raises(ValueError, match="^arbitration_id exceeds CAN identifier range$"):
        tx.modify_periodic(1, [(0x800, False, False, 0, b"")])
    with pytest.raises(MemoryError):
        tx.modify_periodic(1, Huge(frame(0x1)))
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            tx.is_periodic_alive(bad)
    with pytest.raises(RuntimeError, match="^No periodic task with id 12345$"):
        tx.stop_periodic(12345)
    assert tx.is_periodic_alive(12345) is False and tx.periodic_error(12345) is None
    assert tx.start_periodic([(0x123, False, False, 2, [1, 2]), (0x1, False, True, 3, b"")], LONG, None) == 1, (
        "refused starts consume no id"
    )
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
    # Entries stay until removed, even when their worker has ended (a duration of 0 ends it at once); the ended
    # workers' threads do not wait for that: their stacks (8 MiB each, 128 GiB for all) are given back.
    before = virtual_memory()
    assert [tx.start_periodic([frame(0x1)], 1000, 0) for _ in range(16384)] == list(range(1, 16385))
    assert wait_until(lambda: virtual_memory() - before < 2**30, timeout=30), virtual_memory() - before
    with pytest.raises(RuntimeError, match="^Too many periodic tasks$"):
        tx.start_periodic([frame(0x1)], 1000, 0)
    tx.stop_periodic(7)
    assert tx.start_periodic([frame(0x1)], 1000, 0) == 16385
    tx.stop_all_periodic()


def test_tasks_interleave_with_python_senders(pair):
    tx, rx = pair
    tid = tx.start_periodic([frame(0x700)], 500, None)
    periodic = 0
    for i in range(50):
        # The worker holds the handle only while it sends, so a caller gets through between its frames.
        tx.send_frame(0x100 + i, False, False, 0, b"", 2000)
        while (got := received_ids(rx, 1)[0]) != 0x100 + i:
            assert got == 0x700
            periodic += 1
    assert tx.is_periodic_alive(tid), tx.periodic_error(tid)
    # How many periodic frames fell between the senders' depends on the machine's load; that the task keeps sending
    # alongside them does not.
    while periodic < 5:
        assert received_ids(rx, 1)[0] == 0x700
        periodic += 1
