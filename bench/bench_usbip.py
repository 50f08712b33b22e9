"""How many received-frame records a bulk IN stream delivers through the simulator's USB/IP server over loopback.

    .venv/bin/python bench/bench_usbip.py [--seconds 3] [--in-flight 16]

An adapter on an unlimited-speed bus receives an endless stream from another node; a client in this process imports
it over TCP, switches the bus on with a vendor request and keeps `--in-flight` bulk IN transfers queued on 0x81,
resubmitting each as it completes (what libusb does through vhci-hcd). Reported per transfer size: records/s, bulk IN
transfers/s and records the adapter dropped because the host did not read in time. With 24-byte transfers every
transfer carries one record; with 512-byte transfers the firmware packs up to 21. The client is Python, so the
figures are a floor for what the server itself sustains; a kernel client (vhci-hcd + libusb) is faster per transfer.
"""

import argparse
import os
import socket
import struct
import time

import tavro_sim


def recv_exact(sock, n):
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise EOFError("server closed the connection")
        buf += chunk
    return bytes(buf)


def submit(sock, seq, devid, ep, inbound, length, setup=b"\0" * 8, data=b""):
    head = struct.pack(">IIIIIIIiIi", 1, seq, devid, int(inbound), ep, 0, length, 0, 0xFFFFFFFF, 0)
    sock.sendall(head + setup + data)


def run(port, adapter, seconds, in_flight, length):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.sendall(struct.pack(">HHI32s", 0x0111, 0x8003, 0, adapter.usbip_busid.encode()))
    rep = recv_exact(sock, 8 + 312)
    assert struct.unpack(">HHI", rep[:8])[2] == 0, "import refused"
    busnum, devnum = struct.unpack(">II", rep[8 + 288 : 8 + 296])
    devid = busnum << 16 | devnum
    submit(sock, 1, devid, 0, False, 4, struct.pack("<BBHHH", 0x41, 21, 0, 0, 4), b"\1\0\0\0")  # Bus on
    assert struct.unpack(">5Ii", recv_exact(sock, 48)[:24])[5] == 0
    tavro_sim.start_stream(tavro_sim.Frame(0x100, b"\0" * 8), bitrate=0)
    seq = 1
    for _ in range(in_flight):
        seq += 1
        submit(sock, seq, devid, 1, True, length)
    records = transfers = 0
    start = time.perf_counter()
    end = start + seconds
    while True:
        head = recv_exact(sock, 48)
        status, actual = struct.unpack(">iI", head[20:28])
        if actual:
            recv_exact(sock, actual)
        assert status == 0, status
        records += actual // 24
        transfers += 1
        now = time.perf_counter()
        if now >= end:
            break
        seq += 1
        submit(sock, seq, devid, 1, True, length)
    elapsed = time.perf_counter() - start
    tavro_sim.stop_stream()
    sock.close()
    return records / elapsed, transfers / elapsed


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=3.0)
    p.add_argument("--in-flight", type=int, default=16)
    args = p.parse_args()
    print(
        f"load average: {os.getloadavg()[0]:.2f}; {args.in_flight} bulk IN transfers in flight, {args.seconds} s each"
    )
    port = tavro_sim.serve_usbip()
    tavro_sim.set_unlimited_speed(True)
    for length in (24, 512, 16384):
        tavro_sim.reset()
        tavro_sim.set_unlimited_speed(True)
        a = tavro_sim.plug("tav.io:CANH0001", rx_queue_records=65536)
        rate, urbs = run(port, a, args.seconds, args.in_flight, length)
        drops = a.state()["rx_overflows"]
        print(
            f"{length:6d}-byte transfers: {rate:10.0f} records/s  {urbs:8.0f} transfers/s  "
            f"adapter dropped {drops} records"
        )
    tavro_sim.stop_usbip()


if __name__ == "__main__":
    main()
