"""The driver's main job, end to end, against whatever adapters the process sees (simulated ones in the demo).

Lists the adapters, opens each, shows what it reports, and closes it again.
"""
import sys

import tavro_pythoncan_ext as ext


def main(argv=None):
    serials = ext.list_devices()
    print(f"adapters found: {len(serials)}")
    for serial in serials:
        dev = ext.NativeTavroDevice(serial)
        try:
            hw, fw, channels = dev.get_device_info()
            caps = dev.get_device_capabilities()
            state, rec, tec = dev.get_bus_state()
            print(f"  {dev.get_serial_number()}: hardware {hw}, firmware {fw}, {channels} channel(s), "
                  f"clock {caps['clock_freq']} Hz, bus state {state} (rx errors {rec}, tx errors {tec}), "
                  f"mode 0x{dev.get_mode():08x}")
        finally:
            dev.close()
    print("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
