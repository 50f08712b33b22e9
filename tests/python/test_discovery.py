"""Finding adapters and choosing one: serial validity, model letters, selection by serial and by name, and the
failures of the open sequence."""

import logging
import re
import subprocess

import pytest

from conftest import both_paths, kernel_only, run_python

PREFIX = "tav.io:CAN"


@both_paths
def test_list_devices_keeps_valid_serials_in_enumeration_order(ext, sim, usb_path):
    sim.plug(PREFIX + "I0002")
    sim.plug(PREFIX + "H0001")
    sim.plug(PREFIX + "K0003")  # model letter outside the default set
    sim.plug(PREFIX)  # prefix only: no model letter
    sim.plug("tav.io:CAMH0004")  # prefix mismatch
    sim.plug(PREFIX + "H0005", vid=0x1234)  # another maker's device
    sim.plug(has_serial=False)
    listed = ext.list_devices()
    if usb_path == "kernel":
        listed.reverse()  # libusb lists hot-plugged devices newest first
    assert listed == [PREFIX + "I0002", PREFIX + "H0001"]


def test_valid_model_set_from_environment():
    # The variable as the process found it reaches the driver, once (how it is parsed: the C++ ModelSet tests).
    env = {
        "TAVRO_SIM_ADAPTERS": "tav.io:CANH1,tav.io:CANK2",
        "TAVRO_USB_BACKEND": "simulator",
        "TAVRO_VALID_MODELS": "h, K",
    }
    r = run_python(
        """
        import os, tavro_pythoncan_ext as m
        print(m.list_devices())
        os.environ["TAVRO_VALID_MODELS"] = "H"   # read once per process: no effect any more
        print(m.list_devices())
    """,
        env=env,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip().splitlines() == [repr(["tav.io:CANH1", "tav.io:CANK2"])] * 2


@both_paths
def test_selection_without_serial(ext, sim, open_devices):
    with pytest.raises(RuntimeError, match="^Device not found$"):
        ext.NativeTavroDevice()
    sim.plug(PREFIX + "H0001")
    sim.plug(PREFIX + "J0002")
    with pytest.raises(RuntimeError) as e:
        ext.NativeTavroDevice()
    listed = ext.list_devices()  # enumeration order
    assert sorted(listed) == [PREFIX + "H0001", PREFIX + "J0002"]
    assert str(e.value) == (
        "Multiple devices found. Please specify a device using -s <serial> or -n <name>.\n"
        "Available devices:\n" + "\n".join("  - " + s for s in listed)
    )
    sim.unplug(PREFIX + "J0002")
    dev = open_devices()
    assert dev.get_serial_number() == PREFIX + "H0001"


@both_paths
def test_adapters_plugged_later_are_found_and_a_replugged_one_reopens(ext, sim, open_devices):
    assert ext.list_devices() == []  # the USB library runs from here on; on the kernel path udev reports the rest
    sim.plug(PREFIX + "H0001")
    assert ext.list_devices() == [PREFIX + "H0001"]
    dev = ext.NativeTavroDevice()
    dev.set_bus_state(True)
    sim.unplug(PREFIX + "H0001")
    assert ext.list_devices() == []
    with pytest.raises(RuntimeError, match="^Device not found$"):
        ext.NativeTavroDevice()
    sim.plug(PREFIX + "H0001")
    again = open_devices(PREFIX + "H0001")
    again.set_bus_state(True)
    assert again.get_bus_state()[0] == 0
    del dev  # the handle of the unplugged adapter can simply be dropped


@kernel_only
def test_adapters_imported_over_tcp_by_the_usbip_tool_work_beside_attached_ones(ext, sim, open_devices):
    sim.plug(PREFIX + "I0002")
    a = sim.plug(PREFIX + "H0001", over_tcp=True)
    listing = subprocess.run(
        ["usbip", "--tcp-port", str(sim.usbip_port()), "list", "-r", "127.0.0.1"],
        capture_output=True,
        text=True,
        timeout=60,
    ).stdout
    assert f"{a.usbip_busid}: " in listing and "(16c0:27d8)" in listing, listing
    tx, rx = open_devices(PREFIX + "H0001"), open_devices(PREFIX + "I0002")
    for d in (tx, rx):
        d.set_bitrate(500_000, 875)
        d.set_bus_state(True)
    tx.send_frame(0x123, False, False, 1, b"\x01", 1000)
    assert rx.receive_frame(2000)[1] == 0x123
    a.unplug()
    assert ext.list_devices() == [PREFIX + "I0002"]


@both_paths
def test_selection_by_serial_is_exact_and_skips_format_checks(ext, sim, open_devices):
    sim.plug("bench-adapter-7")
    sim.plug(PREFIX + "H0001")
    assert open_devices("bench-adapter-7").get_serial_number() == "bench-adapter-7"
    with pytest.raises(RuntimeError, match="^Device not found$"):
        ext.NativeTavroDevice(PREFIX + "H000")
    with pytest.raises(RuntimeError, match="^Device not found$"):
        ext.NativeTavroDevice("bench-adapter-7 ")


@pytest.mark.parametrize(
    "stage, text",
    [
        ("open", "could not be opened (in use)"),
        ("claim", "found but interface claim failed (in use)"),
        ("endpoint_open", "bulk OUT endpoint unavailable"),
    ],
)
def test_open_failures_are_device_in_use_with_cause_in_debug_log(ext, sim, caplog, stage, text):
    a = sim.plug(PREFIX + "H0001")
    a.add_fault(target=stage, action="fault", text="simulated cause", count=1)
    with caplog.at_level(logging.DEBUG, logger="tavro_usb"):
        with pytest.raises(RuntimeError, match="^Device is in use$"):
            ext.NativeTavroDevice()
    lines = [r.getMessage() for r in caplog.records if r.name == "tavro_usb.device"]
    assert any(
        line.startswith("Device tav.io:CANH0001") and text in line and "simulated cause" in line for line in lines
    ), lines
    # Nothing stays claimed: the next open succeeds.
    ext.NativeTavroDevice().close()


@both_paths
def test_adapter_open_elsewhere_is_in_use_and_released_on_close(ext, sim, open_devices):
    sim.plug(PREFIX + "H0001")
    first = open_devices()
    with pytest.raises(RuntimeError, match="^Device is in use$"):
        ext.NativeTavroDevice(PREFIX + "H0001")
    first.close()
    open_devices(PREFIX + "H0001")


@pytest.mark.parametrize(
    "texts, why",
    [
        ([""], "1 adapter seen but skipped (serial unreadable: access denied; see the udev rule in the README)"),
        (["Input/Output Error"] * 2, "2 adapters seen but skipped (serial unreadable: Input/Output Error)"),
    ],
    ids=["access_denied", "io_error"],
)
def test_adapter_whose_serial_cannot_be_read_is_named_in_a_warning_and_in_device_not_found(
    ext, sim, caplog, texts, why
):
    for i, text in enumerate(texts):
        sim.plug(PREFIX + f"H000{i}").add_fault(target="serial_read", action="fault", text=text, count=None)
    with caplog.at_level(logging.WARNING, logger="tavro_usb"):
        for open_ in (
            ext.NativeTavroDevice,
            lambda: ext.NativeTavroDevice(PREFIX + "H0000"),
            lambda: ext.NativeTavroDevice.open_by_name("bench"),
        ):
            with pytest.raises(RuntimeError, match=f"^Device not found: {re.escape(why)}$"):
                open_()
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 3 * len(texts) and warnings[0].startswith("Skipping adapter at bus:")
    assert "its serial number could not be read" in warnings[0]
    assert ("udev rule" in warnings[0]) == (texts[0] == "")


def test_enumeration_failure_is_a_usb_error(ext, sim):
    sim.add_enumeration_fault(count=2)
    with pytest.raises(RuntimeError, match="^USB error: transport error$"):
        ext.list_devices()
    with pytest.raises(RuntimeError, match="^USB error: transport error$"):
        ext.NativeTavroDevice()


@both_paths
def test_open_by_name(ext, sim, open_devices):
    sim.plug(PREFIX + "H0001", device_name=b"")  # empty: skipped
    sim.plug(PREFIX + "H0002", device_name=b"bad name")  # illegal character: skipped
    sim.plug(PREFIX + "H0003", device_name=b"\xff\xfe")  # not UTF-8: skipped
    busy = sim.plug(PREFIX + "H0004", device_name=b"bench")
    sim.plug(PREFIX + "H0005", device_name=b"bench_2")
    holder = open_devices(PREFIX + "H0004")  # open elsewhere: skipped, not reported
    dev = open_devices(by_name="bench_2")
    assert dev.get_serial_number() == PREFIX + "H0005"
    with pytest.raises(RuntimeError, match="^Device not found$"):
        ext.NativeTavroDevice.open_by_name("bench")
    holder.close()
    assert busy.plugged
    assert open_devices(by_name="bench").get_serial_number() == PREFIX + "H0004"


@both_paths
def test_open_by_name_with_two_matches_lists_both_and_releases_them(ext, sim, open_devices):
    sim.plug(PREFIX + "H0001", device_name=b"twin")
    sim.plug(PREFIX + "I0002", device_name=b"other")
    sim.plug(PREFIX + "J0003", device_name=b"twin")
    with pytest.raises(RuntimeError) as e:
        ext.NativeTavroDevice.open_by_name("twin")
    twins = [s for s in ext.list_devices() if s != PREFIX + "I0002"]  # in enumeration order
    assert str(e.value).endswith("Available devices:\n" + "\n".join("  - " + s for s in twins))
    # Both matches were closed again.
    open_devices(PREFIX + "H0001")
    open_devices(PREFIX + "J0003")
    open_devices(PREFIX + "I0002")
