"""The python-can plugin and the command-line tool, against two simulated adapters."""

import json
import logging
import re
import struct
import types

import can
import pytest

from conftest import A, B, GONE, GONE_CODE, run_python, wait_until

SIM_ENV = {"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": A + "," + B}


def drain(bus, timeout=0.3):
    got = []
    while (msg := bus.recv(timeout)) is not None:
        got.append(msg)
    return got


@pytest.fixture
def two(sim, tavro_interface):
    sim.plug(A)
    sim.plug(B)
    with can.Bus(interface="tavro", channel=A) as tx, can.Bus(interface="tavro", channel=B) as rx:
        yield tx, rx


def test_bus_roundtrip_filters_and_shutdown(sim, tavro_interface, caplog):
    caplog.set_level(logging.WARNING, logger="can.bus")
    sim.plug(A)
    sim.plug(B)
    with (
        can.Bus(interface="tavro", channel=A, bitrate=250_000) as tx,
        can.Bus(
            interface="tavro",
            channel=B,
            bitrate=250_000,
            can_filters=[{"can_id": 0x100, "can_mask": 0x7FF, "extended": False}],
        ) as rx,
    ):
        assert sim.find(A).state()["bittiming"][0] == 250_000
        tx.send(can.Message(arbitration_id=0x101, data=b"\x01", is_extended_id=False))
        tx.send(can.Message(arbitration_id=0x100, data=b"\x02\x03", is_extended_id=False), timeout=0)
        msg = rx.recv(timeout=2)
        assert (msg.arbitration_id, bytes(msg.data), msg.is_extended_id, msg.dlc) == (0x100, b"\x02\x03", False, 2)
        assert msg.channel == B and rx.channel_info == "TAVRO " + B
        assert rx.recv(timeout=0.1) is None
        rx.set_filters(None)
        caplog.set_level(rx.RECV_LOGGING_LEVEL, logger="can.bus")  # after a message received with it off
        tx.send(can.Message(arbitration_id=0x1ABCDE, is_extended_id=True, is_remote_frame=True, dlc=3))
        msg = rx.recv(timeout=2)
        assert (msg.arbitration_id, msg.is_remote_frame, msg.dlc, bytes(msg.data)) == (0x1ABCDE, True, 3, b"")
        assert [r.getMessage() for r in caplog.records if r.name == "can.bus"] == [f"Received: {msg}"]
        refused = [
            can.Message(arbitration_id=0x800, is_extended_id=False),
            can.Message(arbitration_id=0x1, is_fd=True, data=bytes(12)),
            can.Message(arbitration_id=0x1, is_error_frame=True),
        ]
        for bad in refused:
            with pytest.raises(can.CanOperationError):
                tx.send(bad)
        assert rx.recv(timeout=0.2) is None  # nothing of them reached the bus
        with pytest.raises(NotImplementedError):
            rx.fileno()
    # shutdown closed both adapters: they can be opened again
    with can.Bus(interface="tavro", channel=A) as again:
        assert again.channel_info == "TAVRO " + A


@pytest.mark.parametrize("own", [False, True], ids=["plain", "receive_own_messages"])
def test_an_unplugged_adapter_is_one_recognisable_error(sim, tavro_interface, own):
    from tavro_can.bus import TavroOperationError

    a = sim.plug(A)
    with can.Bus(interface="tavro", channel=A, receive_own_messages=own) as bus:
        a.unplug()
        for name, call in {
            "send": lambda: bus.send(can.Message(arbitration_id=0x1, is_extended_id=False), 2),
            "recv": lambda: bus.recv(5),
            "state": lambda: bus.state,
        }.items():
            with pytest.raises(TavroOperationError) as e:
                call()
            assert (str(e.value), e.value.error_code) == (f"{GONE} [Error Code {GONE_CODE}]", GONE_CODE), name


