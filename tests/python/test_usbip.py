"""The simulator's USB/IP server, spoken to over loopback TCP by a small client (what vhci-hcd would send)."""

import os
import signal
import socket
import struct
import subprocess
import sys
import threading

import pytest

from conftest import A, B, CTRL_C_READY, run_python, wait_until

DEV_INFO = (0xC1, 0, 0, 0, 24)  # GetDeviceInfo IN: (bmRequestType, bRequest, wValue, wIndex, wLength)
BUS_ON = (0x41, 21, 0, 0, 4)
RX, RESULTS, OUT = 0x81, 0x83, 0x02
EPIPE, ECONNRESET, EPROTO, EOVERFLOW = -32, -104, -71, -75


class Client:
    """One USB/IP connection: the handshake, CMD_SUBMIT/CMD_UNLINK out, RET_SUBMIT/RET_UNLINK in."""

    def __init__(self, port=None, sock=None, devid=None):
        self.sock = sock or socket.create_connection(("127.0.0.1", port))
        self.sock.settimeout(10)
        self.seq = 0
        self.devid = devid
        self.inbound = {}  # seqnum -> True for IN submissions (their replies carry data)

    def close(self):
        self.sock.close()

    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise EOFError
            buf += chunk
        return buf

    def devlist(self):
        self.sock.sendall(struct.pack(">HHI", 0x0111, 0x8005, 0))
        _, code, status, n = struct.unpack(">HHII", self.recv_exact(12))
        assert (code, status) == (0x0005, 0)
        devices = []
        for _ in range(n):
            rec = self.recv_exact(312)
            ifaces = [self.recv_exact(4) for _ in range(rec[0x137])]
            devices.append(self._record(rec, ifaces))
        return devices

    @staticmethod
    def _record(rec, ifaces=()):
        busnum, devnum, speed, vid, pid = struct.unpack(">IIIHH", rec[288:304])
        return {
            "busid": rec[256:288].rstrip(b"\0").decode(),
            "busnum": busnum,
            "devnum": devnum,
            "speed": speed,
            "vid": vid,
            "pid": pid,
            "interfaces": [i[0] for i in ifaces],
        }

    def import_(self, busid):
        self.sock.sendall(struct.pack(">HHI32s", 0x0111, 0x8003, 0, busid.encode()))
        _, code, status = struct.unpack(">HHI", self.recv_exact(8))
        assert code == 0x0003
        if status != 0:
            return None
        dev = self._record(self.recv_exact(312))
        self.devid = dev["busnum"] << 16 | dev["devnum"]
        return dev

    def submit(self, ep, inbound, length=0, data=b"", setup=(0, 0, 0, 0, 0), **override):
        self.seq += 1
        f = dict(
            command=1,
            seqnum=self.seq,
            devid=self.devid,
            direction=int(inbound),
            ep_number=ep & 0x0F,
            flags=0,
            buffer_length=length if inbound else len(data),
            packets=0xFFFFFFFF,
        )
        f.update(override)
        head = struct.pack(
            ">IIIIIIIiIi",
            f["command"],
            f["seqnum"],
            f["devid"],
            f["direction"],
            f["ep_number"],
            f["flags"],
            f["buffer_length"],
            0,
            f["packets"],
            0,
        )
        self.inbound[f["seqnum"]] = inbound
        self.sock.sendall(head + struct.pack("<BBHHH", *setup) + (b"" if inbound else data))
        return f["seqnum"]

    def control(self, setup, data=b""):
        inbound = bool(setup[0] & 0x80)
        seq = self.submit(0, inbound, setup[4], data if not inbound else b"", setup)
        return self.reply(seq)

    def unlink(self, target):
        self.seq += 1
        self.sock.sendall(struct.pack(">IIIIII24x", 2, self.seq, self.devid, 0, 0, target))
        return self.seq

    def next_reply(self):
        """(command, seqnum, status, data) of the next reply."""
        command, seqnum, _, _, _, status, actual = struct.unpack(">IIIIIiI", self.recv_exact(28))
        self.recv_exact(20)
        data = self.recv_exact(actual) if command == 3 and self.inbound.get(seqnum) else b""
        return command, seqnum, status, data if command == 3 and self.inbound.get(seqnum) else actual

    def reply(self, seqnum):
        command, seq, status, data = self.next_reply()
        assert seq == seqnum, (seq, seqnum)
        return status, data

    def closed(self):
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True


