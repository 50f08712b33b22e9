"""The driver's main job, end to end: find the adapters, open them, configure the bus, exchange frames through
python-can, and close again. Run against simulated adapters by `bash scripts/demo.sh`; it works the same against
real adapters wired to one bus (with termination)."""

import sys
import time
from collections.abc import Sequence

import can

import tavro_pythoncan_ext as ext


def describe(dev: ext.NativeTavroDevice) -> str:
    hw, fw, channels = dev.get_device_info()
    caps = dev.get_device_capabilities()
    return (
        f"{dev.get_serial_number()}: hardware {hw}, firmware {fw}, {channels} channel(s), "
        f"clock {caps['clock_freq'] // 1_000_000} MHz, features 0x{caps['features_supported']:02x}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    serials = ext.list_devices()
    print(f"adapters found: {len(serials)}")
    for serial in serials:
        dev = ext.NativeTavroDevice(serial)
        try:
            print("  " + describe(dev))
        finally:
            dev.close()
    if len(serials) < 2:
        print("need two adapters on one bus to exchange frames; done")
        return 0

    sender_serial, receiver_serial = serials[:2]
    print(f"\nopening {sender_serial} and {receiver_serial} at 500 kbit/s through python-can")
    with (
        can.Bus(interface="tavro", channel=sender_serial, bitrate=500_000) as tx,
        can.Bus(interface="tavro", channel=receiver_serial, bitrate=500_000) as rx,
    ):
        frames = [
            can.Message(arbitration_id=0x123, data=b"\x01\x02", is_extended_id=False),
            can.Message(arbitration_id=0x18DAF110, data=bytes(range(8)), is_extended_id=True),
            can.Message(arbitration_id=0x7FF, is_remote_frame=True, dlc=4, is_extended_id=False),
        ]
        start = time.perf_counter()
        for msg in frames:
            tx.send(msg, timeout=1.0)
            got = rx.recv(timeout=2.0)
            if got is None:
                print("  no frame arrived", file=sys.stderr)
                return 1
            print(f"  sent {msg.arbitration_id:#x} -> received {got}")
        rx.set_filters([{"can_id": 0x200, "can_mask": 0x7F0, "extended": False}])
        for can_id in (0x1F0, 0x205, 0x310, 0x20F):
            tx.send(can.Message(arbitration_id=can_id, data=b"\xaa", is_extended_id=False), timeout=1.0)
        accepted = []
        while (got := rx.recv(timeout=0.2)) is not None:
            accepted.append(hex(got.arbitration_id))
        print(f"  with filter 0x200/0x7F0 the receiver kept {accepted} of 0x1f0, 0x205, 0x310, 0x20f")
        print(f"  {len(frames) + 4} frames in {1000 * (time.perf_counter() - start):.1f} ms")
    print("closed both adapters; done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