MESSAGES = {
    "standard": can.Message(arbitration_id=0x12, data=[4, 5, 6], is_extended_id=False),
    "extended": can.Message(arbitration_id=0x1FFFFFFF, data=range(8), is_extended_id=True),
    "remote": can.Message(arbitration_id=0x7FF, is_remote_frame=True, dlc=5, is_extended_id=False),
    "remote_extended": can.Message(arbitration_id=0x1ABCDE, is_remote_frame=True, dlc=0, is_extended_id=True),
    "empty": can.Message(arbitration_id=0x0, data=b"", is_extended_id=False),
}


@pytest.mark.parametrize("name", MESSAGES)
def test_message_travels_both_ways(two, name):
    import time

    msg = MESSAGES[name]
    for sender, receiver in (two, two[::-1]):
        before = time.time()
        sender.send(msg)
        got = receiver.recv(2)
        assert got is not None and got.is_rx
        assert got.channel == receiver.channel_info.split()[-1]
        assert msg.equals(got, timestamp_delta=None, check_channel=False, check_direction=False)
        # absolute host time, sub-second resolution
        assert before - 0.5 < got.timestamp < time.time() + 0.5 and got.timestamp % 1 != 0


def test_multiple_shutdown(two, monkeypatch):
    # python-can's interface contract: every shutdown() calls BusABC.shutdown() once, also on an instance whose
    # __init__ did not complete.
    from tavro_can.bus import TavroBus

    calls = []
    monkeypatch.setattr(can.BusABC, "shutdown", lambda self: calls.append(self))
    unopened = TavroBus.__new__(TavroBus)
    for bus in (two[0], two[0], unopened):
        bus.shutdown()
    assert calls == [two[0], two[0], unopened]


def test_recv_keeps_busabc_semantics(two):
    tx, rx = two
    assert rx.recv(0) is None and rx.recv(-1) is None and rx.recv(0.05) is None
    tx.send(can.Message(arbitration_id=0x7, is_extended_id=False))
    assert wait_until(lambda: rx._recv_internal(0.1)[0])  # (message, already filtered)
    assert rx._recv_internal(0) == (None, True)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"channel": "tav.io:CANH0009"}, r"Device not found: no TAVRO adapter with serial 'tav.io:CANH0009'"),
        ({"device_name": "nobody"}, r"Device not found: no TAVRO adapter named 'nobody'"),
        ({}, r"^2 adapters found: tav.io:CANH0001, tav.io:CANI0002; pass channel=<serial>"),
        ({"channel": A, "bitrate": 2_000_000}, "bitrate 2000000 is outside"),
        ({"channel": A, "bitrate": -1}, "bitrate -1 is outside"),
        ({"channel": A, "bitrate": None}, "bitrate must be an int"),
        (
            {"channel": A, "bitrate": 1000},
            "^Invalid bit timing parameters: no timing for 1000 bit/s at 87.5 % from the adapter's 48000000 Hz clock$",
        ),
        ({"channel": A, "sample_point": 150}, "sample_point 150 is outside"),
        ({"channel": A, "sample_point": 0}, "sample_point 0 is outside"),
        ({"channel": A, "fd": True}, "classic CAN only"),
        (
            {
                "channel": A,
                "timing": can.BitTimingFd.from_sample_point(
                    f_clock=80_000_000,
                    nom_bitrate=500_000,
                    nom_sample_point=80,
                    data_bitrate=2_000_000,
                    data_sample_point=80,
                ),
            },
            "classic CAN only",
        ),
        (
            {"channel": A, "timing": can.BitTiming(f_clock=80_000_000, brp=10, tseg1=12, tseg2=3, sjw=1)},
            "the adapter's CAN clock is 48000000 Hz",
        ),
        (
            {"channel": A, "timing": can.BitTiming(f_clock=48_000_000, brp=2, tseg1=12, tseg2=3, sjw=1)},
            "tseg1 12 is outside the adapter's range 1..10",
        ),
        (
            {"channel": A, "timing": can.BitTiming(f_clock=48_000_000, brp=2, tseg1=8, tseg2=3, sjw=1, nof_samples=3)},
            "three times",
        ),
        (
            {"channel": A, "timing": can.BitTiming(f_clock=48_000_000, brp=1, tseg1=9, tseg2=2, sjw=1)},
            "exceeds 1,000,000",
        ),
        ({"channel": A, "can_filters": [{"can_id": 0x1}]}, "needs 'can_id' and 'can_mask'"),
        ({"channel": A, "can_filters": [{"can_id": -1, "can_mask": 0}]}, "can_id must be a non-negative int"),
        ({"channel": A, "receive_own_messages": True, "listen_only": True}, "not listen_only"),
    ],
)
def test_bus_initialisation_errors_release_the_adapter(sim, tavro_interface, kwargs, match):
    sim.plug(A, bt_const={"tseg1_max": 10}, ctrlmode_supported=0x5B)  # narrower limits, no triple sampling
    sim.plug(B)
    with pytest.raises(can.CanInitializationError, match=match) as info:
        can.Bus(interface="tavro", **kwargs)
    from tavro_can.bus import TavroInitializationError

    assert isinstance(info.value, TavroInitializationError)
    with can.Bus(interface="tavro", channel=A):  # released at once, not by the garbage collector
        pass


