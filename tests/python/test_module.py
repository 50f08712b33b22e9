"""The module's door: what it exports, the classes' shapes, and how it behaves around process exit."""

import pytest

from conftest import run_python


def test_exports_exactly_the_driver_surface(ext):
    public = sorted(n for n in dir(ext) if not n.startswith("__"))
    assert public == ["NativeTavroDevice", "NativeTxTicket", "library_versions", "list_devices"]


def test_classes_and_signatures(ext):
    assert ext.NativeTavroDevice.__text_signature__ == "(serial=None)"
    assert ext.list_devices.__text_signature__ == "()"
    assert ext.library_versions.__text_signature__ == "()"
    assert ext.NativeTxTicket.__doc__ in ("", None)
    with pytest.raises(TypeError):
        ext.NativeTxTicket()
    # open_by_name is static: callable on the class, and it names its argument when misused.
    with pytest.raises(TypeError, match="'name'"):
        ext.NativeTavroDevice.open_by_name(123)
    with pytest.raises(TypeError, match="name"):
        ext.NativeTavroDevice.open_by_name()
    with pytest.raises(TypeError):
        ext.NativeTavroDevice.open_by_name("a", "b")
    with pytest.raises(TypeError, match="serial"):
        ext.NativeTavroDevice(serial=5)
    with pytest.raises(ValueError, match="'serial' must not contain lone surrogates"):
        ext.NativeTavroDevice("tav.io:\udc80")
    with pytest.raises(ValueError, match="'name' must not contain lone surrogates"):
        ext.NativeTavroDevice.open_by_name("\ud800")
    assert ext.NativeTavroDevice.close.__text_signature__ == "($self)"


def test_each_import_makes_objects_of_its_own_classes():
    r = run_python(
        """
        import sys
        import tavro_pythoncan_ext as first
        del sys.modules["tavro_pythoncan_ext"]
        import tavro_pythoncan_ext as second
        assert first is not second and first.NativeTavroDevice is not second.NativeTavroDevice
        named = first.NativeTavroDevice("tav.io:CANH0001")
        named.set_device_name("alpha")
        named.close()
        for m in (first, second, first):
            dev = m.NativeTavroDevice.open_by_name("alpha")
            assert type(dev) is m.NativeTavroDevice, (m, type(dev))
            dev.configure_confirmation(True)
            dev.set_bus_state(True)
            t = dev.submit_frame(1, False, False, 0, b"", 1000)
            assert type(t) is m.NativeTxTicket, (m, type(t))
            other = second if m is first else first
            assert other.NativeTavroDevice("tav.io:CANI0002").close() is None
            dev.cancel_ticket(t, 1000)
            dev.close()
        print("ok")
        """,
        env={"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": "tav.io:CANH0001,tav.io:CANI0002"},
    )
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip() == "ok"


def test_libusb_backend_without_adapters():
    r = run_python(
        """
        import tavro_pythoncan_ext as m
        assert m.list_devices() == [], m.list_devices()
        try:
            m.NativeTavroDevice()
        except RuntimeError as e:
            assert str(e) == "Device not found", str(e)
        else:
            raise SystemExit("opened a device that does not exist")
        print("ok")
        """,
        env={"TAVRO_USB_BACKEND": "libusb"},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_unknown_backend_fails_the_import():
    r = run_python("import tavro_pythoncan_ext", env={"TAVRO_USB_BACKEND": "bogus"})
    assert r.returncode != 0
    assert "TAVRO_USB_BACKEND" in r.stderr


def test_import_with_unconfigured_logging_succeeds():
    r = run_python("import tavro_pythoncan_ext; print('ok')", env={"TAVRO_USB_BACKEND": "libusb"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
