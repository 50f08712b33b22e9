"""Fault rules of the simulated adapter, observed through the driver that meets them."""

import contextlib

import pytest

from conftest import GONE, both_paths, wait_until


@pytest.fixture
def adapter(sim):
    return sim.plug("tav.io:CANH0001")


@both_paths
def test_short_reply_fails_the_open(ext, adapter):
    adapter.add_fault("GetDeviceInfo", "short_reply", length=23)
    with pytest.raises(RuntimeError, match="Invalid device info response"):
        ext.NativeTavroDevice()
    assert adapter.fault_count() == 0
    ext.NativeTavroDevice().close()  # used up: the next open works


@both_paths
def test_count_and_skip_select_the_requests_hit(ext, adapter):
    d = ext.NativeTavroDevice()
    try:
        adapter.add_fault("Bus", "reply", direction="in", payload=bytes([3]) + bytes(19), skip=1, count=2)
        states = [d.get_bus_state()[0] for _ in range(4)]
        assert states == [4, 3, 3, 4]
        adapter.add_fault("LedMode", direction="out", count=None)
        for _ in range(3):
            with pytest.raises(RuntimeError, match="^USB error: endpoint stall$"):
                d.set_led_mode(1)
        d.get_led_mode()  # IN is not hit
        adapter.clear_faults()
        d.set_led_mode(1)
    finally:
        d.close()


@both_paths
def test_statuses_reach_the_driver_as_their_kinds(ext, adapter, usb_path):
    d = ext.NativeTavroDevice()
    try:
        adapter.add_fault("GetDeviceInfo", "timeout")  # on the kernel path: never answered, then unlinked
        with pytest.raises(RuntimeError, match="^USB error: timed out$"):
            d.get_device_info()
        adapter.add_fault("GetDeviceInfo", "delay", delay_ms=5000)
        with pytest.raises(RuntimeError, match="^USB error: timed out$"):
            d.get_device_info()
        adapter.add_fault("GetDeviceInfo", "fault")  # kernel path: a transfer error (-EPROTO)
        with pytest.raises(RuntimeError, match="^USB error: transport error$"):
            d.get_device_info()
        expected = ["Cancelled", "Cancelled", "Fault", "Completed"]
        if usb_path == "seam":  # a device has no way to hand the host an OS error code
            adapter.add_fault("GetDeviceInfo", "os_error", os_code=-12)
            with pytest.raises(RuntimeError, match="transport error"):
                d.get_device_info()
            expected.insert(3, "Unknown")
        adapter.add_fault("GetDeviceInfo", "delay", delay_ms=1)
        assert d.get_device_info()[2] == 1
        statuses = [r["status"] for r in adapter.received_requests() if r["request"] == 0][-len(expected) :]
        assert statuses == expected
    finally:
        d.close()


@both_paths
def test_disconnect_unplugs_at_that_moment(ext, adapter):
    d = ext.NativeTavroDevice()
    adapter.add_fault("LedMode", "disconnect")
    with pytest.raises(RuntimeError) as e:
        d.set_led_mode(1)
    assert str(e.value) == GONE
    assert not adapter.plugged
    assert wait_until(lambda: ext.list_devices() == [])  # the kernel path takes a moment to see it go
    with contextlib.suppress(RuntimeError):  # closing a vanished device may report it
        d.close()


def test_host_operation_faults(ext, sim, adapter):
    sim.add_enumeration_fault(os_code=-1, action="os_error")
    with pytest.raises(RuntimeError):
        ext.list_devices()
    assert ext.list_devices() == ["tav.io:CANH0001"]


def test_partial_bulk_acceptance_is_uncertain(ext, adapter):
    d = ext.NativeTavroDevice()
    try:
        d.set_bitrate(500000, 875)
        d.set_bus_state(True)
        adapter.add_fault(target="bulk_out", action="partial_accept", length=8)
        with pytest.raises(RuntimeError, match=r"partial TX record \(8/16 bytes\)"):
            d.send_frame(0x10, False, False, 1, b"\x01", 1000)
        assert [len(r) for r in adapter.received_bulk_out()] == [8]
        assert adapter.state()["tx_rejected"] == 1
    finally:
        d.close()


def test_a_stalled_bulk_endpoint_stays_halted_until_cleared(ext, sim, adapter):
    d = ext.NativeTavroDevice()
    try:
        d.set_bitrate(500000, 875)
        d.set_bus_state(True)
        adapter.add_fault(target="bulk_out", action="stall")
        with pytest.raises(RuntimeError, match="^USB error: endpoint stall$"):
            d.send_frame(0x10, False, False, 0, b"", 1000)
        d.send_frame(0x11, False, False, 0, b"", 1000)  # the writer cleared the halt of 0x02
        adapter.add_fault(target="bulk_in", action="stall", endpoint=0x81)
        sim.inject([sim.Frame(0x55)])
        assert d.receive_frame(5000)[1] == 0x55  # the receive worker cleared the halt of 0x81
        assert (adapter.halt_clears(0x81), adapter.halt_clears(0x02)) == (1, 1)
    finally:
        d.close()


def test_bad_fault_arguments_raise(adapter):
    with pytest.raises(ValueError):
        adapter.add_fault("NoSuchRequest")
    with pytest.raises(ValueError):
        adapter.add_fault("Bus", "explode")
    with pytest.raises(ValueError):
        adapter.add_fault("Bus", direction="sideways")
    with pytest.raises(ValueError):
        adapter.add_fault("Bus", count=0)
    with pytest.raises(ValueError):
        adapter.add_fault()
    with pytest.raises(ValueError):
        adapter.add_fault(target="enumerate")
    with pytest.raises(TypeError):
        adapter.add_fault(1.5)
    assert adapter.fault_count() == 0