def test_timing_is_applied_as_given(sim, tavro_interface):
    sim.plug(A)
    timing = can.BitTiming.from_sample_point(f_clock=48_000_000, bitrate=250_000, sample_point=75)
    with can.Bus(interface="tavro", channel=A, timing=timing) as bus:
        bt = bus._dev.get_bittiming()
        assert (bt["bitrate"], bt["brp"], bt["phase_seg1"], bt["phase_seg2"], bt["sjw"]) == (
            250_000,
            timing.brp,
            timing.tseg1,
            timing.tseg2,
            timing.sjw,
        )
        # What reached the adapter: rate, sample point in tenths, tq in ns, no propagation segment, the segments.
        assert sim.find(A).state()["bittiming"] == (
            250_000,
            750,
            250,
            0,
            timing.tseg1,
            timing.tseg2,
            timing.sjw,
            timing.brp,
        )


def test_listen_only_never_sticks_and_state_follows_the_adapter(sim, tavro_interface):
    sim.plug(A)
    sim.plug(B)
    with can.Bus(interface="tavro", channel=A, listen_only=True) as bus:
        assert bus.state == can.BusState.PASSIVE
        with pytest.raises(can.CanOperationError, match="listen-only"):
            bus.send(can.Message(arbitration_id=0x1, is_extended_id=False))
    with can.Bus(interface="tavro", channel=A) as tx, can.Bus(interface="tavro", channel=B) as rx:
        assert tx.state == can.BusState.ACTIVE
        tx.send(can.Message(arbitration_id=0x2, is_extended_id=False))
        assert rx.recv(2).arbitration_id == 0x2
        tx.state = can.BusState.PASSIVE
        assert tx.state == can.BusState.PASSIVE and tx._dev.get_mode() & 0x02
        with pytest.raises(can.CanOperationError, match="listen-only"):
            tx.send(can.Message(arbitration_id=0x3, is_extended_id=False))
        tx.state = can.BusState.ACTIVE
        tx.send(can.Message(arbitration_id=0x4, is_extended_id=False))
        assert rx.recv(2).arbitration_id == 0x4
        with pytest.raises(can.CanOperationError):
            tx.state = can.BusState.ERROR
        sim.inject_error(3, sim.find(B))
        assert wait_until(lambda: rx.state == can.BusState.ERROR)


def test_a_message_field_that_a_subclass_turns_into_a_property_is_set_through_it(two):
    tx, rx = two
    set_dlc = []

    class Traced(can.Message):
        __slots__ = ()
        dlc = property(lambda m: set_dlc[-1], lambda m, v: set_dlc.append(v))

    rx._dev._set_message_factory(Traced, B, 0.0)
    tx.send(can.Message(arbitration_id=0x7, data=b"\x01\x02\x03", is_extended_id=False))
    msg = rx.recv(2)
    assert (type(msg), msg.arbitration_id, bytes(msg.data), set_dlc) == (Traced, 0x7, b"\x01\x02\x03", [3])