@pytest.fixture
def server(sim):
    yield sim.serve_usbip()
    sim.stop_usbip()


@pytest.fixture
def client(server):
    opened = []

    def connect(adapter=None):
        c = Client(server)
        opened.append(c)
        if adapter is not None:
            assert c.import_(adapter.usbip_busid)
        return c

    yield connect
    for c in opened:
        c.close()


def test_the_product_loads_the_simulator_only_when_told():
    # A kernel-path test imports tavro_sim itself while the product keeps its default libusb backend.
    code = """
        import sys, tavro_pythoncan_ext as ext
        ext.list_devices()
        loaded = "tavro_sim" in sys.modules
        import tavro_sim
        print(loaded, ext.list_devices(), len(tavro_sim.adapters()))
    """
    r = run_python(code, env={"TAVRO_USB_BACKEND": "libusb", "TAVRO_SIM_ADAPTERS": A})
    assert r.stdout.split() == ["False", "[]", "1"], r.stderr


def test_device_list_and_import(sim, server, client):
    a = sim.plug(A)
    b = sim.plug(B, legacy=True)
    assert sim.serve_usbip() == server  # serving already: the same port
    listed = client().devlist()
    assert [(d["busid"], d["vid"], d["pid"], d["speed"], d["interfaces"]) for d in listed] == [
        (a.usbip_busid, 0x16C0, 0x27D8, 3, [0xFF]),
        (b.usbip_busid, 0x16C0, 0x27D8, 2, [0xFF]),
    ]
    assert client().import_(a.usbip_busid)["busid"] == a.usbip_busid
    assert client().import_(a.usbip_busid) is None  # served on another connection
    assert client().import_("9-99") is None


@pytest.mark.parametrize(
    "setup, status, reply",
    [
        (
            (0x80, 6, 0x0100, 0, 64),
            0,
            bytes([18, 1, 0, 2, 0, 0, 0, 64, 0xC0, 0x16, 0xD8, 0x27, 0x01, 0x02, 1, 2, 3, 1]),
        ),
        ((0x80, 6, 0x0100, 0, 8), 0, bytes([18, 1, 0, 2, 0, 0, 0, 64])),  # truncated to wLength
        ((0x80, 6, 0x0303, 0, 255), 0, bytes([32, 3]) + "tav.io:CANH0001".encode("utf-16-le")),
        ((0x80, 6, 0x0600, 0, 10), EPIPE, b""),  # no device qualifier
        ((0x00, 9, 1, 0, 0), 0, 0),  # SET_CONFIGURATION
        ((0x80, 0, 0, 0, 2), 0, b"\0\0"),  # GET_STATUS
        ((0x00, 3, 1, 0, 0), EPIPE, 0),  # SET_FEATURE: not supported
        ((0x41, 3, 0, 0, 0), EPIPE, 0),  # GetBerr: the firmware does not know it
    ],
)
def test_standard_and_vendor_requests(sim, client, setup, status, reply):
    c = client(sim.plug(A))
    assert c.control(setup) == (status, reply)


def test_configuration_descriptor_and_halt_clearing(sim, client):
    a = sim.plug(A)
    c = client(a)
    status, cfg = c.control((0x80, 6, 0x0200, 0, 255))
    assert status == 0 and len(cfg) == cfg[2] == 39
    assert cfg[9:18] == bytes([9, 4, 0, 0, 3, 0xFF, 0, 0, 0])
    endpoints = [(cfg[i + 2], cfg[i + 3], struct.unpack("<H", cfg[i + 4 : i + 6])[0]) for i in (18, 25, 32)]
    assert endpoints == [(RX, 2, 512), (OUT, 2, 512), (RESULTS, 2, 512)]
    a.add_fault(target="bulk_in", action="stall", endpoint=RX)
    assert c.reply(c.submit(RX, True, 512)) == (EPIPE, b"")
    waiting = c.submit(RX, True, 512)  # the halted endpoint's queue waits until the halt is cleared
    a.preload_rx(bytes(24))
    assert c.control((0x82, 0, 0, RX, 2)) == (0, b"\1\0")  # GET_STATUS says halted; the bulk IN still waits
    assert c.control((0x02, 1, 0, RX, 0)) == (0, 0)
    assert c.reply(waiting) == (0, bytes(24))
    assert a.halt_clears(RX) == 1 and a.halt_clears(OUT) == 0


