"""The simulator's control API: plugging, profiles, state inspection, records and the bus, seen through the driver."""

import time

import pytest

import tavro_sim
from conftest import run_python


@pytest.fixture(autouse=True)
def fresh_sim():
    tavro_sim.reset()
    yield
    tavro_sim.reset()


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.005)
    raise AssertionError("condition not reached in time")


@pytest.mark.parametrize(
    "env, expected",
    [
        (None, ["tav.io:CANH0001"]),
        ("", []),
        (" tav.io:CANI0001 ,tav.io:CANJ0002,", ["tav.io:CANI0001", "tav.io:CANJ0002"]),
    ],
)
def test_adapters_plugged_from_the_environment(env, expected):
    code = """
        import os, tavro_sim
        print([a.serial for a in tavro_sim.adapters()])
    """
    proc_env = {"TAVRO_SIM_ADAPTERS": env} if env is not None else {}
    if env is None:
        code = "import os; os.environ.pop('TAVRO_SIM_ADAPTERS', None)\n" + code.replace("        ", "")
    r = run_python(code, env=proc_env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == repr(expected)


def test_plug_order_find_and_unplug(ext):
    a = tavro_sim.plug("tav.io:CANH0001")
    b = tavro_sim.plug("tav.io:CANI0002")
    c = tavro_sim.plug(has_serial=False)
    assert tavro_sim.adapters() == [a, b, c]
    assert c.serial is None
    assert ext.list_devices() == ["tav.io:CANH0001", "tav.io:CANI0002"]
    assert tavro_sim.find("tav.io:CANI0002") == b
    assert tavro_sim.unplug("tav.io:CANI0002") is True
    assert not b.plugged
    assert b.unplug() is False
    assert ext.list_devices() == ["tav.io:CANH0001"]
    with pytest.raises(ValueError):
        tavro_sim.find("tav.io:CANI0002")
    with pytest.raises(TypeError):
        tavro_sim.unplug(42)
    tavro_sim.reset()
    assert tavro_sim.adapters() == []
    assert not a.plugged


def test_plug_with_a_generated_serial_and_foreign_ids(ext):
    a = tavro_sim.plug()
    assert a.serial.startswith("tav.io:CANH")
    tavro_sim.plug("tav.io:CANH0077", vid=0x1234)
    assert ext.list_devices() == [a.serial]


def test_profile_fields_reach_the_driver(ext):
    a = tavro_sim.plug(
        "tav.io:CANH0001",
        firmware_version=(1, 4, 0, 12),
        hardware_id=0xCAFE,
        clock_hz=80_000_000,
        features_supported=0x25,
        device_name=b"bench",
        bt_const={"name": b"ABCDEFGHIJKLMNOP", "brp_max": 512},
    )
    assert a.firmware_version == (1, 4, 0, 12)
    assert a.profile()["bt_const"]["brp_max"] == 512
    d = ext.NativeTavroDevice("tav.io:CANH0001")
    try:
        assert d.get_device_info()[1] == "1.4.0.12"
        assert d.get_device_name() == "bench"
        caps = d.get_device_capabilities()
        assert caps["clock_freq"] == 80_000_000
        assert caps["features_supported"] == 0x25
    finally:
        d.close()
    a.features_supported = 0x05
    assert a.profile()["features_supported"] == 0x05


def test_bad_profile_arguments_raise():
    with pytest.raises(TypeError):
        tavro_sim.plug("x", no_such_field=1)
    with pytest.raises(ValueError):
        tavro_sim.plug("x", firmware_version=(1, 2, 3))
    with pytest.raises(ValueError):
        tavro_sim.plug("x", firmware_version=(1, 2, 3, 256))
    with pytest.raises(TypeError):
        tavro_sim.plug("x", clock_hz="fast")
    with pytest.raises(ValueError):
        tavro_sim.plug("x", device_name=b"seventeen-bytes!!")
    with pytest.raises(ValueError):
        tavro_sim.plug("x", last_error_format="other")
    with pytest.raises(ValueError):
        tavro_sim.plug("x", rx_packet_size=0)
    with pytest.raises(ValueError):
        tavro_sim.plug("x", bt_const={"tseg9": 1})
    assert tavro_sim.adapters() == []


def test_state_follows_the_driver(ext):
    a = tavro_sim.plug("tav.io:CANH0001")
    d = ext.NativeTavroDevice()
    try:
        assert a.bus_state == 4
        d.set_bitrate(250000, 875)
        assert a.bittiming[0] == 250000
        d.set_led_mode(2)
        assert a.led_mode == 2
        d.set_interface_name("can7")
        assert a.interface_name == "can7"
        d.set_bus_state(True)
        assert a.bus_state == 0
        assert a.state()["bus_running"]
        # A forced state is what the driver reads.
        a.set_bus_state_override(2)
        assert d.get_bus_state()[0] == 2
        a.set_bus_state_override(None)
        assert d.get_bus_state()[0] == 0
    finally:
        d.close()
    assert a.bus_state == 4


def test_records_show_what_reached_the_adapter(ext):
    a = tavro_sim.plug("tav.io:CANH0001")
    d = ext.NativeTavroDevice()
    try:
        first = a.received_requests()[0]
        assert first == {
            "direction": "in",
            "request_type": 0xC1,
            "request": 0,
            "value": 0,
            "index": 0,
            "length": 24,
            "data": b"",
            "reply": first["reply"],
            "status": "Completed",
        }
        assert len(first["reply"]) == 24
        a.clear_records()
        d.set_led_mode(1)
        out = a.received_requests()[0]
        assert (out["direction"], out["request"], out["data"]) == ("out", 24, b"\x01\x00\x00\x00")
        d.set_bitrate(500000, 875)
        d.set_bus_state(True)
        d.send_frame(0x123, False, False, 2, b"\xaa\xbb", 1000)
        records = a.received_bulk_out()
        assert records == [bytes([0, 2, 0, 0, 0x23, 0x01, 0, 0, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0])]
        log = wait_for(lambda: [w for w in tavro_sim.wire_log() if w["id"] == 0x123])
        assert log[0]["sender"] == a.node_id
        assert log[0]["data"] == b"\xaa\xbb"
    finally:
        d.close()
    a.clear_records()
    assert a.received_requests() == [] and a.received_bulk_out() == []


def test_injected_frames_are_received(ext):
    tavro_sim.plug("tav.io:CANH0001")
    tavro_sim.plug("tav.io:CANI0002", bus=1)
    d, elsewhere = ext.NativeTavroDevice("tav.io:CANH0001"), ext.NativeTavroDevice("tav.io:CANI0002")
    try:
        for dev in (d, elsewhere):
            dev.set_bitrate(500000, 875)
            dev.set_bus_state(True)
        tavro_sim.inject([tavro_sim.Frame(0x321, b"xyz"), (0x1ABCDE, b"", True, False, False, None)])
        got = [d.receive_frame(5000) for _ in range(2)]
        assert [f[1] for f in got] == [0x321, 0x1ABCDE]
        assert got[0][6][:3] == b"xyz"
        # A frame at another bit rate is not seen.
        tavro_sim.inject(tavro_sim.Frame(0x100), bitrate=125000)
        tavro_sim.inject(tavro_sim.Frame(0x101))
        assert d.receive_frame(5000)[1] == 0x101
        # Nor one on another bus: each bus reaches only its own adapters.
        tavro_sim.inject(tavro_sim.Frame(0x102), bus=1)
        tavro_sim.inject(tavro_sim.Frame(0x103))
        assert d.receive_frame(5000)[1] == 0x103
        assert elsewhere.receive_frame(5000)[1] == 0x102
    finally:
        d.close()
        elsewhere.close()


def test_bus_controls_validate_arguments():
    with pytest.raises(ValueError):
        tavro_sim.inject(tavro_sim.Frame(0x800))
    with pytest.raises(ValueError):
        tavro_sim.inject(tavro_sim.Frame(0x1, b"123456789"))
    with pytest.raises(ValueError):
        tavro_sim.inject_error(4)
    with pytest.raises(TypeError):
        tavro_sim.inject([object()])
    with pytest.raises(ValueError, match=r"^bus must be 0\.\.15$"):
        tavro_sim.start_stream(0x1, bus=16)
    t0 = tavro_sim.bus_time_us()
    assert wait_for(lambda: tavro_sim.bus_time_us() > t0)