FILTER_CASES = {
    "no filter": None,
    "wide mask, either format": [{"can_id": 0x123, "can_mask": 0xFFFFFFFF}],
    "standard": [{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}],
    "wide standard mask cut": [{"can_id": 0x123, "can_mask": 0xFFFF, "extended": False}],
    "bits above the id: nothing": [{"can_id": 0x923, "can_mask": 0xFFF, "extended": False}],
    "two": [{"can_id": 0x100, "can_mask": 0x700}, {"can_id": 0x1ABCDE, "can_mask": 0x1FFFFFFF, "extended": True}],
}
FILTER_FRAMES = [(0x123, False), (0x123, True), (0x1FF, False), (0x7FF, False), (0x1ABCDE, True), (0x923, True)]


@pytest.mark.parametrize("name", FILTER_CASES)
def test_filters_follow_python_cans_rule(two, name):
    tx, rx = two
    filters = FILTER_CASES[name]
    rx.set_filters(filters)
    sent = [can.Message(arbitration_id=i, is_extended_id=e, data=b"\x01") for i, e in FILTER_FRAMES]
    for msg in sent:
        tx.send(msg)
    expected = [
        (m.arbitration_id, m.is_extended_id)
        for m in sent
        if can.BusABC._matches_filters(types.SimpleNamespace(_filters=filters or None), m)
    ]
    assert [(m.arbitration_id, m.is_extended_id) for m in drain(rx)] == expected
    with pytest.raises(can.CanOperationError, match="can_mask must be"):
        rx.set_filters([{"can_id": 1, "can_mask": "x"}])


def rx_record(can_id, ts, flags=0):
    return struct.pack("<BBBBI8sQ", 0, 1, flags, 0, can_id, b"\x01".ljust(8, b"\0"), ts)


def test_timestamps_are_anchored_at_bus_start_and_unwrapped(sim, tavro_interface):
    import time

    a = sim.plug(A)
    sim.plug(B)
    a.add_fault("CanBittiming", "delay", delay_ms=500)  # configuration time before the bus starts
    with can.Bus(interface="tavro", channel=A) as rx, can.Bus(interface="tavro", channel=B) as tx:
        tx.send(can.Message(arbitration_id=0x5, is_extended_id=False))
        got = rx.recv(2)
        assert got.timestamp <= time.time() + 0.2  # not ahead by the configuration time
        wrap = 1 << 32
        a.preload_rx(rx_record(0x10, wrap - 1000) + rx_record(0x11, 500, flags=0x80) + rx_record(0x12, 400))
        t1, t2, t3 = (rx.recv(2) for _ in range(3))
        assert round((t2.timestamp - t1.timestamp) * 1e6) == 1500  # across the adapter clock's wrap-around
        assert t3.timestamp == t2.timestamp  # never backwards
        assert t2.is_rx  # the host-only "own frame" bit is not taken from the wire


def test_receive_own_messages_in_order_with_received_frames(sim, tavro_interface):
    sim.plug(A)
    sim.plug(B)
    with (
        can.Bus(interface="tavro", channel=A, receive_own_messages=True) as own,
        can.Bus(interface="tavro", channel=B) as peer,
    ):
        own.send(can.Message(arbitration_id=0x100, is_extended_id=False), timeout=5)
        assert peer.recv(2).arbitration_id == 0x100
        peer.send(can.Message(arbitration_id=0x200, is_extended_id=False))
        own.send(can.Message(arbitration_id=0x300, is_extended_id=False))
        msgs = [own.recv(5) for _ in range(3)]
        assert [(m.arbitration_id, m.is_rx) for m in msgs if m] == [(0x100, False), (0x200, True), (0x300, False)]
        remote = peer.recv(5)
        assert remote.arbitration_id == 0x300
        # both adapters' clocks, zeroed at bus start: the echo carries the time the frame went on the wire
        assert abs(msgs[2].timestamp - remote.timestamp) < 0.01
        assert drain(own) == [] and drain(peer) == []
        sim.set_paused(True)  # the adapter holds whatever it is given
        for timeout in (0, 0.2):
            with pytest.raises(can.CanTimeoutError, match="withdrawn"):
                own.send(can.Message(arbitration_id=0x400, is_extended_id=False), timeout=timeout)
        sim.set_paused(False)
        assert drain(peer) == [] and own._dev.confirmation_info()["pending"] == 0  # a timed-out send never goes out
        own.state = can.BusState.ACTIVE
        with pytest.raises(can.CanOperationError, match="receive_own_messages"):
            own.state = can.BusState.PASSIVE