def test_vendor_requests_reach_the_firmware_with_their_faults(sim, client):
    a = sim.plug(A, firmware_version=(1, 4, 0, 12))
    c = client(a)
    status, info = c.control(DEV_INFO)
    assert status == 0 and info[4:8] == bytes([1, 4, 0, 12])
    a.add_fault("GetDeviceInfo", "stall")
    a.add_fault("GetDeviceInfo", "short_reply", length=5)
    a.add_fault("GetDeviceInfo", "fault")
    a.add_fault("GetDeviceInfo", "long_reply", length=40)  # more than wLength: the host sees babble
    assert [c.control(DEV_INFO)[0] for _ in range(4)] == [EPIPE, 0, EPROTO, EOVERFLOW]
    assert [r["status"] for r in a.received_requests()] == ["Completed", "Stall", "Completed", "Fault", "Fault"]
    assert a.received_requests()[2]["reply"] == info[:5]


def test_bulk_out_reaches_the_bus_and_bulk_in_waits_for_a_frame(sim, client):
    a = sim.plug(A)
    c = client(a)
    assert c.control(BUS_ON, b"\1\0\0\0") == (0, 4)
    pending = c.submit(RX, True, 512)
    # Answered in order: the control reply comes back while the bulk IN still waits for data.
    assert c.control(DEV_INFO)[0] == 0
    sim.inject([sim.Frame(0x123, b"\x01\x02")])
    status, data = c.reply(pending)
    assert status == 0 and len(data) == 24 and struct.unpack_from("<BB2xI8s", data) == (0, 2, 0x123, b"\1\2" + bytes(6))
    tx = struct.pack("<BBBBI8s", 0, 1, 0, 0, 0x321, b"\x55")
    seq = c.submit(OUT, False, data=tx)
    assert c.reply(seq) == (0, 16)
    assert a.received_bulk_out() == [tx]
    assert wait_until(lambda: [w["id"] for w in sim.wire_log() if w["sender"] == a.node_id] == [0x321])


@pytest.mark.parametrize("withheld", [False, True], ids=["answered", "withheld"])
def test_unlink_pending_and_completed_transfers(sim, client, withheld):
    a = sim.plug(A)
    c = client(a)
    c.control(BUS_ON, b"\1\0\0\0")
    waiting = c.submit(RX, True, 512)
    a.add_fault("Mode", "timeout", direction="in")
    hung = c.submit(0, True, 4, setup=(0xC1, 22, 0, 0, 4))
    done = c.submit(0, True, 24, setup=DEV_INFO)  # queued behind the hung request
    if withheld:  # the host then keeps the cancelled transfer: nothing answers it, not even its unlink
        a.add_fault(target="unlink", action="timeout", endpoint=RX)
    u1, u2 = c.unlink(waiting), c.unlink(hung)
    expected = [(4, u1, ECONNRESET)] * (not withheld) + [(4, u2, ECONNRESET), (3, done, 0)]
    assert [c.next_reply()[:3] for _ in range(len(expected))] == expected
    assert [r["status"] for r in a.received_requests()][-2:] == ["Cancelled", "Completed"]
    u3 = c.unlink(done)
    assert c.next_reply()[:3] == (4, u3, 0)  # answered already
    sim.inject([sim.Frame(0x10)])
    fresh = c.submit(RX, True, 512)
    assert c.next_reply()[1] == fresh  # the data goes to the live transfer, never to the unlinked one


@pytest.mark.parametrize("action, status", [("stall", EPIPE), ("fault", EPROTO), ("long_reply", EOVERFLOW)])
def test_bulk_in_faults(sim, client, action, status):
    a = sim.plug(A)
    c = client(a)
    a.add_fault(target="bulk_in", action=action, endpoint=RX, length=600)
    assert c.reply(c.submit(RX, True, 512))[0] == status


def test_unplug_closes_the_connection(sim, client):
    a = sim.plug(A)
    c = client(a)
    c.submit(RX, True, 512)
    a.unplug()
    assert c.closed()


