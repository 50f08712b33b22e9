"""Reports and status queries: library versions, the compatibility report, last error, diagnostics, statistics,
temperatures and the bit timing readbacks, with their key order, the closed handle and the adapter's failures."""

import platform
import struct

import pytest

from conftest import requests_of, wait_until

SERIAL = "tav.io:CANH0001"
QUERIES = [
    "compatibility_report",
    "get_last_error",
    "get_diagnostics",
    "get_statistics",
    "get_temperatures",
    "get_bittiming",
    "get_bittiming_snapshot",
    "get_bittiming_limits",
]
LAST_ERROR = [
    "format",
    "code",
    "lec",
    "raw_errsr",
    "tx_error_count",
    "rx_error_count",
    "name",
    "historical",
    "per_frame",
]
TIMING = ["bitrate", "sample_point", "tq", "prop_seg", "phase_seg1", "phase_seg2", "sjw", "brp"]
DERIVED = ["brp", "tseg1", "tseg2", "sjw", "bitrate_hz", "sample_point_percent", "tq_ns"]


@pytest.fixture
def adapter(sim):
    return sim.plug(SERIAL)


@pytest.fixture
def dev(adapter, open_devices):
    d = open_devices()
    adapter.clear_records()
    return d


def test_library_versions(ext, adapter, dev):
    v = ext.library_versions()
    assert list(v) == [
        "schema_version",
        "product_version",
        "api_version",
        "policy_revision",
        "compatibility_enforcement",
        "implemented_features",
        "frame_models",
        "transport_protocols",
        "source_revision",
        "release_identity",
        "release_channel",
        "target",
        "adapter_version",
        "dependency_revision",
    ]
    assert (v["schema_version"], v["policy_revision"], v["product_version"], v["adapter_version"]) == (
        1,
        2,
        "1.4.0",
        "0.2.1",
    )
    assert list(v["api_version"].items()) == [("major", 1), ("minor", 5), ("patch", 0)]
    assert "can_fd" not in v["implemented_features"] and len(v["implemented_features"]) == 11
    assert v["frame_models"] == ["classic_can", "can_fd"]
    rev = v["source_revision"]
    assert len(rev) == 40 and set(rev) <= set("0123456789abcdef") and v["dependency_revision"] == rev
    assert v["release_identity"] == "1.4.0+dev." + rev
    if platform.system() == "Linux" and platform.machine() in ("x86_64", "aarch64"):
        assert v["target"] == platform.machine() + "-unknown-linux-gnu"  # the build's own target
    assert ext.library_versions.__text_signature__ == "()"
    for name in QUERIES + ["library_versions"]:
        assert getattr(ext.NativeTavroDevice, name).__text_signature__ == "($self)", name
    # The method is the same report; it touches no adapter and works on a closed handle.
    assert dev.library_versions() == v
    assert adapter.received_requests() == []
    dev.close()
    assert dev.library_versions() == v
    for name in QUERIES:
        with pytest.raises(RuntimeError, match="^Device is closed$"):
            getattr(dev, name)()


def test_compatibility_report(adapter, dev):
    r = dev.compatibility_report()
    assert list(r) == [
        "schema_version",
        "policy_revision",
        "enforcement",
        "assessment",
        "reason",
        "qualified",
        "protocol",
        "default_tx_path",
        "hardware_id",
        "hardware_version",
        "firmware_version",
        "bootloader_version",
        "min_host_api_version",
        "minimum_host_status",
        "channel_count",
        "clock_freq",
        "features_supported",
        "ctrlmode_supported",
        "features",
    ]
    p = adapter.profile()
    assert (r["assessment"], r["reason"], r["qualified"]) == ("unknown", "legacy_protocol_not_qualified", False)
    assert r["firmware_version"] == list(p["firmware_version"]) and r["hardware_id"] == p["hardware_id"]
    assert (r["clock_freq"], r["features_supported"]) == (p["clock_hz"], p["features_supported"])
    assert [f["id"] for f in r["features"]] == list(range(1, 14))
    assert list(r["features"][6].items()) == [
        ("id", 7),
        ("feature", "statistics64"),
        ("device", "not_required"),
        ("library_implemented", True),
        ("readiness", "available"),
    ]
    dev.compatibility_report()
    assert requests_of(adapter) == [("in", "GetDeviceInfo")] * 2  # read afresh each time

    # Channel count 0 is a verdict, not an error.
    info = bytes([1, 0, 0, 0, 1, 4, 0, 12, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]) + struct.pack("<I", 7)
    adapter.add_fault("GetDeviceInfo", "reply", direction="in", payload=info)
    r = dev.compatibility_report()
    assert (r["assessment"], r["reason"], r["channel_count"]) == ("incompatible", "invalid_device_info", 0)
    assert r["minimum_host_status"] == "unspecified"
    adapter.add_fault("GetDeviceInfo", "short_reply", length=23)
    with pytest.raises(RuntimeError, match="^Communication error: Invalid device info response$"):
        dev.compatibility_report()