def test_native_periodic_tasks(two):
    from can.broadcastmanager import ThreadBasedCyclicSendTask

    tx, rx = two
    msg = can.Message(arbitration_id=0x321, data=b"\x01", is_extended_id=False)
    task = tx.send_periodic(msg, 0.01)
    assert isinstance(
        task, (can.LimitedDurationCyclicSendTaskABC, can.ModifiableCyclicTaskABC, can.RestartableCyclicTaskABC)
    )
    assert not isinstance(task, ThreadBasedCyclicSendTask)
    assert rx.recv(2).data == b"\x01"
    task.modify_data(can.Message(arbitration_id=0x321, data=b"\x02", is_extended_id=False))
    assert wait_until(lambda: (m := rx.recv(1)) is not None and m.data == b"\x02")
    task.stop()
    first_run = task.sent_frames
    assert first_run >= 2
    drain(rx)
    assert rx.recv(0.1) is None
    task.start()
    assert rx.recv(2).data == b"\x02"
    task.stop()
    assert task.sent_frames > first_run  # counted over every run of the task
    timed = tx.send_periodic(msg, 0.01, duration=0.05)
    assert wait_until(lambda: not tx._dev.is_periodic_alive(timed._task_id))
    with pytest.raises(can.CanOperationError):
        tx.send_periodic(can.Message(arbitration_id=0x1, is_error_frame=True), 0.01)
    thread_task = tx.send_periodic(msg, 0.01, modifier_callback=lambda m: None)
    assert isinstance(thread_task, ThreadBasedCyclicSendTask)


@pytest.mark.parametrize("end", ["return", "ctrl-c"])
def test_exit_with_periodic_tasks_and_reader_threads_is_quiet(end):
    # Nothing stopped, nothing shut down: the exit hooks take over. The adapters still go off the bus, and reader
    # threads blocked in recv (a Notifier, a protocol stack's reader) end without a word, as on any interface.
    r = run_python(
        """
        import atexit, os, signal, sys, threading, time
        import tavro_sim
        # Registered before the driver's own exit hook, so it runs after it.
        atexit.register(lambda: print(*(tavro_sim.find(s).bus_state for s in SERIALS)))
        import can
        bus = can.Bus(interface="tavro", channel="tav.io:CANH0001")
        peer = can.Bus(interface="tavro", channel="tav.io:CANI0002")
        bus.send_periodic(can.Message(arbitration_id=0x1, is_extended_id=False), 0.001)
        bus.send_periodic(can.Message(arbitration_id=0x2, is_extended_id=False), 0.001,
                          modifier_callback=lambda m: None)
        assert peer.recv(2) is not None
        can.Notifier(peer, [can.BufferedReader()])
        threading.Thread(target=lambda: [bus.recv() for _ in iter(int, 1)], daemon=True).start()
        if END == "ctrl-c":
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                time.sleep(60)
            except KeyboardInterrupt:
                pass
    """.replace("SERIALS", repr([A, B])).replace("END", repr(end)),
        env=SIM_ENV,
        ctrl_c=True,
    )
    assert r.returncode == 0, r.stderr
    assert "Error" not in r.stderr and "Traceback" not in r.stderr, r.stderr
    assert r.stdout.split() == ["4", "4"]  # both stopped


