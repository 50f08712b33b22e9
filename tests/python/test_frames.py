"""Frames between two adapters on one simulated bus: the received tuple, the frame check, the software filter,
time-outs, configuration changes while the bus runs, unplugging, and concurrent use."""

import logging
import struct
import threading
import time

import pytest

from conftest import A, B, GONE, both_paths, start_pair, thread_names, wait_until


def receive(dev, timeout_ms=2000):
    t = dev.receive_frame(timeout_ms)
    assert t is not None, "no frame arrived"
    return t


@both_paths
@pytest.mark.parametrize("bitrate", [500_000, 1_000_000])
def test_frames_cross_the_bus_with_the_right_tuple(sim, open_devices, bitrate):
    tx, rx = start_pair(sim, open_devices, bitrate)
    cases = [(0x123, False, False, bytes([1, 2]))]
    cases += [(0x7FF, False, False, bytes(range(n))) for n in range(9)]
    cases += [
        (0x1ABCDEF0 & 0x1FFFFFFF, True, False, b"\xaa" * 8),
        (0x100, False, True, b""),
        (0x18FF00F1, True, True, b""),
    ]
    for arb_id, ext, rtr, data in cases:
        dlc = 4 if rtr else len(data)
        tx.send_frame(arb_id, ext, rtr, dlc, data, 1000)
        ts, rid, rext, rrtr, rerr, rdlc, rdata = receive(rx)
        assert (rid, rext, rrtr, rerr, rdlc) == (arb_id, ext, rtr, False, dlc)
        assert rdata == (b"" if rtr else data).ljust(8, b"\0")
        assert isinstance(ts, int)
    assert rx.receive_frame(0) is None
    first = (0x123, False, False, False, 2, b"\x01\x02" + bytes(6))
    tx.send_frame(0x123, False, False, 2, b"\x01\x02", 1000)
    assert receive(rx)[1:] == first


def test_timestamps_are_adapter_microseconds(pair, sim):
    tx, rx = pair
    tx.send_frame(0x1, False, False, 0, b"", 1000)
    t1 = receive(rx)[0]
    time.sleep(0.05)
    tx.send_frame(0x2, False, False, 0, b"", 1000)
    t2 = receive(rx)[0]
    assert 40_000 <= t2 - t1 <= 5_000_000


def test_frame_check_refuses_before_anything_is_written(pair, sim):
    tx, _ = pair
    adapter = sim.find(A)
    adapter.clear_records()
    # Every refusal of the frame check is a ValueError (its texts are the check's own business).
    with pytest.raises(ValueError, match="^arbitration_id exceeds CAN identifier range$"):
        tx.send_frame(0x800, False, False, 0, b"", 10)
    with pytest.raises(TypeError, match="data"):
        tx.send_frame(0x1, False, False, 1, bytearray(b"\x01"), 10)
    with pytest.raises(TypeError, match="arb_id"):
        tx.send_frame("1", False, False, 0, b"", 10)
    with pytest.raises(TypeError, match="is_ext"):
        tx.send_frame(1, 0, False, 0, b"", 10)
    with pytest.raises(TypeError, match="timeout_ms"):
        tx.send_frame(1, False, False, 0, b"", None)
    with pytest.raises(OverflowError, match="^number too small to fit in target type$"):
        tx.send_frame(-1, False, False, 0, b"", 10)
    with pytest.raises(OverflowError, match="^number too large to fit in target type$"):
        tx.send_frame(2**32, False, False, 0, b"", 10)
    with pytest.raises(OverflowError, match="^number too large to fit in target type$"):
        tx.send_frame(1, False, False, 256, b"", 10)
    with pytest.raises(TypeError):
        tx.send_frame(1, False, False, 0, b"")
    assert adapter.received_bulk_out() == []
    with pytest.raises(TimeoutError, match="^Operation deadline expired$"):
        tx.send_frame(0x1, False, False, 0, b"", 0)
    assert adapter.received_bulk_out() == []
    tx.send_frame(0x7FF, False, False, 0, b"", 100)
    assert adapter.received_bulk_out() == [bytes([0, 0, 0, 0]) + struct.pack("<I", 0x7FF) + bytes(8)]