def test_last_error_and_diagnostics(adapter, dev, sim):
    adapter.add_fault("GetLastError", "reply", direction="in", payload=struct.pack("<II", 7, 0x12340000))
    e = dev.get_last_error()
    assert list(e.items()) == [
        ("format", "bxcan"),
        ("code", 7),
        ("lec", 7),
        ("raw_errsr", 0x12340000),
        ("tx_error_count", 0x34),
        ("rx_error_count", 0x12),
        ("name", "software_set"),
        ("historical", True),
        ("per_frame", False),
    ]

    dev.set_bus_state(True)
    sim.inject_error(1, adapter)
    d = wait_until(lambda: (lambda x: x if x["bus_state"] == 1 else None)(dev.get_diagnostics()))
    assert d, "the adapter never reported error-warning"
    assert list(d) == [
        "bus_state",
        "rx_error_count",
        "tx_error_count",
        "bus_off_count",
        "last_error_code",
        "last_error",
        "host_rx_drops",
    ]
    assert list(d["last_error"]) == LAST_ERROR
    assert d["last_error"]["rx_error_count"] == min(d["rx_error_count"], 255)
    assert d["host_rx_drops"] == dev.dropped_frame_count()
    adapter.add_fault("GetLastError", "stall", count=2)  # the bus status was read, still the call fails
    with pytest.raises(RuntimeError, match="^USB error: endpoint stall$"):
        dev.get_diagnostics()


def test_legacy_firmware(sim, open_devices):
    a = sim.plug(SERIAL, legacy=True)
    dev = open_devices()
    a.set_last_error(6)  # bxCAN crc, which early firmware reports under its own number
    a.clear_records()
    assert dev.get_temperatures() is None  # neither feature is advertised: nothing is asked
    assert dev.get_bittiming_snapshot() is None
    assert a.received_requests() == []
    e = dev.get_last_error()
    assert list(e) == [
        "format",
        "code",
        "error_type",
        "error_location",
        "tx_error_count",
        "rx_error_count",
        "name",
        "historical",
        "per_frame",
    ]
    assert (e["format"], e["code"], e["error_type"], e["name"]) == ("legacy", 5, 5, "crc")
    assert [r["length"] for r in a.received_requests()] == [8, 4]  # stalled, then the legacy length


def test_statistics_sum_lifetime_and_session_counters(adapter, dev, sim):
    s = dev.get_statistics()
    assert list(s.items()) == [
        ("rx_frames", 0),
        ("tx_frames", 0),
        ("rx_data", 0),
        ("tx_data", 0),
        ("overruns", 0),
        ("bus_warnings", 0),
        ("bus_offs", 0),
        ("rx_stream_drops", 0),
        ("scope", "host_since_open"),
        ("tx_semantics", "usb_submitted"),
        ("rx_semantics", "dequeued_before_adapter_filter"),
        ("bus_event_semantics", "controller_error_frames"),
    ]
    assert requests_of(adapter) == []
    dev.set_bus_state(True)
    dev.send_frame(0x123, False, False, 3, b"abc", 1000)
    sim.inject(sim.Frame(0x42, b"\x01\x02\x03\x04\x05"))
    assert dev.receive_frame(2000)[1] == 0x42
    counts = ("tx_frames", "tx_data", "rx_frames", "rx_data")
    assert wait_until(lambda: [dev.get_statistics()[k] for k in counts] == [1, 3, 1, 5])
    dev.set_bus_state(False)  # the ended session's counts move into the lifetime counters
    assert [dev.get_statistics()[k] for k in counts] == [1, 3, 1, 5]