def test_ctrl_c_interrupts_recv_and_send():
    r = run_python(
        """
        import os, signal, threading, time
        import can, tavro_sim
        def interrupt_soon():
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        bus = can.Bus(interface="tavro", channel="tav.io:CANH0001")
        results = []
        for call in (lambda: bus.recv(60), lambda: bus.recv(None)):
            interrupt_soon()
            start = time.monotonic()
            try:
                call()
            except KeyboardInterrupt:
                results.append(time.monotonic() - start)
        tavro_sim.set_paused(True)  # nothing goes on the wire: the adapter's queue fills, then a send blocks
        sent = 0
        try:
            while True:
                if sent == 30:
                    interrupt_soon()
                    start = time.monotonic()
                bus.send(can.Message(arbitration_id=0x1, is_extended_id=False), timeout=None)
                sent += 1
        except KeyboardInterrupt:
            results.append(time.monotonic() - start)
        bus.shutdown()
        print(len(results), max(results))
    """,
        env={"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": A},
        ctrl_c=True,
    )
    assert r.returncode == 0, r.stderr
    count, longest = r.stdout.split()
    assert count == "3" and float(longest) < 30  # well before the 60 s time-out; the send had none


def test_can_logger_in_process_with_passive_state():
    r = run_python(
        """
        import os, signal, sys, threading, time
        import can, can.logger, tavro_sim
        tavro_sim.set_ack_peer(True)  # the logging adapter is passive and does not acknowledge
        out = sys.argv[0] + ".log" if sys.argv[0] != "-c" else "/tmp/tavro-logger-%d.log" % os.getpid()
        sender = can.Bus(interface="tavro", channel="tav.io:CANH0001")
        def send_then_interrupt():
            time.sleep(1.0)
            for i in range(3):
                sender.send(can.Message(arbitration_id=0x100 + i, data=b"\\x01", is_extended_id=False))
            time.sleep(1.0)
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=send_then_interrupt).start()
        sys.argv = ["can.logger", "-i", "tavro", "-c", "tav.io:CANI0002", "--passive", "-f", out]
        can.logger.main()
        sender.shutdown()
        print(open(out).read())
        os.remove(out)
    """,
        env=SIM_ENV,
        ctrl_c=True,
    )
    assert r.returncode == 0, r.stderr
    lines = [line for line in r.stdout.splitlines() if "#" in line]
    assert [line.split()[2] for line in lines] == ["100#01", "101#01", "102#01"], lines
    assert all(line.split()[1] == B for line in lines)


def test_detect_available_configs(sim, tavro_interface):
    from tavro_can.bus import TavroBus

    sim.plug(A)
    sim.plug(B)
    assert TavroBus._detect_available_configs() == [
        {"interface": "tavro", "channel": A},
        {"interface": "tavro", "channel": B},
    ]


def test_cli_list_info_and_send():
    r = run_python(
        """
        import sys
        import tavro_pythoncan_ext as m
        from tavro_can.cli import main
        assert main(["list"]) == 0
        assert main(["list", "--json"]) == 0
        assert main(["info", "-s", "tav.io:CANI0002"]) == 0
        assert main(["info", "-s", "tav.io:CANI0002", "--json"]) == 0
        stuck = m.NativeTavroDevice("tav.io:CANH0001")
        stuck.configure_modes(2, 2)  # left listen-only by an earlier user
        stuck.close()
        assert main(["send", "-s", "tav.io:CANH0001", "123#0102", "1ABCDEF0#", "7FF#R2"]) == 0
        assert main(["info"]) == 1   # two adapters: the multiple-devices text on stderr
        for bad in ("12G#00", "800#", "123#0", "123#R9", "123#00112233445566778899", "123"):
            try:
                main(["send", bad])
            except SystemExit as e:
                assert e.code == 2
        import tavro_sim
        tavro_sim.reset()
        print("--- no adapters")
        assert [main(["list"]), main(["list", "--json"]), main(["info", "-s", "tav.io:CANI0002"])] == [3, 3, 3]
    """,
        env=SIM_ENV,
    )
    assert r.returncode == 0, r.stderr
    out, none = r.stdout.split("--- no adapters\n")
    out = out.splitlines()
    assert out[:2] == [A, B]
    assert json.loads(out[2]) == [A, B]
    # The text form: the values in one column after the labels, the bus state by name.
    info = out[out.index(next(line for line in out if line.startswith("serial:"))) : out.index("{")]
    assert [re.split(r":\s+", line, 1) for line in (info[0], info[3], info[-1])] == [
        ["serial", B],
        ["firmware", "2.1.0.7"],
        ["bus state", "stopped (rx errors 0, tx errors 0)"],
    ]
    assert len({len(line) - len(line.split(":", 1)[1].lstrip()) for line in info}) == 1
    assert none == "[]\n" and r.stderr.count("tavro-can: no TAVRO adapter found") == 2
    info = json.loads(r.stdout[r.stdout.index("{") : r.stdout.index("}\n") + 1])
    assert info["serial"] == B and info["capabilities"]["clock_freq"] == 48_000_000
    assert "Multiple devices found" in r.stderr
    for why in (
        "'12G' is not hexadecimal",
        "identifier 800 is above 7FF",
        "'0' is not hex byte pairs",
        "'9' is not a digit 0..8",
        "10 data bytes",
        "expected ID#DATA",
    ):
        assert why in r.stderr
    assert "_parse_frame" not in r.stderr