def test_software_filter(sim, pair):
    tx, rx = pair
    rx.set_filters([(0x100, 0x7FF, False)])
    for can_id in (0x101, 0x100):
        tx.send_frame(can_id, False, False, 0, b"", 1000)
    assert receive(rx)[1] == 0x100
    # A refused frame already queued ends a call without time left (as python-can's recv(0)), not one with time.
    records = b"".join(struct.pack("<BBBBI8sQ", 0, 1, 0, 0, i, bytes(8), 1) for i in (0x100, 0x101, 0x100))
    for timeout_ms, expected in ((0, [None, 0x100]), (2000, [0x100])):
        sim.find(B).preload_rx(records)
        assert receive(rx)[1] == 0x100  # one transfer: the other two are queued now
        assert [t and t[1] for t in (rx.receive_frame(timeout_ms) for _ in expected)] == expected
    assert rx.receive_frame(100) is None
    tx.send_frame(0x100, True, False, 0, b"", 1000)  # extended 0x100 does not match a standard entry
    assert rx.receive_frame(200) is None
    rx.set_filters([(0x100, 0x7FF, None)])
    tx.send_frame(0x100, True, False, 0, b"", 1000)
    assert receive(rx)[1:3] == (0x100, True)
    with pytest.raises(ValueError, match="^Filter ID or mask out of range$"):
        rx.set_filters([(0x100, 0x7FF, False), (0x800, 0, False)])
    tx.send_frame(0x555, False, False, 0, b"", 1000)
    assert rx.receive_frame(200) is None  # the failed call left the previous filter in place
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        rx.set_filters("abc")

    class Huge:  # claims more entries than memory holds
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            return (0x100, 0x7FF, False)

    with pytest.raises(MemoryError):
        rx.set_filters(Huge())
    rx.clear_filters()
    tx.send_frame(0x555, False, False, 0, b"", 1000)
    assert receive(rx)[1] == 0x555


def test_injected_frames_and_bit_timing_readback(pair, sim):
    tx, rx = pair
    assert sim.find(A).state()["bittiming"] == (500000, 875, 125, 0, 13, 2, 2, 6)
    sim.inject(
        [
            sim.Frame(0x321, b"\x09"),
            sim.Frame(0x1FFFFFFF, b"", extended=True),
            sim.Frame(0x322, bytes(range(8)), dlc=12),
        ],
        bitrate=500_000,
    )  # a length code above 8: 8 bytes
    assert receive(rx)[1:6] == (0x321, False, False, False, 1)
    assert receive(rx)[1:3] == (0x1FFFFFFF, True)
    assert receive(rx)[1:] == (0x322, False, False, False, 8, bytes(range(8)))
    assert receive(tx)[1] == 0x321


def test_bit_timing_refusals(pair, sim, open_devices):
    tx, _ = pair
    with pytest.raises(RuntimeError, match="^Classic CAN bitrate exceeds 1,000,000 bps$"):
        tx.set_bitrate(1_000_001, 875)
    with pytest.raises(RuntimeError, match="^CAN must be stopped before changing this setting$"):
        tx.set_bitrate(250_000, 875)
    tx.set_bus_state(False)
    tx.set_bitrate(250_000, 875)
    assert sim.find(A).state()["bittiming"][0] == 250_000


