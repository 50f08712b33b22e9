"""tavro-sim: simulated TAVRO adapters on one simulated CAN bus, served as USB devices over USB/IP until Ctrl-C.

    tavro-sim                                  # two adapters, tav.io:CANH0001 and tav.io:CANH0002
    tavro-sim tav.io:CANH0001 tav.io:CANI0002 --port 3240
    tavro-sim -n 3 --legacy --attach           # attach them to this machine's vhci-hcd itself (root)

Another machine (or this one, with `modprobe vhci-hcd`) attaches them with Debian's `usbip attach`; then every
program there reaches them through the kernel's USB stack and libusb, like real adapters.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Sequence

DEFAULT_USBIP_PORT = 3240


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="tavro-sim", description=__doc__.split("\n\n")[0])
    p.add_argument(
        "serials",
        nargs="*",
        help="serial numbers of the adapters (default: -n adapters tav.io:CANH0001, tav.io:CANH0002, ...)",
    )
    p.add_argument("-n", "--count", type=int, default=2, help="adapters to plug when no serial is given (default 2)")
    p.add_argument(
        "--legacy", action="store_true", help="early-firmware adapters (no result modes, full-speed 64-byte packets)"
    )
    p.add_argument("--unlimited-speed", action="store_true", help="frames take no time on the simulated wire")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: loopback only)")
    p.add_argument("--port", type=int, default=0, help="TCP port (default: any free one; usbip's own is 3240)")
    p.add_argument(
        "--attach",
        action="store_true",
        help="attach the adapters to this machine's vhci-hcd as well (needs root and vhci-hcd)",
    )
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if not args.serials and not 1 <= args.count <= 64:
        print("tavro-sim: --count must be 1..64", file=sys.stderr)
        return 2
    import tavro_sim

    serials = args.serials or [f"tav.io:CANH{i:04d}" for i in range(1, args.count + 1)]
    tavro_sim.reset()  # the adapters named here, not the simulator's default one
    adapters = [tavro_sim.plug(s, legacy=args.legacy) for s in serials]
    tavro_sim.set_unlimited_speed(args.unlimited_speed)
    try:
        port = tavro_sim.serve_usbip(args.port, args.host)
    except OSError as e:
        print(f"tavro-sim: {e}", file=sys.stderr)
        return 1
    tcp_port = "" if port == DEFAULT_USBIP_PORT else f" --tcp-port {port}"
    print(f"Serving {len(adapters)} simulated adapter(s) over USB/IP on {args.host}:{port}")
    print(f"  list:   usbip{tcp_port} list -r {args.host}")
    for a in adapters:
        print(f"  {a.serial}: sudo usbip{tcp_port} attach -r {args.host} -b {a.usbip_busid}")
    attachments = []
    try:
        if args.attach:
            for a in adapters:
                att = tavro_sim.attach_vhci(a)
                attachments.append(att)
                print(f"  {a.serial}: attached to vhci-hcd port {att.port}")
        print("Ctrl-C to stop.", flush=True)
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        while not stop.wait(0.5):
            pass
    except KeyboardInterrupt:
        pass
    except (OSError, RuntimeError) as e:
        print(f"tavro-sim: {e}", file=sys.stderr)
        return 1
    finally:
        for att in attachments:
            att.detach()
        tavro_sim.stop_usbip()
    return 0


if __name__ == "__main__":
    sys.exit(main())
