"""Command-line tool for TAVRO adapters: list, inspect, dump and send.

    tavro-can list [--json]
    tavro-can info [-s SERIAL] [--json]
    tavro-can dump [-s SERIAL] [-b BITRATE] [-l] [-c COUNT] [-t SECONDS]
    tavro-can send [-s SERIAL] [-b BITRATE] ID#DATA [ID#DATA ...]

exit status:
    0  done
    1  failed; the reason is on stderr
    2  bad command line
    3  no adapter found: list found none, or the adapter asked for is not attached
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Callable, Sequence

import tavro_pythoncan_ext as ext

FRAME_SYNTAX = """frame syntax (as can-utils' cansend):
  ID#DATA    ID in hex: 3 digits or fewer for a standard frame (at most 7FF), more for an extended one (at most
             1FFFFFFF); DATA: 0 to 8 bytes as hex pairs, optionally separated by dots
  ID#R       remote frame with dlc 0;  ID#Rn  remote frame with dlc n (0..8)
examples:
  123#DEADBEEF   123#   00000123#01.02.03   7FF#R2"""

_MODE_LISTEN_ONLY = 0x02
EXIT_FAILED, EXIT_NOT_FOUND = 1, 3
BUS_STATES = ("error-active", "error-warning", "error-passive", "bus-off", "stopped", "sleeping")


def _open(args: argparse.Namespace) -> ext.NativeTavroDevice:
    if getattr(args, "name", None):
        return ext.NativeTavroDevice.open_by_name(args.name)
    return ext.NativeTavroDevice(args.serial)


def _start(dev: ext.NativeTavroDevice, args: argparse.Namespace, listen_only: bool = False) -> None:
    dev.set_bitrate(args.bitrate, 875)
    # The adapter keeps its mode word between sessions: write the one this command wants.
    dev.configure_modes(_MODE_LISTEN_ONLY, _MODE_LISTEN_ONLY if listen_only else 0)
    dev.set_bus_state(True)


def _parse_frame(text: str) -> tuple[int, bool, bool, int, bytes]:
    """'123#DEADBEEF' (standard), '12345678#00' (extended, more than 3 hex digits), '123#R4' (remote, dlc 4)."""

    def bad(why: str) -> argparse.ArgumentTypeError:
        return argparse.ArgumentTypeError(f"bad frame {text!r}: {why} (see tavro-can send --help)")

    ident, sep, payload = text.partition("#")
    if not sep:
        raise bad("expected ID#DATA")
    if not ident or any(c not in "0123456789abcdefABCDEF" for c in ident):
        raise bad(f"the identifier {ident!r} is not hexadecimal")
    arb_id = int(ident, 16)
    is_ext = len(ident) > 3
    if arb_id > (0x1FFFFFFF if is_ext else 0x7FF):
        raise bad(f"identifier {ident} is above {'1FFFFFFF' if is_ext else '7FF'}")
    if payload[:1].upper() == "R":
        if payload[1:] and (not payload[1:].isdigit() or int(payload[1:]) > 8):
            raise bad(f"remote frame length {payload[1:]!r} is not a digit 0..8")
        return arb_id, is_ext, True, int(payload[1:] or "0"), b""
    hexdigits = payload.replace(".", "")
    if len(hexdigits) % 2 or any(c not in "0123456789abcdefABCDEF" for c in hexdigits):
        raise bad(f"data {payload!r} is not hex byte pairs")
    data = bytes.fromhex(hexdigits)
    if len(data) > 8:
        raise bad(f"{len(data)} data bytes; classic CAN carries at most 8")
    return arb_id, is_ext, False, len(data), data


def _format(t: tuple[int, int, bool, bool, bool, int, bytes]) -> str:
    ts, arb_id, is_ext, is_rtr, is_err, dlc, data = t
    ident = f"{arb_id:08X}" if is_ext else f"{arb_id:03X}"
    body = f"R{dlc}" if is_rtr else data[:dlc].hex(" ").upper()
    kind = " ERROR" if is_err else ""
    return f"({ts / 1e6:12.6f}) {ident} [{dlc}] {body}{kind}"


