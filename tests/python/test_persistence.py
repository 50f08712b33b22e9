"""Settings persistence through the simulated adapter: the settings status, waiting for a save, its time-outs,
firmware without the status, and storing a device name with verification."""

import pytest

from conftest import requests_of, wait_until

SERIAL = "tav.io:CANH0001"


def status_requests(adapter):
    return requests_of(adapter).count(("in", "SettingsStatus"))


def test_status_and_wait_follow_a_save(dev_and_adapter):
    dev, a = dev_and_adapter
    a.settings_save_delay_ms = 1000
    assert dev.get_settings_status() == "idle"
    dev.set_device_name("bench1")
    assert dev.get_settings_status() == "pending"
    assert dev.wait_settings_saved(10_000) == "saved"
    assert status_requests(a) >= 3, "polled while pending"
    assert dev.get_settings_status() == "saved"
    dev.set_device_name("bench1")  # the same name again: nothing to store
    assert dev.wait_settings_saved(1000) == "unchanged"

    a.settings_final_status = 5
    dev.set_device_name("bench2")
    with pytest.raises(RuntimeError, match="^Hardware error: settings persistence failed: FlashError$"):
        dev.wait_settings_saved(5000)
    assert dev.get_settings_status() == "flash_error"
    assert a.state()["stored_name"].startswith(b"bench1\0")


def test_time_outs(dev_and_adapter):
    dev, a = dev_and_adapter
    a.settings_save_delay_ms = 60_000
    dev.set_device_name("slow")
    a.clear_records()
    with pytest.raises(TimeoutError, match="^Operation timed out$"):
        dev.wait_settings_saved(0)
    assert status_requests(a) == 0, "an expired deadline sends no status request"
    with pytest.raises(TimeoutError, match="^Operation timed out$"):
        dev.wait_settings_saved(200)
    assert status_requests(a) >= 2
    a.clear_records()
    with pytest.raises(TimeoutError, match="^Operation deadline expired$"):
        dev.set_device_name_and_wait("other", 0)
    assert requests_of(a) == []
    a.add_fault("Bus", "timeout", direction="in")
    with pytest.raises(TimeoutError, match="^Operation deadline expired$"):
        dev.set_device_name_and_wait("other", 200)  # the first read, cut short by the caller's deadline


def test_the_bus_must_be_stopped(dev_and_adapter):
    dev, a = dev_and_adapter
    dev.set_bus_state(True)
    a.clear_records()
    with pytest.raises(RuntimeError, match="^Settings save requires stopped CAN$"):
        dev.set_device_name_and_wait("bench3", 1000)
    with pytest.raises(RuntimeError, match="^Invalid parameter: settings save requires STOPPED$"):
        dev.wait_settings_saved(1000)
    assert ("out", "DeviceName") not in requests_of(a) and status_requests(a) == 0


def test_set_device_name_and_wait(dev_and_adapter):
    dev, a = dev_and_adapter
    assert dev.set_device_name_and_wait("bench4", 2000) == "saved"
    assert a.state()["stored_name"].startswith(b"bench4\0")
    sent = requests_of(a)
    positions = [
        sent.index(r) for r in (("in", "Bus"), ("out", "DeviceName"), ("in", "DeviceName"), ("in", "SettingsStatus"))
    ]
    assert positions == sorted(positions), sent
    assert dev.set_device_name_and_wait("bench4", 2000) == "unchanged"

    a.add_fault("DeviceName", "reply", direction="in", payload=b"someone\0" + bytes(8))
    with pytest.raises(RuntimeError, match="^Device name readback mismatch$"):
        dev.set_device_name_and_wait("bench5", 1000)


def test_legacy_firmware_has_no_settings_status(sim, open_devices):
    a = sim.plug(SERIAL, legacy=True)
    dev = open_devices()
    assert dev.get_settings_status() is None
    legacy = "^Not supported: settings persistence status unavailable on legacy firmware$"
    with pytest.raises(RuntimeError, match=legacy):
        dev.wait_settings_saved(1000)
    with pytest.raises(RuntimeError, match=legacy):
        dev.set_device_name_and_wait("old", 1000)
    assert a.name == b"old" and dev.get_device_name() == "old", "the name itself was written and verified"
