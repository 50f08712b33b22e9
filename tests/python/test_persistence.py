"""Settings persistence: the settings status, waiting for a save with its time-outs and failures, firmware without
the status, and storing a device name with verification."""
import struct
import threading

import pytest

from conftest import requests_of, wait_until

SERIAL = "tav.io:CANH0001"


@pytest.fixture
def dev_and_adapter(sim, open_devices):
    a = sim.plug(SERIAL)
    dev = open_devices()
    a.clear_records()
    return dev, a


def status_requests(adapter):
    return requests_of(adapter).count(("in", "SettingsStatus"))


def stored_name(adapter):
    return adapter.state()["stored_name"].split(b"\0", 1)[0]


def test_status_follows_a_save(dev_and_adapter):
    dev, a = dev_and_adapter
    a.settings_save_delay_ms = 1000
    assert dev.get_settings_status() == "idle"
    dev.set_device_name("bench1")
    assert dev.get_settings_status() == "pending"
    a.clear_records()
    assert dev.wait_settings_saved(10_000) == "saved"
    assert status_requests(a) >= 2, "polled while pending"
    assert dev.get_settings_status() == "saved"
    dev.set_device_name("bench1")  # the same name again: nothing to store
    assert dev.wait_settings_saved(1000) == "unchanged"
    assert dev.get_settings_status() == "unchanged"
    assert stored_name(a) == b"bench1"


@pytest.mark.parametrize("final, name", [(4, "Invalid"), (5, "FlashError"), (6, "VerifyError"), (7, "Stuck")])
def test_failed_saves(dev_and_adapter, final, name):
    dev, a = dev_and_adapter
    a.settings_final_status = final
    dev.set_device_name("bench2")
    with pytest.raises(RuntimeError, match=f"^Hardware error: settings persistence failed: {name}$"):
        dev.wait_settings_saved(2000)
    assert dev.get_settings_status() == ("invalid", "flash_error", "verify_error", "stuck")[final - 4]
    assert stored_name(a) != b"bench2"


def test_malformed_status_replies(dev_and_adapter):
    dev, a = dev_and_adapter
    a.add_fault("SettingsStatus", "reply", direction="in", payload=struct.pack("<I", 9), count=2)
    with pytest.raises(RuntimeError, match="^Communication error: unknown settings status 9$"):
        dev.get_settings_status()
    with pytest.raises(RuntimeError, match="^Communication error: unknown settings status 9$"):
        dev.wait_settings_saved(1000)
    a.add_fault("SettingsStatus", "short_reply", direction="in", length=2)
    with pytest.raises(RuntimeError, match="^Communication error: expected 4 bytes, received 2$"):
        dev.get_settings_status()
    a.add_fault("SettingsStatus", "disconnect", direction="in")
    with pytest.raises(RuntimeError, match="^USB error: device disconnected$"):
        dev.get_settings_status()


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
    assert status_requests(a) >= 2  # polled until the deadline
    a.clear_records()
    with pytest.raises(TimeoutError, match="^Operation deadline expired$"):
        dev.set_device_name_and_wait("other", 0)
    assert requests_of(a) == []
    with pytest.raises(TimeoutError, match="^Operation timed out$"):
        dev.set_device_name_and_wait("other", 200)
    assert a.name == b"other"


def test_a_waiting_save_holds_the_handle(dev_and_adapter):
    dev, a = dev_and_adapter
    a.settings_save_delay_ms = 60_000
    errors = []

    def waiter():
        try:
            dev.set_device_name_and_wait("held", 3000)
        except TimeoutError:
            pass
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    t = threading.Thread(target=waiter)
    t.start()
    try:
        assert wait_until(lambda: status_requests(a) > 0)
        with pytest.raises(TimeoutError, match="^Operation timed out waiting for native configuration$"):
            dev.wait_settings_saved(100)
    finally:
        t.join(30)
    assert errors == []


def test_the_bus_must_be_stopped(dev_and_adapter):
    dev, a = dev_and_adapter
    dev.set_bus_state(True)
    a.clear_records()
    with pytest.raises(RuntimeError, match="^Settings save requires stopped CAN$"):
        dev.set_device_name_and_wait("bench3", 1000)
    assert ("out", "DeviceName") not in requests_of(a)
    with pytest.raises(RuntimeError, match="^Invalid parameter: settings save requires STOPPED$"):
        dev.wait_settings_saved(1000)
    assert status_requests(a) == 0
    dev.set_bus_state(False)
    a.add_fault("Bus", "short_reply", direction="in", length=16)
    with pytest.raises(RuntimeError, match="^Communication error: invalid bus state length$"):
        dev.wait_settings_saved(1000)


def test_set_device_name_and_wait(dev_and_adapter):
    dev, a = dev_and_adapter
    assert dev.set_device_name_and_wait("bench4", 2000) == "saved"
    assert stored_name(a) == b"bench4" and dev.get_device_name() == "bench4"
    sent = requests_of(a)
    order = [("in", "Bus"), ("out", "DeviceName"), ("in", "DeviceName"), ("in", "SettingsStatus")]
    positions = [sent.index(r) for r in order]
    assert positions == sorted(positions), sent
    assert dev.set_device_name_and_wait("bench4", 2000) == "unchanged"

    a.clear_records()
    with pytest.raises(RuntimeError, match=r"^Invalid parameter: Device name too long \(max 15 chars\)$"):
        dev.set_device_name_and_wait("x" * 16, 1000)
    assert ("out", "DeviceName") not in requests_of(a), "validation comes before anything is written"

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
    assert a.name == b"old", "the name itself was written and verified"
    # The handle is still usable: a stall is not a transport failure.
    assert dev.get_device_name() == "old"