def test_temperatures(sim, open_devices):
    a = sim.plug(SERIAL, temperatures=(0xFFFFFFFF, 356, 0x80000000, 1), temperature_sensors=0)
    dev = open_devices()
    # Passed through: no scaling, no sign extension, the mask not applied.
    assert list(dev.get_temperatures().items()) == [
        ("temp_mask", 0),
        ("soc_temp", 0xFFFFFFFF),
        ("device_temp", 356),
        ("aux1_temp", 0x80000000),
        ("aux2_temp", 1),
    ]
    a.add_fault("GetTemperatures", "short_reply", length=19)
    with pytest.raises(RuntimeError, match="^Communication error: Invalid temperatures response$"):
        dev.get_temperatures()


def test_bittiming_and_limits(adapter, dev):
    dev.set_bitrate(250_000, 875)
    t = dev.get_bittiming()
    assert list(t) == TIMING and tuple(t.values()) == tuple(adapter.state()["bittiming"])
    adapter.clear_records()
    lim = dev.get_bittiming_limits()
    assert list(lim) == [
        "name",
        "clock_freq",
        "tseg1_min",
        "tseg1_max",
        "tseg2_min",
        "tseg2_max",
        "sjw_max",
        "brp_min",
        "brp_max",
        "brp_inc",
    ]
    bt = adapter.profile()["bt_const"]
    assert (lim["name"], lim["clock_freq"]) == ("bxCAN", adapter.profile()["clock_hz"])
    assert all(lim[k] == bt[k] for k in list(lim)[2:])
    assert adapter.received_requests() == []  # answered from what was read at open


def test_bittiming_snapshot(adapter, dev):
    s = dev.get_bittiming_snapshot()
    assert list(s) == [
        "configured",
        "configured_state",
        "configured_parameters",
        "programmed",
        "clock_freq",
        "bus_state",
        "peripheral_state",
        "timing_matches",
        "metadata_consistent",
        "validation_error",
        "listen_only",
        "loopback",
        "raw",
    ]
    assert (list(s["configured"]), list(s["programmed"]), list(s["configured_parameters"])) == (
        TIMING,
        DERIVED,
        DERIVED,
    )
    assert list(s["raw"]) == ["btimr", "ctlr", "statr", "errsr", "bus_state"]
    assert (s["configured_state"], s["peripheral_state"], s["timing_matches"]) == ("valid", "inactive", None)
    assert s["metadata_consistent"] is True and s["validation_error"] is None
    reqs = [(r["request"], r["value"], r["length"]) for r in adapter.received_requests()]
    assert reqs == [(1, 0, 24), (20, 1, 56)]  # fresh capabilities first
    dev.set_bus_state(True)
    s = dev.get_bittiming_snapshot()
    assert (s["peripheral_state"], s["timing_matches"]) == ("running", True)
    assert s["programmed"] == s["configured_parameters"]

    record = struct.pack("<8I", 500000, 875, 125, 1, 12, 2, 3, 2)  # SJW 3 exceeds phase segment 2
    words = struct.pack("<6I", 16_000_000, 0xC0000000, 0, 0, 0, 0)
    adapter.add_fault("CanBittiming", "reply", direction="in", value=1, payload=record + words)
    s = dev.get_bittiming_snapshot()
    assert (s["configured_state"], s["configured_parameters"], s["metadata_consistent"]) == ("invalid", None, None)
    assert s["validation_error"] == "Invalid parameter: configured CAN timing is outside the supported limits"
    assert s["programmed"] == {
        "brp": 1,
        "tseg1": 1,
        "tseg2": 1,
        "sjw": 1,
        "bitrate_hz": 16_000_000 / 3,
        "sample_point_percent": 200 / 3,
        "tq_ns": 62.5,
    }
    assert s["listen_only"] is True and s["loopback"] is True
    # Advertised when the handle was opened, withdrawn by the firmware answering now: refused before asking.
    adapter.set_profile(features_supported=0x7D)
    adapter.clear_records()
    with pytest.raises(RuntimeError, match="^Not supported: active CAN timing readback unavailable; upgrade firmware$"):
        dev.get_bittiming_snapshot()
    assert requests_of(adapter) == [("in", "GetDeviceCapabilities")]