@pytest.mark.parametrize(
    "override",
    [
        {"devid": 0x10099},
        {"command": 7},
        {"direction": 2},
        {"ep_number": 16},
        {"buffer_length": 65537},
        {"packets": 3},
        {"seqnum": 1},  # still pending: the first submission below
    ],
)
def test_malformed_commands_close_the_connection(sim, client, override):
    a = sim.plug(A)
    c = client(a)
    c.submit(RX, True, 512)
    c.submit(RX, True, 512, **override)
    assert c.closed()
    assert client(a).control(DEV_INFO)[0] == 0  # the server goes on


def test_too_many_pending_transfers_close_the_connection(sim, client):
    c = client(sim.plug(A))
    for _ in range(513):  # each may hold a 64 KiB buffer: the server refuses to hold more than 512
        c.submit(RX, True, 65536)
    assert c.closed()


def test_garbage_handshake_closes_the_connection(sim, client):
    a = sim.plug(A)
    c = client()
    c.sock.sendall(b"\x01\x11\x80\x99" + bytes(100))
    assert c.closed()
    assert client(a).control(DEV_INFO)[0] == 0


def test_command_serves_its_adapters_until_interrupted():
    cmd = [
        sys.executable,
        "-c",
        CTRL_C_READY + "import sys, tavro_sim.cli; sys.exit(tavro_sim.cli.main())",
        "tav.io:CANH0001",
        "tav.io:CANJ0003",
        "--legacy",
    ]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True) as proc:
        watchdog = threading.Timer(60, proc.kill)  # a hung command fails the test instead of blocking it
        watchdog.start()
        try:
            lines = [proc.stdout.readline() for _ in range(5)]
            port = int(lines[0].rsplit(":", 1)[1])
            assert "usbip --tcp-port %d attach -r 127.0.0.1 -b 1-" % port in lines[3]
            listed = Client(port).devlist()
            assert [(d["busid"], d["speed"]) for d in listed] == [(line.split()[-1], 2) for line in lines[2:4]]
            proc.send_signal(signal.SIGINT)
            assert proc.wait(timeout=30) == 0
        finally:
            watchdog.cancel()
            proc.kill()


def test_platforms_without_the_server_refuse_every_entry_point(sim, monkeypatch, capsys):
    import tavro_sim
    from tavro_sim import cli

    why = "not built on this platform"  # what tavro_sim.USBIP_UNAVAILABLE says outside Linux
    monkeypatch.setattr(tavro_sim.usbip, "USBIP_UNAVAILABLE", why)
    a = sim.plug(A)
    for call in (tavro_sim.serve_usbip, lambda: tavro_sim.attach_vhci(a)):
        with pytest.raises(OSError, match=f"^USB/IP server: {why}$"):
            call()
    assert cli.main([]) == 1
    assert capsys.readouterr().err == f"tavro-sim: USB/IP server: {why}\n"
    assert tavro_sim.usbip_port() == 0


def test_vhci_attach_hands_a_socketpair_to_the_kernel(sim, monkeypatch):
    """The test plays vhci-hcd: it takes the socket handed over in the attach line and speaks to the device on it."""
    from tavro_sim import usbip

    a = sim.plug(A)
    kernel = {}
    status = "hub port sta spd dev      sockfd local_busid\nhs  0000 006 003 00010002 000003 1-2\nhs  0001 004 000 00000000 000000 0-0\n"

    def write_sysfs(name, text):
        kernel[name] = text.split()
        if name == "attach":
            kernel["sock"] = socket.socket(fileno=os.dup(int(text.split()[1])))

    monkeypatch.setattr(usbip, "_read_sysfs", lambda name: status)
    monkeypatch.setattr(usbip, "_write_sysfs", write_sysfs)
    att = sim.attach_vhci(A)
    c = Client(sock=kernel["sock"], devid=att.devid)
    assert kernel["attach"] == ["1", kernel["attach"][1], str(att.devid), "3"] and att.port == 1
    assert c.control(DEV_INFO)[0] == 0
    with pytest.raises(RuntimeError, match="already served"):
        sim.attach_vhci(a)
    att.detach()
    assert kernel["detach"] == ["1"]
    a.unplug()
    assert c.closed()
    c.close()
