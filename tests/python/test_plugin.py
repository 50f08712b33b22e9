"""The python-can plugin and the command-line tool, against two simulated adapters."""
import can
import pytest

from conftest import run_python

A, B = "tav.io:CANH0001", "tav.io:CANI0002"


@pytest.fixture
def tavro_interface(monkeypatch):
    """Makes interface="tavro" resolvable also when the package is not installed (tests run from a build tree)."""
    import can.interfaces

    monkeypatch.setitem(can.interfaces.BACKENDS, "tavro", ("tavro_can.bus", "TavroBus"))
    monkeypatch.setattr(can.interfaces, "VALID_INTERFACES", can.interfaces.VALID_INTERFACES | {"tavro"})
    monkeypatch.setattr(can.util, "VALID_INTERFACES", can.interfaces.VALID_INTERFACES, raising=False)


def test_bus_roundtrip_filters_and_shutdown(sim, tavro_interface):
    sim.plug(A)
    sim.plug(B)
    with can.Bus(interface="tavro", channel=A, bitrate=250_000) as tx, \
            can.Bus(interface="tavro", channel=B, bitrate=250_000,
                    can_filters=[{"can_id": 0x100, "can_mask": 0x7FF, "extended": False}]) as rx:
        assert sim.find(A).state()["bittiming"][0] == 250_000
        tx.send(can.Message(arbitration_id=0x101, data=b"\x01", is_extended_id=False))
        tx.send(can.Message(arbitration_id=0x100, data=b"\x02\x03", is_extended_id=False))
        msg = rx.recv(timeout=2)
        assert (msg.arbitration_id, bytes(msg.data), msg.is_extended_id, msg.dlc) == (0x100, b"\x02\x03", False, 2)
        assert msg.channel == "TAVRO " + B
        assert rx.recv(timeout=0.1) is None
        rx.set_filters(None)
        tx.send(can.Message(arbitration_id=0x1ABCDE, is_extended_id=True, is_remote_frame=True, dlc=3))
        msg = rx.recv(timeout=2)
        assert (msg.arbitration_id, msg.is_remote_frame, msg.dlc, bytes(msg.data)) == (0x1ABCDE, True, 3, b"")
        with pytest.raises(can.CanOperationError):
            tx.send(can.Message(arbitration_id=0x800, is_extended_id=False))
        with pytest.raises(can.CanOperationError):
            tx.send(can.Message(arbitration_id=0x1, is_fd=True, data=bytes(12)))
    # shutdown closed both adapters: they can be opened again
    with can.Bus(interface="tavro", channel=A) as again:
        assert again.channel_info == "TAVRO " + A


def test_bus_initialisation_errors(sim, tavro_interface):
    with pytest.raises(can.CanInitializationError, match="Device not found"):
        can.Bus(interface="tavro", channel=A)
    sim.plug(A)
    with pytest.raises(can.CanInitializationError, match="exceeds"):
        can.Bus(interface="tavro", channel=A, bitrate=2_000_000)
    with can.Bus(interface="tavro", channel=A, listen_only=True) as bus:
        assert bus.state == can.BusState.PASSIVE
        with pytest.raises(can.CanOperationError):
            bus.send(can.Message(arbitration_id=0x1, is_extended_id=False))


def test_detect_available_configs(sim, tavro_interface):
    from tavro_can.bus import TavroBus

    sim.plug(A)
    sim.plug(B)
    assert TavroBus._detect_available_configs() == [{"interface": "tavro", "channel": A},
                                                   {"interface": "tavro", "channel": B}]


def test_cli_list_info_and_send():
    env = {"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": A + "," + B}
    r = run_python("""
        import sys
        from tavro_can.cli import main
        assert main(["list"]) == 0
        assert main(["info", "-s", "tav.io:CANI0002"]) == 0
        assert main(["send", "-s", "tav.io:CANH0001", "123#0102", "1ABCDEF0#", "7FF#R2"]) == 0
        assert main(["info"]) == 1   # two adapters: the multiple-devices text on stderr
    """, env=env)
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert out[:2] == [A, B]
    assert "serial:       tav.io:CANI0002" in out
    assert "firmware:     2.1.0.7" in out
    assert "Multiple devices found" in r.stderr


def test_cli_dump_prints_received_frames():
    env = {"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": A + "," + B}
    r = run_python("""
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
    """, env=env)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2
    assert lines[0].endswith("123 [2] 01 02") or lines[0].endswith("18DAF110 [3] R3")
