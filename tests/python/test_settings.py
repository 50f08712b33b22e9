"""The adapter's own settings: LED, termination, stored name, channel id, interface name and identify, with their
verification and the refusals that happen before anything is sent."""

import struct

import pytest

from conftest import requests_of

SERIAL = "tav.io:CANH0001"


def test_led_mode_is_verified(dev_and_adapter):
    dev, a = dev_and_adapter
    dev.set_led_mode(2)
    assert dev.get_led_mode() == 2
    a.add_fault("LedMode", "reply", direction="in", payload=struct.pack("<I", 1))
    with pytest.raises(RuntimeError, match="^Hardware error: LED mode verification failed: Requested 3, Actual 1$"):
        dev.set_led_mode(3)


def test_termination_restarts_a_running_bus(dev_and_adapter):
    dev, a = dev_and_adapter
    dev.set_bus_state(True)
    a.clear_records()
    dev.set_termination(True)
    assert dev.get_termination() is True
    assert a.state()["termination"] is True
    assert a.state()["bus_state"] == 0  # the bus was stopped for the change and started again
    sent = requests_of(a)
    assert sent.index(("out", "TerminationState")) > sent.index(("out", "Bus"))
    a.add_fault("TerminationState", "reply", direction="in", payload=b"\0\0\0\0")
    with pytest.raises(
        RuntimeError, match="^Hardware error: Termination verification failed: Requested true, Actual false$"
    ):
        dev.set_termination(True)
    assert a.state()["bus_state"] == 4  # a failed change leaves the bus stopped


def test_feature_refusals_send_nothing(sim, open_devices):
    a = sim.plug(SERIAL, features_supported=0x00)
    dev = open_devices()
    a.clear_records()
    with pytest.raises(RuntimeError, match="^Firmware does not advertise termination control$"):
        dev.get_termination()
    with pytest.raises(RuntimeError, match="^Firmware does not advertise termination control$"):
        dev.set_termination(False)
    with pytest.raises(RuntimeError, match="^Firmware does not advertise identify blinking$"):
        dev.identify(100)
    with pytest.raises(ValueError, match="^duration_ms must be between 1 and 65535$"):
        dev.identify(0)
    with pytest.raises(OverflowError, match="^number too large to fit in target type$"):
        dev.identify(65536)
    with pytest.raises(ValueError, match="^Only channel 0 is supported$"):
        dev.set_channel_id(1)
    assert a.received_requests() == []


def test_device_name_rules(dev_and_adapter):
    dev, _ = dev_and_adapter
    dev.set_device_name("A" * 15)
    assert dev.get_device_name() == "A" * 15
    with pytest.raises(
        RuntimeError,
        match="^Invalid parameter: Device name can only contain alphanumeric characters, underscore, and hyphen$",
    ):
        dev.set_device_name("nämé")  # a str goes down as its UTF-8 bytes
    dev.set_device_name("")
    assert dev.get_device_name() == ""


def test_interface_name_and_identify(dev_and_adapter):
    dev, a = dev_and_adapter
    dev.set_interface_name("x" * 31)
    sent = [r for r in a.received_requests() if r["request"] == 40][0]
    assert sent["length"] == 32 and sent["data"] == b"x" * 31 + b"\0"
    with pytest.raises(
        RuntimeError, match="^Invalid parameter: interface name must be at most 31 bytes with no embedded NUL$"
    ):
        dev.set_interface_name("x" * 32)
    dev.identify(1500)
    ident = [r for r in a.received_requests() if r["request"] == 61][0]
    assert (ident["value"], ident["length"]) == (1500, 0)
    assert dev.get_channel_id() == 0
    dev.set_channel_id(0)
    a.add_fault("Channel", "short_reply", direction="in", length=3)
    with pytest.raises(RuntimeError, match="^Communication error: invalid channel reply length$"):
        dev.get_channel_id()
