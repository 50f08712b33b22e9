"""Command-line tool for TAVRO adapters: list, inspect, dump and send.

    tavro-can list
    tavro-can info [-s SERIAL]
    tavro-can dump [-s SERIAL] [-b BITRATE] [-n COUNT] [-t SECONDS]
    tavro-can send [-s SERIAL] [-b BITRATE] ID#DATA [ID#DATA ...]
"""
from __future__ import annotations

import argparse
import sys
import time

import tavro_pythoncan_ext as ext


def _open(args):
    if getattr(args, "name", None):
        return ext.NativeTavroDevice.open_by_name(args.name)
    return ext.NativeTavroDevice(args.serial)


def _parse_frame(text: str):
    """'123#DEADBEEF' (standard), '12345678#00' (extended, more than 3 hex digits), '123#R4' (remote, dlc 4)."""
    ident, _, payload = text.partition("#")
    if not ident:
        raise argparse.ArgumentTypeError(f"bad frame {text!r}")
    arb_id = int(ident, 16)
    is_ext = len(ident) > 3
    if payload[:1].upper() == "R":
        dlc = int(payload[1:] or "0")
        return arb_id, is_ext, True, dlc, b""
    data = bytes.fromhex(payload.replace(".", ""))
    return arb_id, is_ext, False, len(data), data


def _format(t) -> str:
    ts, arb_id, is_ext, is_rtr, is_err, dlc, data = t
    ident = f"{arb_id:08X}" if is_ext else f"{arb_id:03X}"
    body = f"R{dlc}" if is_rtr else data[:dlc].hex(" ").upper()
    kind = " ERROR" if is_err else ""
    return f"({ts / 1e6:12.6f}) {ident} [{dlc}] {body}{kind}"


def cmd_list(args) -> int:
    for s in ext.list_devices():
        print(s)
    return 0


def cmd_info(args) -> int:
    dev = _open(args)
    try:
        hw, fw, channels = dev.get_device_info()
        print(f"serial:       {dev.get_serial_number()}")
        print(f"name:         {dev.get_device_name()}")
        print(f"hardware:     {hw}")
        print(f"firmware:     {fw}")
        print(f"channels:     {channels}")
        for k, v in sorted(dev.get_device_capabilities().items()):
            print(f"{k + ':':<14}{v:#x}" if k.endswith("supported") else f"{k + ':':<14}{v}")
        state, rec, tec = dev.get_bus_state()
        print(f"bus state:    {state} (rx errors {rec}, tx errors {tec})")
    finally:
        dev.close()
    return 0


def cmd_dump(args) -> int:
    dev = _open(args)
    try:
        dev.set_bitrate(args.bitrate, 875)
        dev.set_bus_state(True)
        end = time.monotonic() + args.time if args.time else None
        seen = 0
        while args.count == 0 or seen < args.count:
            left = 1000 if end is None else int((end - time.monotonic()) * 1000)
            if left <= 0:
                break
            t = dev.receive_frame(min(left, 1000))
            if t is not None:
                print(_format(t), flush=True)
                seen += 1
    except KeyboardInterrupt:
        pass
    finally:
        dev.close()
    return 0


def cmd_send(args) -> int:
    dev = _open(args)
    try:
        dev.set_bitrate(args.bitrate, 875)
        dev.set_bus_state(True)
        for arb_id, is_ext, is_rtr, dlc, data in args.frames:
            dev.send_frame(arb_id, is_ext, is_rtr, dlc, data, 1000)
    finally:
        dev.close()
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="tavro-can", description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="command", required=True)

    def with_device(sp, bus=False):
        sp.add_argument("-s", "--serial", help="serial number of the adapter (default: the only one)")
        sp.add_argument("-n", "--name", help="open the adapter with this stored name")
        if bus:
            sp.add_argument("-b", "--bitrate", type=int, default=500_000, help="bit rate in bit/s (default 500000)")
        return sp

    sub.add_parser("list", help="list attached adapters").set_defaults(func=cmd_list)
    with_device(sub.add_parser("info", help="describe an adapter")).set_defaults(func=cmd_info)
    d = with_device(sub.add_parser("dump", help="print received frames"), bus=True)
    d.add_argument("-c", "--count", type=int, default=0, help="stop after this many frames")
    d.add_argument("-t", "--time", type=float, default=0.0, help="stop after this many seconds")
    d.set_defaults(func=cmd_dump)
    s = with_device(sub.add_parser("send", help="send frames"), bus=True)
    s.add_argument("frames", nargs="+", type=_parse_frame, metavar="ID#DATA")
    s.set_defaults(func=cmd_send)

    args = p.parse_args(argv)
    try:
        return args.func(args)
    except (RuntimeError, TimeoutError, ValueError) as e:
        print(f"tavro-can: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