def test_cli_send_help_documents_the_frame_syntax():
    r = run_python(
        """
        from tavro_can.cli import main
        main(["send", "--help"])
    """,
        env=SIM_ENV,
    )
    assert "frame syntax" in r.stdout and "ID#Rn" in r.stdout


def test_cli_dump_prints_received_frames():
    r = run_python(
        """
        import threading, time
        import tavro_pythoncan_ext as m
        from tavro_can.cli import main
        result = {}
        t = threading.Thread(target=lambda: result.setdefault("rc", main(["dump", "-s", "tav.io:CANI0002", "-c", "2",
                                                                           "-t", "20"])))
        t.start()
        tx = m.NativeTavroDevice("tav.io:CANH0001")
        tx.set_bitrate(500000, 875)
        tx.set_bus_state(True)
        deadline = time.monotonic() + 20
        while t.is_alive() and time.monotonic() < deadline:
            tx.send_frame(0x123, False, False, 2, b"\\x01\\x02", 100)
            tx.send_frame(0x18DAF110, True, True, 3, b"", 100)
            time.sleep(0.05)
        t.join(5)
        tx.close()
        assert result.get("rc") == 0, result
    """,
        env=SIM_ENV,
    )
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2
    assert lines[0].endswith("123 [2] 01 02") or lines[0].endswith("18DAF110 [3] R3")


def test_demo_exchanges_and_filters_frames(sim, tavro_interface, capsys):
    """What the quick start's `bash scripts/demo.sh` shows."""
    from tavro_can import demo

    sim.plug(A)
    sim.plug(B)
    assert demo.main() == 0
    out = re.sub(r"Timestamp: [\d.]+ +", "", capsys.readouterr().out)
    lines = [re.sub(r" +", " ", line) for line in out.splitlines()]
    assert lines[0] == "adapters found: 2"
    assert [line.split(": hardware ")[0] for line in lines[1:3]] == [f" {A}", f" {B}"]
    assert lines[4:] == [
        f"opening {A} and {B} at 500 kbit/s through python-can",
        f" sent 0x123 -> received ID: 123 S Rx DL: 2 01 02 Channel: {B}",
        f" sent 0x18daf110 -> received ID: 18daf110 X Rx DL: 8 00 01 02 03 04 05 06 07 Channel: {B}",
        f" sent 0x7ff -> received ID: 7ff S Rx R DL: 4 Channel: {B}",
        " with filter 0x200/0x7F0 the receiver kept ['0x205', '0x20f'] of 0x1f0, 0x205, 0x310, 0x20f",
        lines[-2],
        "closed both adapters; done",
    ]
    assert re.fullmatch(r" 7 frames in \d+\.\d ms", lines[-2])