@both_paths
def test_configuration_change_while_running_restarts_the_data_path(pair, sim):
    tx, rx = pair
    tx.send_frame(0x10, False, False, 0, b"", 1000)
    wait_until(lambda: sim.find(B).state()["frames_received"] >= 1)
    rx.flush_tx_queue()  # stops the bus, detaches, flushes, restarts: the frame from before is not handed out
    assert sim.find(B).state()["bus_state"] == 0
    assert rx.receive_frame(100) is None
    tx.send_frame(0x11, False, False, 0, b"", 1000)
    assert receive(rx)[1] == 0x11
    assert rx.configure_modes(0x02, 0x02) & 0x02  # listen-only
    with pytest.raises(RuntimeError):
        rx.send_frame(0x12, False, False, 0, b"", 100)
    tx.send_frame(0x13, False, False, 0, b"", 1000)
    assert receive(rx)[1] == 0x13
    assert rx.configure_modes(0x02, 0x02) & 0x02  # unchanged: nothing sent, nothing restarted


def test_mode_refusals(pair, sim):
    tx, _ = pair
    with pytest.raises(ValueError, match="^CAN FD transport is not supported$"):
        tx.set_mode(0x20)
    with pytest.raises(ValueError, match="^Only named Classic CAN modes can be changed$"):
        tx.configure_modes(0x20, 0x20)
    with pytest.raises(ValueError, match="^Only named Classic CAN modes can be changed$"):
        tx.configure_modes(0x01, 0x02)
    sim.find(A).set_profile(ctrlmode_supported=0x01)
    assert tx.get_device_capabilities()["ctrlmode_supported"] == 0x5F  # cached at open


def test_confirmation_switch_needs_a_stopped_bus(pair):
    tx, _ = pair
    with pytest.raises(RuntimeError, match="^Configure confirmation while CAN is stopped$"):
        tx.configure_confirmation(True)
    tx.set_bus_state(False)
    tx.configure_confirmation(True)
    assert tx.confirmation_info()["enabled"] is True


@both_paths
def test_unplug_while_streaming_ends_the_receiver(pair, sim):
    tx, rx = pair
    tx.send_frame(0x1, False, False, 0, b"", 1000)
    wait_until(lambda: sim.find(B).state()["frames_received"] >= 1)
    sim.unplug(B)
    assert receive(rx)[1] == 0x1  # the queue is drained first
    with pytest.raises(RuntimeError) as e:
        rx.receive_frame(2000)
    assert str(e.value) == GONE


@both_paths
def test_a_write_the_adapter_never_accepts_is_cancelled_at_its_deadline(pair, sim):
    tx, rx = pair
    adapter = sim.find(A)
    adapter.clear_records()
    adapter.add_fault(target="bulk_out", action="timeout")  # kernel path: pending until the host unlinks it
    with pytest.raises(TimeoutError, match="^TX result or submission timed out; delivery may be uncertain$"):
        tx.send_frame(0x10, False, False, 0, b"", 200)
    tx.send_frame(0x11, False, False, 0, b"", 1000)
    assert receive(rx)[1] == 0x11
    assert [r[4:8] for r in adapter.received_bulk_out()] == [struct.pack("<I", 0x11)]


STALL_WARNINGS = {
    0x81: "Bulk IN pipe stall — calling clear_halt(EP_BULK_IN)",
    0x02: "Bulk OUT pipe stall — calling clear_halt(EP_BULK_OUT)",
    0x83: "TX result pipe stall — calling clear_halt(EP_TX_RESULT_IN)",
}