def cmd_list(args: argparse.Namespace) -> int:
    serials = ext.list_devices()
    if args.json:
        print(json.dumps(serials))
    else:
        for s in serials:
            print(s)
    if not serials:
        print("tavro-can: no TAVRO adapter found", file=sys.stderr)
        return EXIT_NOT_FOUND
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    dev = _open(args)
    try:
        hw, fw, channels = dev.get_device_info()
        if args.json:
            state, rec, tec = dev.get_bus_state()
            print(
                json.dumps(
                    {
                        "serial": dev.get_serial_number(),
                        "name": dev.get_device_name(),
                        "hardware": hw,
                        "firmware": fw,
                        "channels": channels,
                        "capabilities": dev.get_device_capabilities(),
                        "bus_state": state,
                        "rx_errors": rec,
                        "tx_errors": tec,
                    },
                    indent=2,
                )
            )
            return 0
        rows = [
            ("serial", dev.get_serial_number()),
            ("name", dev.get_device_name()),
            ("hardware", hw),
            ("firmware", fw),
            ("channels", channels),
        ]
        rows += [
            (k, f"{v:#x}" if k.endswith("supported") else v) for k, v in sorted(dev.get_device_capabilities().items())
        ]
        state, rec, tec = dev.get_bus_state()
        name = BUS_STATES[state] if state < len(BUS_STATES) else f"unknown ({state})"
        rows.append(("bus state", f"{name} (rx errors {rec}, tx errors {tec})"))
        width = max(len(k) for k, _ in rows) + 2
        for k, v in rows:
            print(f"{k + ':':<{width}}{v}")
    finally:
        dev.close()
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    dev = _open(args)
    try:
        _start(dev, args, listen_only=args.listen_only)
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


def cmd_send(args: argparse.Namespace) -> int:
    dev = _open(args)
    try:
        _start(dev, args)
        for arb_id, is_ext, is_rtr, dlc, data in args.frames:
            dev.send_frame(arb_id, is_ext, is_rtr, dlc, data, 1000)
    finally:
        dev.close()
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    p = argparse.ArgumentParser(
        prog="tavro-can", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    sub = p.add_subparsers(dest="command", required=True)

    def with_device(sp: argparse.ArgumentParser, bus: bool = False) -> argparse.ArgumentParser:
        sp.add_argument("-s", "--serial", help="serial number of the adapter (default: the only one)")
        sp.add_argument("-n", "--name", help="open the adapter with this stored name")
        if bus:
            sp.add_argument("-b", "--bitrate", type=int, default=500_000, help="bit rate in bit/s (default 500000)")
        return sp

    ls = sub.add_parser("list", help="list attached adapters")
    ls.add_argument("--json", action="store_true", help="print a JSON list of serial numbers")
    ls.set_defaults(func=cmd_list)
    info = with_device(sub.add_parser("info", help="describe an adapter"))
    info.add_argument("--json", action="store_true", help="print the description as a JSON object")
    info.set_defaults(func=cmd_info)
    d = with_device(sub.add_parser("dump", help="print received frames"), bus=True)
    d.add_argument("-l", "--listen-only", action="store_true", help="receive without acknowledging frames")
    d.add_argument("-c", "--count", type=int, default=0, help="stop after this many frames")
    d.add_argument("-t", "--time", type=float, default=0.0, help="stop after this many seconds")
    d.set_defaults(func=cmd_dump)
    s = with_device(
        sub.add_parser(
            "send",
            help="send frames",
            description="Send frames, one after the other.",
            epilog=FRAME_SYNTAX,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        ),
        bus=True,
    )
    s.add_argument("frames", nargs="+", type=_parse_frame, metavar="ID#DATA")
    s.set_defaults(func=cmd_send)

    args = p.parse_args(argv)
    command: Callable[[argparse.Namespace], int] = args.func
    try:
        return command(args)
    except (RuntimeError, TimeoutError, ValueError) as e:
        print(f"tavro-can: {e}", file=sys.stderr)
        return EXIT_NOT_FOUND if str(e).startswith("Device not found") else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