@both_paths
@pytest.mark.parametrize(
    "endpoint, at_open",
    [(0x81, False), (0x02, False), (0x83, False), (0x81, True)],
    ids=["rx", "tx", "tx-results", "rx-at-open"],
)
def test_a_stalled_endpoint_is_cleared_and_traffic_goes_on(sim, open_devices, caplog, endpoint, at_open):
    tx, rx = start_pair(sim, open_devices, confirm_first=endpoint == 0x83)
    adapter = sim.find(B if endpoint == 0x81 else A)
    stalls = 2 if endpoint == 0x02 else 1
    adapter.add_fault(
        target="bulk_out" if endpoint == 0x02 else "bulk_in", action="stall", endpoint=endpoint, count=stalls
    )

    def reopen(serial):
        dev = open_devices(serial)
        dev.set_bitrate(500_000, 875)
        dev.set_bus_state(True)
        return dev

    if at_open:  # while the open drains stale receive data
        rx.close()
        rx = reopen(B)
    if endpoint == 0x02:  # the stalled writes fail; the ones after them go through, also after a close
        for _ in range(stalls):
            with pytest.raises(RuntimeError, match="^USB error: endpoint stall$"):
                tx.send_frame(0x20, False, False, 0, b"", 1000)
        tx.close()  # the second stall came too soon after the first for a clear: the close clears it
        tx = reopen(A)
    if endpoint == 0x83:  # the verdict comes after the stall, and so do the next ones
        assert [tx.submit_frame(i, False, False, 0, b"", 1000).wait(5000)["status"] for i in (0x21, 0x22)] == [
            "success",
            "success",
        ]
        assert [receive(rx)[1] for _ in range(2)] == [0x21, 0x22]
    else:
        tx.send_frame(0x21, False, False, 0, b"", 1000)
        assert receive(rx)[1] == 0x21
    assert adapter.halt_clears(endpoint) == stalls
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING] == [STALL_WARNINGS[endpoint]]


def test_overruns_are_counted(sim, open_devices):
    sim.plug(B)
    rx = open_devices(B)
    rx.set_bitrate(1_000_000, 875)
    rx.set_bus_state(True)
    # At line rate the adapter keeps up and the host queue (20000 frames) overflows while nobody receives.
    sim.start_stream(sim.Frame(0x7, b"\x01"), bitrate=1_000_000, count=22_000)
    assert wait_until(lambda: rx.dropped_frame_count() >= 1_000, timeout=60)
    sim.stop_stream()
    dropped = rx.dropped_frame_count()
    got = 0
    while rx.receive_frame(0) is not None:
        got += 1
    assert got >= 20_000  # a full queue, plus what the adapter still held when the stream stopped
    rx.close()
    assert rx.dropped_frame_count() >= dropped


def test_concurrent_senders_receivers_and_reconfiguration(pair):
    tx, rx = pair
    stop = threading.Event()
    errors = []
    received = [0]

    def sender():
        while not stop.is_set():
            try:
                tx.send_frame(0x200, False, False, 1, b"\x01", 100)
            except (RuntimeError, TimeoutError) as e:
                if "Device is closed" in str(e):
                    return
            except Exception as e:  # noqa: BLE001 - anything else is a defect
                errors.append(e)
                return

    def receiver():
        while not stop.is_set():
            try:
                if rx.receive_frame(50) is not None:
                    received[0] += 1
            except RuntimeError as e:
                if "Device is closed" in str(e):
                    return
                errors.append(e)
                return

    threads = [threading.Thread(target=sender) for _ in range(2)] + [
        threading.Thread(target=receiver) for _ in range(3)
    ]
    for t in threads:
        t.start()
    for _ in range(5):
        rx.reset_can()
        tx.flush_tx_queue()
        rx.get_bus_state()
    stop.set()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert received[0] > 0


def test_workers_carry_their_names_and_end_with_the_session(pair):
    tx, rx = pair
    names = thread_names()
    assert names.count("tavro-rx") >= 2
    assert names.count("tavro-tx-result") >= 2  # the kernel keeps 15 characters of "tavro-tx-results"
    tx.close()
    rx.close()
    assert wait_until(lambda: "tavro-rx" not in thread_names())


def test_error_states_follow_injected_error_frames(pair, sim):
    tx, rx = pair
    sim.inject_error(2, sim.find(B))
    frame = receive(rx)
    assert frame[4] is True  # error frame
    state, rec, tec = rx.get_bus_state()
    assert state == 2 and tec >= 128
    sim.inject_error(3, sim.find(B))
    assert wait_until(lambda: rx.get_bus_state()[0] == 3)
    errors = []
    while (f := rx.receive_frame(100)) is not None:
        errors.append(f)
    assert any(f[4] and f[1] & 0x40 for f in errors)  # the bus-off error frame
