#!/usr/bin/env python3
"""Data-path benchmark of tavro_pythoncan_ext on the simulated adapter.

Measures, in one run:
  1. receive_frame throughput draining a full receive queue, beside python-can's "virtual" interface; the same
     through python-can (can.Bus(interface="tavro").recv) beside the virtual interface;
  2. sustained reception at 100 % bus load, 1 Mbit/s, real-time frame timing (frames, drops, CPU per wall second
     and per received frame), with receive_frame and through python-can;
  3. latency from a frame's arrival at the adapter to receive_frame returning it in a blocked receiver;
  4. send_frame calls per second into an unlimited-speed bus;
  5. CPU use of an idle open handle with the bus on;
  6. a 1 kHz periodic task's frames on the wire: the driver's task beside python-can's thread-based one, on an idle
     machine and with every core kept busy (intervals, gaps, frames missing; late and skipped frames counted by the
     driver's task).

The simulated adapter and bus run inside this process, so process CPU figures include them; each CPU figure is
also broken down per thread (driver threads "tavro-rx"/"tavro-tx-result", the Python caller threads, and the
simulator's threads) from /proc/self/task/*/schedstat.

Run with the installed (Release) package:  .venv/bin/python bench/bench_datapath.py [--json out.json]
With --usb-path kernel the driver's default libusb backend reaches the adapter through a Linux kernel's USB stack
(USB/IP through vhci-hcd; needs root, vhci-hcd and udevd): scripts/test-usb-stack.sh --bench runs it in its guest.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import platform
import resource
import shlex
import statistics
import sys
import threading
import time

SERIAL = "tav.io:CANH0001"



def usb_path_from_argv() -> str:
    """--usb-path, read before argparse runs: the driver's backend is chosen once per process, at its import."""
    for i, arg in enumerate(sys.argv):
        if arg == "--usb-path" and i + 1 < len(sys.argv):
            return sys.argv[i + 1]
        if arg.startswith("--usb-path="):
            return arg.split("=", 1)[1]
    return "seam"


USB_PATH = usb_path_from_argv()
if USB_PATH == "kernel":
    os.environ.pop("TAVRO_USB_BACKEND", None)  # the default: libusb
else:
    os.environ["TAVRO_USB_BACKEND"] = "simulator"
os.environ["TAVRO_SIM_ADAPTERS"] = SERIAL

import tavro_pythoncan_ext as ext  # noqa: E402
import tavro_sim as sim  # noqa: E402

BITRATE = 1_000_000
SAMPLE_POINT = 875
QUEUE_CAPACITY = 20000

TARGET_RATIO = 3.0
TARGET_RATIO_PYTHON_CAN = 1.5
TARGET_MEDIAN_LATENCY_US = 50.0


# ----------------------------------------------------------------------------------------------------------------
# Environment and helpers

def build_type() -> str:
    """CMake build type of the imported module: from the build tree it was loaded from, or from the
    scikit-build tree that built the installed wheel (pyproject: build/<wheel tag>)."""
    so = os.path.realpath(ext.__file__)
    candidates = [os.path.join(os.path.dirname(so), "CMakeCache.txt")]
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build_root = os.path.join(repo, "build")
    if "site-packages" in so and os.path.isdir(build_root):
        wheel_trees = []
        for d in os.listdir(build_root):
            manifest = os.path.join(build_root, d, "install_manifest.txt")
            try:
                with open(manifest) as f:
                    if any(line.strip().endswith("/platlib/" + os.path.basename(so)) for line in f):
                        wheel_trees.append((os.path.getmtime(manifest), os.path.join(build_root, d)))
            except OSError:
                pass
        candidates = [os.path.join(d, "CMakeCache.txt") for _, d in sorted(wheel_trees, reverse=True)] + candidates
    for cache in candidates:
        try:
            with open(cache) as f:
                for line in f:
                    if line.startswith("CMAKE_BUILD_TYPE:"):
                        value = line.split("=", 1)[1].strip() or "(empty)"
                        return f"{value} (from {os.path.relpath(cache, repo)})"
        except OSError:
            continue
    return "unknown"


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def environment() -> dict:
    import can

    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = None
    return {
        "command": shlex.join([sys.executable] + sys.argv),
        "cpu_count": os.cpu_count(),
        "cpus_usable": affinity,
        "cpu_model": cpu_model(),
        "load_average": [round(x, 2) for x in os.getloadavg()],
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "module": os.path.realpath(ext.__file__),
        "build_type": build_type(),
        "python_can": can.__version__,
    }


def thread_times() -> dict:
    """{tid: (name, cpu ns)} of every thread of this process (on-CPU time from schedstat)."""
    times = {}
    base = "/proc/self/task"
    for tid in os.listdir(base):
        try:
            with open(f"{base}/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"{base}/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
        times[int(tid)] = (name, ns)
    return times


class CpuWindow:
    """Process and per-thread CPU over a wall-clock window."""

    def __init__(self, python_threads: dict | None = None):
        self.python_threads = python_threads or {}  # native tid -> label

    def start(self):
        self.wall0 = time.perf_counter_ns()
        self.proc0 = time.process_time_ns()
        self.ru0 = resource.getrusage(resource.RUSAGE_SELF)
        self.thr0 = thread_times()

    def stop(self) -> dict:
        wall = (time.perf_counter_ns() - self.wall0) / 1e9
        proc = (time.process_time_ns() - self.proc0) / 1e9
        ru = resource.getrusage(resource.RUSAGE_SELF)
        thr1 = thread_times()
        groups: dict[str, float] = {}
        main_tid = os.getpid()
        for tid, (name, ns) in thr1.items():
            prev = self.thr0.get(tid, (name, 0))[1]
            sec = (ns - prev) / 1e9
            if tid == main_tid:
                label = "python main thread"
            elif tid in self.python_threads:
                label = self.python_threads[tid]
            elif name.startswith("tavro-sim"):
                label = "simulator (" + name + ")"
            elif name.startswith("tavro-"):
                label = "driver (" + name + ")"
            else:
                label = "other (" + name + ")"
            groups[label] = groups.get(label, 0.0) + sec
        driver = sum(v for k, v in groups.items() if not k.startswith("simulator") and not k.startswith("other"))
        return {
            "wall_s": wall,
            "process_cpu_s": proc,
            "process_cpu_per_wall_s": proc / wall,
            "user_cpu_per_wall_s": (ru.ru_utime - self.ru0.ru_utime) / wall,
            "system_cpu_per_wall_s": (ru.ru_stime - self.ru0.ru_stime) / wall,
            "voluntary_switches": ru.ru_nvcsw - self.ru0.ru_nvcsw,
            "involuntary_switches": ru.ru_nivcsw - self.ru0.ru_nivcsw,
            "per_thread_cpu_per_wall_s": {k: v / wall for k, v in sorted(groups.items())},
            "driver_and_python_cpu_per_wall_s": driver / wall,
        }


def wait_for(predicate, timeout: float, what: str):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.002)


def percentile(sorted_values: list, p: float) -> float:
    """Nearest-rank percentile of an already sorted list."""
    if not sorted_values:
        return float("nan")
    k = max(0, min(len(sorted_values) - 1, math.ceil(p / 100.0 * len(sorted_values)) - 1))
    return sorted_values[k]


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def out(line: str = "") -> None:
    print(line, flush=True)


def print_cpu(cpu: dict, indent: str = "    ") -> None:
    out(f"{indent}process CPU per wall second: {cpu['process_cpu_per_wall_s']:.3f} core "
        f"(user {cpu['user_cpu_per_wall_s']:.3f}, system {cpu['system_cpu_per_wall_s']:.3f}; "
        f"{cpu['voluntary_switches']} voluntary / {cpu['involuntary_switches']} involuntary context switches)")
    out(f"{indent}  of which driver + Python caller threads: {cpu['driver_and_python_cpu_per_wall_s']:.3f} core")
    for label, v in cpu["per_thread_cpu_per_wall_s"].items():
        out(f"{indent}    {label:<36} {v:.4f}")


# ----------------------------------------------------------------------------------------------------------------
# The device under test

class Rig:
    """The adapter opened through python-can; `dev` is the bus's native handle, so both paths drain one queue."""

    def __init__(self):
        import can

        self.adapter = sim.find(SERIAL)
        if USB_PATH == "kernel":
            sim.attach_vhci(self.adapter)
            wait_for(lambda: SERIAL in ext.list_devices(), 60, "the kernel and udev to announce the adapter")
        self.bus = can.Bus(interface="tavro", channel=SERIAL, bitrate=BITRATE, sample_point=SAMPLE_POINT / 10)
        self.dev = self.bus._dev
        sim.set_ack_peer(True)
        sim.set_unlimited_speed(False)

    def close(self):
        sim.stop_stream()
        sim.set_unlimited_speed(False)
        self.bus.shutdown()

    def drain(self) -> int:
        n = 0
        while self.dev.receive_frame(0) is not None:
            n += 1
        return n

    def settle(self, quiet_s: float = 0.05, timeout: float = 10.0) -> int:
        """Receive until nothing arrives for `quiet_s`; returns the frames received."""
        n = 0
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.dev.receive_frame(int(quiet_s * 1000)) is None:
                break
            n += 1
        return n


# ----------------------------------------------------------------------------------------------------------------
# 1. receive_frame throughput from a full queue, beside python-can's virtual interface

def fill_queue(rig: Rig, frame: "sim.Frame", rate_fps: float = 100_000) -> int:
    """Fills the host receive queue to its capacity: streams until the queue overflows, then lets every record
    still on its way arrive (each one pushes out the oldest frame, so the queue stays exactly full). The stream
    is paced without wire time so that the adapter's own buffer (2048 records) never overflows while the host's
    reader thread waits for a core. Returns the frames the host dropped meanwhile."""
    rig.settle(0.02)
    dropped0 = rig.dev.dropped_frame_count()
    sim.set_unlimited_speed(True)
    try:
        sim.start_stream(frame, bitrate=BITRATE, rate_fps=rate_fps)
        wait_for(lambda: rig.dev.dropped_frame_count() > dropped0, 60, "the receive queue to overflow")
    finally:
        sim.stop_stream()
        sim.set_unlimited_speed(False)
    wait_for(lambda: rig.adapter.state()["rx_queued_bytes"] == 0, 10, "the adapter to hand over its records")
    time.sleep(0.02)  # a completed transfer may still be on its way into the queue
    return rig.dev.dropped_frame_count() - dropped0


def bench_receive_throughput(rig: Rig, reps: int, chunk: int = 500, via_python_can: bool = False) -> dict:
    """Each round fills both queues, then drains them in alternating chunks of `chunk` frames, so that both
    interfaces see the same share of a noisy, shared machine; the ratio is taken per round. `via_python_can`:
    the tavro side is the python-can bus's recv(0) instead of the native receive_frame(0)."""
    import can

    frame = sim.Frame(0x123, bytes(range(8)))
    receive = rig.bus.recv if via_python_can else rig.dev.receive_frame
    channel = f"tavro-bench-{os.getpid()}"
    sender = can.Bus(interface="virtual", channel=channel)
    receiver = can.Bus(interface="virtual", channel=channel)
    recv = receiver.recv
    msg = can.Message(arbitration_id=0x123, data=bytes(range(8)), is_extended_id=False)
    rates, vrates, ratios = [], [], []
    clock = time.perf_counter_ns
    try:
        for rep in range(reps + 1):  # the first round is a warm-up
            fill_queue(rig, frame)
            for _ in range(QUEUE_CAPACITY):
                sender.send(msg)
            t_tavro = t_virtual = 0
            got_tavro = got_virtual = 0
            for _ in range(QUEUE_CAPACITY // chunk):
                t0 = clock()
                for _ in range(chunk):
                    if receive(0) is not None:
                        got_tavro += 1
                t1 = clock()
                for _ in range(chunk):
                    if recv(0) is not None:
                        got_virtual += 1
                t2 = clock()
                t_tavro += t1 - t0
                t_virtual += t2 - t1
            if got_tavro != QUEUE_CAPACITY or got_virtual != QUEUE_CAPACITY:
                raise RuntimeError(f"drained {got_tavro} (tavro) and {got_virtual} (virtual) frames, expected "
                                   f"{QUEUE_CAPACITY} each")
            rig.drain()  # a record that was still on its way when the queue was filled
            if rep:
                rates.append(got_tavro / t_tavro * 1e9)
                vrates.append(got_virtual / t_virtual * 1e9)
                ratios.append(rates[-1] / vrates[-1])
    finally:
        sender.shutdown()
        receiver.shutdown()

    tavro = statistics.median(rates)
    virtual = statistics.median(vrates)
    ratio = statistics.median(ratios)
    return {
        "frames_per_round": QUEUE_CAPACITY,
        "chunk": chunk,
        "rounds": reps,
        "tavro_fps_median": tavro,
        "tavro_fps_best": max(rates),
        "tavro_fps_rounds": rates,
        "tavro_ns_per_call": 1e9 / tavro,
        "virtual_fps_median": virtual,
        "virtual_fps_best": max(vrates),
        "virtual_fps_rounds": vrates,
        "virtual_ns_per_call": 1e9 / virtual,
        "ratio": ratio,
        "ratio_rounds": ratios,
        "target_ratio": TARGET_RATIO_PYTHON_CAN if via_python_can else TARGET_RATIO,
        "pass": ratio >= (TARGET_RATIO_PYTHON_CAN if via_python_can else TARGET_RATIO),
    }


# ----------------------------------------------------------------------------------------------------------------
# 2. Sustained reception at 100 % bus load, 1 Mbit/s, real-time wire timing

def bench_sustained(rig: Rig, frame: "sim.Frame", seconds: float, warmup: float,
                    via_python_can: bool = False) -> dict:
    rig.settle(0.02)
    dev = rig.dev
    count = [0]
    stop = threading.Event()
    errors = []
    tids = {}

    def receiver():
        tids[threading.get_native_id()] = "python receiver thread"
        receive, wait = (rig.bus.recv, 0.1) if via_python_can else (dev.receive_frame, 100)
        n = 0
        try:
            while not stop.is_set():
                if receive(wait) is not None:
                    n += 1
                    count[0] = n
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    t = threading.Thread(target=receiver, name="bench-receiver")
    t.start()
    wait_for(lambda: tids, 5, "the receiver thread")
    st0 = rig.adapter.state()
    dropped_start = dev.dropped_frame_count()
    sim.start_stream(frame, bitrate=BITRATE)  # line rate, real-time frame timing
    time.sleep(warmup)

    cpu = CpuWindow(tids)
    adapter_before = rig.adapter.state()
    got_before = count[0]
    dropped_before = dev.dropped_frame_count()
    bus_before = sim.bus_time_us()
    cpu.start()
    time.sleep(seconds)
    window = cpu.stop()
    got_after = count[0]
    dropped_after = dev.dropped_frame_count()
    adapter_after = rig.adapter.state()
    bus_after = sim.bus_time_us()

    sim.stop_stream()
    # Let the receiver take what is still on its way, then account for every frame the adapter received.
    wait_for(lambda: rig.adapter.state()["rx_queued_bytes"] == 0, 10, "the adapter to hand over its records")
    last = [count[0], time.monotonic()]

    def quiet():
        if count[0] != last[0]:
            last[0], last[1] = count[0], time.monotonic()
        return time.monotonic() - last[1] > 0.3

    wait_for(quiet, 30, "the receiver to go quiet")
    stop.set()
    t.join(5)
    st1 = rig.adapter.state()
    adapter_total = st1["frames_received"] - st0["frames_received"]
    dropped_total = dev.dropped_frame_count() - dropped_start
    received_total = count[0]

    frames_window = adapter_after["frames_received"] - adapter_before["frames_received"]
    bus_s = (bus_after - bus_before) / 1e6
    return {
        "frame": {"id": frame.id, "dlc": len(frame.data)},
        "bitrate": BITRATE,
        "seconds": window["wall_s"],
        "adapter_fps": frames_window / bus_s if bus_s > 0 else 0.0,
        "received_in_window": got_after - got_before,
        "received_fps": (got_after - got_before) / window["wall_s"],
        "adapter_frames_in_window": frames_window,
        "dropped_in_window": dropped_after - dropped_before,
        "adapter_rx_overflows": st1["rx_overflows"] - st0["rx_overflows"],
        "whole_run": {"adapter_frames": adapter_total, "received": received_total, "dropped": dropped_total,
                      "unaccounted": adapter_total - received_total - dropped_total},
        "receiver_errors": errors,
        "cpu": window,
        "via_python_can": via_python_can,
        # driver threads and the Python receiver, without the simulated adapter and bus
        "cpu_us_per_received_frame": (window["driver_and_python_cpu_per_wall_s"] * window["wall_s"] * 1e6
                                      / max(1, got_after - got_before)),
        "pass": dropped_total == 0 and not errors and st1["rx_overflows"] == st0["rx_overflows"],
    }


# ----------------------------------------------------------------------------------------------------------------
# 3. Latency: frame arrival at the adapter -> receive_frame returns in a blocked receiver

def bus_to_host_offset(samples: int = 300) -> tuple[int, int]:
    """(offset, uncertainty) in ns with host monotonic ns = bus us * 1000 + offset (+ up to 999 ns).

    The simulated bus clock counts whole microseconds of the host's monotonic clock since the bus was created, so
    the offset is a constant; each sample bounds it from both sides, and intersecting the bounds pins it down."""
    lo, hi = -(1 << 62), 1 << 62
    for _ in range(samples):
        h1 = time.monotonic_ns()
        b = sim.bus_time_us()
        h2 = time.monotonic_ns()
        # b = floor((host_ns - C) / 1000) at some host_ns in [h1, h2]  =>  h1 - 1000 * (b + 1) < C <= h2 - 1000 * b
        lo = max(lo, h1 - 1000 * (b + 1))
        hi = min(hi, h2 - 1000 * b)
    return (lo + hi) // 2, hi - lo


def bench_latency(rig: Rig, frames: int, warmup: int, keep_samples: bool = False) -> dict:
    """Frames are injected one at a time without wire time into a receiver blocked in receive_frame.

    "Arrival" is the frame's bus time from the simulator's wire log (the adapter stamps the frame with the same
    bus time minus its timestamp offset, which the run checks for every frame), mapped to the host's monotonic
    clock. A frame without wire time ends on the bus at the moment it is injected, so the figure includes the
    simulator's own hand-over: its bus thread waking up, handing the frame to the adapter model, and the model
    queueing the record on endpoint 0x81. `--trace` splits it up.

    The injecting thread waits for the receiver on a bare lock (a C-level wait), so that it does not hold the GIL
    while the frame travels."""
    rig.settle(0.02)
    dev = rig.dev
    c_ns, c_uncertainty = bus_to_host_offset()
    returned = []  # (host monotonic ns after return, adapter timestamp, id)
    done = threading.Lock()
    done.acquire()
    stop = threading.Event()
    errors = []

    receiver_tid = []

    def receiver():
        receiver_tid.append(threading.get_native_id())
        receive = dev.receive_frame
        now = time.monotonic_ns
        try:
            while not stop.is_set():
                f = receive(1000)
                t = now()
                if f is not None:
                    returned.append((t, f[0], f[1]))
                    done.release()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))
            done.release()

    t = threading.Thread(target=receiver, name="bench-latency-receiver")
    t.start()
    inject_ns = []
    receipt_ns = []
    sent_ids = []
    inject = sim.inject
    adapter = rig.adapter
    now = time.monotonic_ns
    total = warmup + frames
    lost = 0
    sim.wire_log()  # start a fresh record
    try:
        for i in range(total):
            # Give the receiver time to get back into receive_frame and block on the queue.
            time.sleep(0.0005 + (i % 7) * 0.0001)
            can_id = 0x100 + (i % 0x100)
            frame = [sim.Frame(can_id, bytes([i & 0xFF]))]
            t0 = now()
            inject(frame, bitrate=0)
            ok = done.acquire(timeout=2.0)
            inject_ns.append(t0)
            receipt_ns.append(adapter.last_rx_host_ns())
            sent_ids.append(can_id)
            if not ok:
                lost += 1
                break
            if errors:
                break
    finally:
        stop.set()
        t.join(5)
    wire = [r for r in sim.wire_log() if r["sender"] == -1]
    if errors or lost or len(returned) != total or len(wire) != total:
        raise RuntimeError(f"latency run failed: errors={errors} lost={lost} returned={len(returned)}/{total} "
                           f"on wire={len(wire)}")
    if [r["id"] for r in wire] != sent_ids or [r[2] for r in returned] != sent_ids:
        raise RuntimeError("latency run: frames out of order")
    stamp_offsets = {w["end_us"] - r[1] for w, r in zip(wire, returned)}

    inject_to_return = []
    arrival_to_return = []
    inject_to_arrival = []
    receipt_to_return = []
    for k in range(warmup, total):
        t_ret = returned[k][0]
        receipt_to_return.append((t_ret - receipt_ns[k]) / 1000)
        arrival_ns = wire[k]["end_us"] * 1000 + c_ns  # start of the bus microsecond in which the frame ended
        inject_to_return.append((t_ret - inject_ns[k]) / 1000)
        arrival_to_return.append((t_ret - arrival_ns) / 1000)
        inject_to_arrival.append((arrival_ns - inject_ns[k]) / 1000)

    def summary(values):
        s = sorted(values)
        return {"median_us": statistics.median(s), "p90_us": percentile(s, 90), "p99_us": percentile(s, 99),
                "min_us": s[0], "max_us": s[-1]}

    r2r = summary(receipt_to_return)
    samples = {}
    if keep_samples:  # host monotonic ns of each measured frame, for lining up with a scheduler trace
        samples = {"receiver_tid": receiver_tid[0],
                   "samples": [{"inject_ns": inject_ns[k], "arrival_ns": wire[k]["end_us"] * 1000 + c_ns,
                                "return_ns": returned[k][0]} for k in range(warmup, total)]}
    return {**samples,
        "frames": frames,
        "bus_to_host_offset_ns": c_ns,
        "bus_to_host_uncertainty_ns": c_uncertainty,
        "adapter_timestamp_offsets_us": sorted(stamp_offsets),
        "receipt_to_return": r2r,
        "arrival_to_return": summary(arrival_to_return),
        "inject_to_return": summary(inject_to_return),
        "inject_to_arrival": summary(inject_to_arrival),
        "target_median_us": TARGET_MEDIAN_LATENCY_US,
        "pass": r2r["median_us"] < TARGET_MEDIAN_LATENCY_US,
    }


def thread_ids(name: str) -> list:
    """Native ids of this process's threads called `name`."""
    found = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() == name:
                    found.append(int(tid))
        except OSError:
            pass
    return found


def bench_latency_traced(rig: Rig, frames: int) -> dict:
    """The latency run again under a whole-machine scheduler trace (perf, sched_waking/sched_switch on the
    monotonic clock), split per frame at the thread hand-overs:

      arrival stamp -> the simulator's bus thread wakes "tavro-rx" (the record is on endpoint 0x81)
      -> "tavro-rx" runs -> it queues the frame and wakes the receiver -> the receiver runs -> receive_frame returns
    """
    import shutil
    import signal
    import subprocess
    import tempfile

    perf = shutil.which("perf")
    if perf is None:
        return {"error": "perf not found"}
    (bus,) = thread_ids("tavro-sim-bus")
    (rx,) = thread_ids("tavro-rx")
    tx_results = thread_ids("tavro-tx-result")
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "sched.data")
        rec = subprocess.Popen([perf, "record", "-q", "-a", "-k", "CLOCK_MONOTONIC", "-e",
                                "sched:sched_waking,sched:sched_switch", "-o", data],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(1.0)  # perf needs a moment before it records
        if rec.poll() is not None:
            return {"error": "perf record failed: " + rec.stderr.read().decode(errors="replace").strip()[-300:]}
        try:
            lat = bench_latency(rig, frames, warmup=100, keep_samples=True)
        finally:
            rec.send_signal(signal.SIGINT)
            rec.wait(60)
        script = subprocess.run([perf, "script", "-i", data, "--ns", "-F", "pid,tid,time,event,trace"],
                                capture_output=True, text=True)
    recv = lat["receiver_tid"]
    import bisect
    import re

    line_re = re.compile(r"^\s*(\d+)/(\d+)\s+(\d+)\.(\d+):\s+sched:(\w+):\s+(.*)$")
    woken_re = re.compile(r"(?<![\w])pid=(\d+)")
    prev_re = re.compile(r"prev_pid=(\d+)")
    next_re = re.compile(r"next_pid=(\d+)")
    events = []  # (ns, tid, kind, a, b): waking: a = woken; switch: a = prev, b = next
    for line in script.stdout.splitlines():
        m = line_re.match(line)
        if not m:
            continue
        _, tid, sec, nsec, kind, rest = m.groups()
        t = int(sec) * 1_000_000_000 + int(nsec)
        if kind == "sched_waking":
            w = woken_re.search(rest)
            if w:
                events.append((t, int(tid), "w", int(w.group(1)), 0))
        elif kind == "sched_switch":
            pm, nm = prev_re.search(rest), next_re.search(rest)
            if pm and nm:
                events.append((t, int(tid), "s", int(pm.group(1)), int(nm.group(1))))
    events.sort()
    times = [e[0] for e in events]

    def first(start, end, pred):
        i = bisect.bisect_left(times, start)
        while i < len(events) and events[i][0] <= end:
            if pred(events[i]):
                return i
            i += 1
        return None

    segments = {k: [] for k in ("handover", "rx_wake", "rx_work", "receiver_wake", "receiver_return", "total")}
    rx_blocked = 0
    spurious = 0
    for smp in lat["samples"]:
        a, r = smp["arrival_ns"], smp["return_ns"]
        i_bw = first(a - 1000, r, lambda e: e[2] == "w" and e[1] == bus and e[3] == rx)
        if i_bw is None:
            continue
        i_ron = first(times[i_bw], r, lambda e: e[2] == "s" and e[4] == rx)
        if i_ron is None:
            continue
        i_rw = first(times[i_ron], r, lambda e: e[2] == "w" and e[1] == rx and e[3] == recv)
        if i_rw is None:
            continue
        i_con = first(times[i_rw], r, lambda e: e[2] == "s" and e[4] == recv)
        if i_con is None:
            continue
        bw, ron, rw, con = times[i_bw], times[i_ron], times[i_rw], times[i_con]
        for name, v in (("handover", bw - a), ("rx_wake", ron - bw), ("rx_work", rw - ron),
                        ("receiver_wake", con - rw), ("receiver_return", r - con), ("total", r - a)):
            segments[name].append(v / 1000)
        if any(e[2] == "s" and e[3] == rx for e in events[i_ron:i_rw]):
            rx_blocked += 1
        spurious += sum(1 for e in events[first(a - 1000, r, lambda e: True) or i_bw:i_rw]
                        if e[2] == "w" and e[1] == bus and e[3] in tx_results)
    n = len(segments["total"])
    if n == 0:
        return {"error": "no frame could be followed through the trace"}
    return {
        "frames_followed": n,
        "median_us": {k: statistics.median(v) for k, v in segments.items()},
        "p90_us": {k: percentile(sorted(v), 90) for k, v in segments.items()},
        "rx_blocked_before_queueing_fraction": rx_blocked / n,
        "tx_result_reader_wakeups_per_frame": spurious / n,
    }


def bench_python_handoff(rounds: int) -> dict:
    """Reference for the latency figure: one Python thread blocked in a lock wakes when another releases it
    (no driver involved): what a single thread hand-over into Python costs on this machine."""
    lock = threading.Lock()
    lock.acquire()
    woke = []
    ready = threading.Lock()
    ready.acquire()

    def waiter():
        now = time.monotonic_ns
        for _ in range(rounds):
            lock.acquire()
            woke.append(now())
            ready.release()

    t = threading.Thread(target=waiter, name="bench-handoff")
    t.start()
    released = []
    now = time.monotonic_ns
    for i in range(rounds):
        time.sleep(0.0005 + (i % 7) * 0.0001)
        t0 = now()
        lock.release()
        ready.acquire()
        released.append(t0)
    t.join(5)
    d = sorted((w - r) / 1000 for w, r in zip(woke[rounds // 10:], released[rounds // 10:]))
    return {"median_us": statistics.median(d), "p90_us": percentile(d, 90), "p99_us": percentile(d, 99),
            "min_us": d[0]}


# ----------------------------------------------------------------------------------------------------------------
# 4. send_frame calls per second into an unlimited-speed bus

def bench_send(rig: Rig, seconds: float, reps: int) -> dict:
    rig.settle(0.02)
    dev = rig.dev
    send = dev.send_frame
    data = bytes(range(8))
    sim.set_unlimited_speed(True)
    rates = []
    windows = []
    try:
        tx0 = rig.adapter.state()["frames_transmitted"]
        calls = 0
        for rep in range(reps + 1):  # the first round is a warm-up
            round_s = seconds if rep else min(0.5, seconds)
            c = CpuWindow()
            c.start()
            n = 0
            t0 = time.perf_counter_ns()
            end = t0 + int(round_s * 1e9)
            while True:
                for _ in range(200):
                    send(0x123, False, False, 8, data, 1000)
                n += 200
                if time.perf_counter_ns() >= end:
                    break
            dt = time.perf_counter_ns() - t0
            window = c.stop()
            calls += n
            if rep:
                rates.append(n / dt * 1e9)
                windows.append(window)
        wait_for(lambda: rig.adapter.state()["frames_transmitted"] - tx0 >= calls, 30,
                 "the adapter to put every frame on the wire")
        on_wire = rig.adapter.state()["frames_transmitted"] - tx0
    finally:
        sim.set_unlimited_speed(False)
    med = statistics.median(rates)
    cpu = windows[min(range(len(rates)), key=lambda k: abs(rates[k] - med))]  # the round nearest the median
    return {"calls_per_s_median": med, "calls_per_s_rounds": rates, "ns_per_call": 1e9 / med,
            "round_seconds": seconds, "calls": calls, "frames_on_wire": on_wire, "cpu_one_round": cpu}


# ----------------------------------------------------------------------------------------------------------------
# 5. CPU of an idle open handle with the bus on

def bench_idle(rig: Rig, seconds: float) -> dict:
    rig.settle(0.02)
    result = {}
    w = CpuWindow()
    w.start()
    time.sleep(seconds)
    result["no_receiver"] = w.stop()

    stop = threading.Event()
    tids = {}

    def receiver():
        tids[threading.get_native_id()] = "python receiver thread"
        while not stop.is_set():
            rig.dev.receive_frame(1000)

    t = threading.Thread(target=receiver, name="bench-idle-receiver")
    t.start()
    wait_for(lambda: tids, 5, "the receiver thread")
    time.sleep(0.2)
    w = CpuWindow(tids)
    w.start()
    time.sleep(seconds)
    result["blocked_receiver"] = w.stop()
    stop.set()
    t.join(5)
    return result


# ----------------------------------------------------------------------------------------------------------------

def run_receive_throughput(rig: Rig, args, results: dict) -> None:
    reps = args.reps * 2  # a round takes about a quarter of a second
    out(f"[1] receive_frame(0) draining a full receive queue ({QUEUE_CAPACITY} frames), beside python-can's "
        f"virtual interface recv(0) draining {QUEUE_CAPACITY} pre-sent messages (median of {reps} rounds after a "
        f"warm-up, the two drained in alternating chunks of 500; best round in brackets)")
    for via_python_can, key, label in ((False, "receive_throughput", "tavro receive_frame(0):     "),
                                       (True, "receive_throughput_python_can", "tavro can.Bus recv(0):      ")):
        r = bench_receive_throughput(rig, reps, via_python_can=via_python_can)
        results[key] = r
        out(f"    {label}   {r['tavro_fps_median']:>12,.0f} frames/s "
            f"({r['tavro_ns_per_call']:.0f} ns per frame)   [{r['tavro_fps_best']:,.0f}]")
        out(f"    python-can virtual recv(0):    {r['virtual_fps_median']:>12,.0f} frames/s "
            f"({r['virtual_ns_per_call']:.0f} ns per frame)   [{r['virtual_fps_best']:,.0f}]")
        out(f"    ratio tavro / virtual:         {r['ratio']:12.2f}   (target >= {r['target_ratio']}) "
            f"{verdict(r['pass'])}   (per-round ratios {min(r['ratio_rounds']):.2f} .. {max(r['ratio_rounds']):.2f})")
        out()


def run_sustained(rig: Rig, args, results: dict) -> None:
    sustained = []
    eight, zero = sim.Frame(0x123, bytes(range(8))), sim.Frame(0x001, b"")
    for frame, label, via_python_can in (
            (eight, "8-byte data frames", False),
            (zero, "0-byte data frames (most frames per second)", False),
            (eight, "8-byte data frames", True),
            (zero, "0-byte data frames (most frames per second)", True)):
        receiver = "python-can can.Bus recv(0.1)" if via_python_can else "receive_frame(100)"
        out(f"[2] sustained reception, 100 % bus load at {BITRATE // 1000} kbit/s, real-time wire timing, "
            f"{label}, {args.sustain_seconds:g} s, one Python thread in {receiver}")
        s = bench_sustained(rig, frame, args.sustain_seconds, warmup=1.0, via_python_can=via_python_can)
        sustained.append(s)
        out(f"    adapter received:   {s['adapter_frames_in_window']:>9,} frames ({s['adapter_fps']:,.0f} frames/s "
            f"on the bus clock)")
        out(f"    Python received:    {s['received_in_window']:>9,} frames ({s['received_fps']:,.0f} frames/s)")
        out(f"    dropped (host queue) in window: {s['dropped_in_window']}; whole run: "
            f"{s['whole_run']['dropped']} of {s['whole_run']['adapter_frames']:,} "
            f"(received {s['whole_run']['received']:,}, unaccounted {s['whole_run']['unaccounted']}); "
            f"adapter overflows: {s['adapter_rx_overflows']}   (target 0) {verdict(s['pass'])}")
        if s["receiver_errors"]:
            out(f"    receiver errors: {s['receiver_errors']}")
        out(f"    CPU per received frame (driver threads + Python receiver): "
            f"{s['cpu_us_per_received_frame']:.2f} us")
        print_cpu(s["cpu"])
        out()
    results["sustained"] = sustained


def run_latency(rig: Rig, args, results: dict) -> None:
    out(f"[3] latency, frame arrival at the adapter -> receive_frame returns in a blocked receiver "
        f"({args.latency_frames} frames injected one at a time without wire time)")
    lat = bench_latency(rig, args.latency_frames, warmup=100)
    results["latency"] = lat
    r, a, i, ia = lat["receipt_to_return"], lat["arrival_to_return"], lat["inject_to_return"], lat["inject_to_arrival"]
    out(f"    adapter-to-return:  median {r['median_us']:7.1f} us   p90 {r['p90_us']:7.1f}   "
        f"p99 {r['p99_us']:7.1f}   min {r['min_us']:6.1f}   max {r['max_us']:8.1f}   "
        f"(target median < {TARGET_MEDIAN_LATENCY_US:g} us) {verdict(lat['pass'])}")
    out("    (from the adapter model queueing the record on endpoint 0x81, host monotonic clock, to receive_frame "
        "returning)")
    out(f"    bus-end-to-return:  median {a['median_us']:7.1f} us   p90 {a['p90_us']:7.1f}   "
        f"p99 {a['p99_us']:7.1f}   min {a['min_us']:6.1f}   max {a['max_us']:8.1f}")
    out(f"    inject-to-return:   median {i['median_us']:7.1f} us   p90 {i['p90_us']:7.1f}   "
        f"p99 {i['p99_us']:7.1f}   min {i['min_us']:6.1f}   max {i['max_us']:8.1f}")
    out(f"    inject-to-arrival:  median {ia['median_us']:7.1f} us   p90 {ia['p90_us']:7.1f}   "
        f"p99 {ia['p99_us']:7.1f}")
    out(f"    (bus end = the frame's bus time from the simulator's wire log, mapped to the host clock within "
        f"{lat['bus_to_host_uncertainty_ns'] / 1000:.1f} us + 1 us bus-clock resolution; the adapter stamped every frame "
        f"with that bus time minus {lat['adapter_timestamp_offsets_us']} us. A frame without wire time ends on the bus "
        f"when it is injected, so bus-end-to-return includes the simulator's bus thread waking up and handing the "
        f"frame to the adapter model; inject-to-return adds the Python side of tavro_sim.inject)")
    if args.trace:
        tr = bench_latency_traced(rig, min(args.latency_frames, 1000))
        results["latency_trace"] = tr
        if "error" in tr:
            out(f"    scheduler trace: {tr['error']}")
        else:
            m, p9 = tr["median_us"], tr["p90_us"]
            out(f"    split by a scheduler trace ({tr['frames_followed']} frames; tracing slows every hand-over a "
                f"little), median / p90 us:")
            for key, label in (("handover", "arrival stamp -> bus thread wakes tavro-rx (simulator)"),
                               ("rx_wake", "-> tavro-rx running"),
                               ("rx_work", "-> tavro-rx has queued the frame, wakes receiver"),
                               ("receiver_wake", "-> receiver thread running"),
                               ("receiver_return", "-> receive_frame returned"),
                               ("total", "total")):
                out(f"      {label:<58} {m[key]:6.1f} / {p9[key]:6.1f}")
            out(f"      tavro-rx blocked again before queueing in {tr['rx_blocked_before_queueing_fraction']:.0%} of "
                f"frames; the bus thread woke tavro-tx-result {tr['tx_result_reader_wakeups_per_frame']:.2f} "
                f"times per frame")
    ref = bench_python_handoff(1000)
    lat["reference_python_thread_handoff"] = ref
    out(f"    reference, one Python thread waking another through a lock (no driver): median "
        f"{ref['median_us']:.1f} us   p90 {ref['p90_us']:.1f}   p99 {ref['p99_us']:.1f}   min {ref['min_us']:.1f}")
    out()


def run_send(rig: Rig, args, results: dict) -> None:
    out(f"[4] send_frame(8-byte frame) into an unlimited-speed bus, ack peer acknowledging "
        f"(median of {args.reps} rounds of {args.send_seconds:g} s)")
    snd = bench_send(rig, args.send_seconds, args.reps)
    results["send"] = snd
    out(f"    send_frame:         {snd['calls_per_s_median']:>10,.0f} calls/s ({snd['ns_per_call']:.0f} ns per call; "
        f"{snd['frames_on_wire']:,} of {snd['calls']:,} frames reached the wire)")
    out("    CPU during the round nearest the median:")
    print_cpu(snd["cpu_one_round"], "      ")
    out()


def run_idle(rig: Rig, args, results: dict) -> None:
    out(f"[5] idle open handle, bus on, no traffic, {args.idle_seconds:g} s")
    idle = bench_idle(rig, args.idle_seconds)
    results["idle"] = idle
    out("    no Python thread receiving:")
    print_cpu(idle["no_receiver"], "      ")
    out("    one Python thread blocked in receive_frame(1000):")
    print_cpu(idle["blocked_receiver"], "      ")
    out()


# ----------------------------------------------------------------------------------------------------------------
# 6. Periodic tasks at 1 kHz: what reaches the wire

def _burn(stop) -> None:
    while not stop.is_set():
        pass


def bench_periodic(rig: Rig, seconds: float, period_s: float, busy: bool) -> dict:
    """Each task sends one frame per period for `seconds`; the wire log says when each frame started on the wire.
    `busy`: one process per core spins meanwhile (a busy machine), at the same priority as this one."""
    import multiprocessing

    import can

    results = {}
    for name, arb_id in (("driver", 0x101), ("python-can thread", 0x102)):
        msg = can.Message(arbitration_id=arb_id, data=b"\x01", is_extended_id=False)
        stop = multiprocessing.Event()
        burners = [multiprocessing.Process(target=_burn, args=(stop,), daemon=True)
                   for _ in range(os.cpu_count() or 1)] if busy else []
        for p in burners:
            p.start()
        try:
            rig.settle(0.02)
            sim.wire_log()  # a fresh record
            if name == "driver":
                task = rig.bus.send_periodic(msg, period_s)
            else:
                task = can.BusABC._send_periodic_internal(rig.bus, msg, period_s)  # python-can's own thread task
            time.sleep(seconds)
            task.stop()
            counts = ({"late": task.late_frames, "skipped": task.skipped_frames, "sent": task.sent_frames}
                      if name == "driver" else None)
        finally:
            stop.set()
            for p in burners:
                p.join(5)
        rig.settle(0.05)
        starts = [r["start_us"] for r in sim.wire_log() if r["id"] == arb_id and r["sender"] != -1]
        gaps = sorted((b - a) / 1000 for a, b in zip(starts, starts[1:]))
        span_s = (starts[-1] - starts[0]) / 1e6 if len(starts) > 1 else 0.0
        expected = int(span_s / period_s) + 1 if starts else 0
        results[name] = {
            "frames": len(starts),
            "expected_in_span": expected,
            "missing": max(0, expected - len(starts)),
            "interval_ms_median": statistics.median(gaps) if gaps else None,
            "interval_ms_p99": percentile(gaps, 99) if gaps else None,
            "interval_ms_p999": percentile(gaps, 99.9) if gaps else None,
            "interval_ms_min": gaps[0] if gaps else None,
            "interval_ms_max": gaps[-1] if gaps else None,
            "intervals_over_2_periods": sum(g > 2 * period_s * 1000 for g in gaps),
            "task_counts": counts,
        }
    return results


def run_periodic(rig: Rig, args, results: dict) -> None:
    out(f"[6] periodic task at {1 / args.periodic_period:g} Hz, {args.periodic_seconds:g} s each, frames as they "
        f"started on the wire")
    results["periodic"] = {}
    for busy in (False, True):
        label = f"every core busy ({os.cpu_count()} spinning processes)" if busy else "idle machine"
        r = bench_periodic(rig, args.periodic_seconds, args.periodic_period, busy)
        results["periodic"]["busy" if busy else "idle"] = r
        out(f"    {label}:")
        for name, v in r.items():
            out(f"      {name:<18} {v['frames']:>6} frames of {v['expected_in_span']} in their span "
                f"({v['missing']} missing); interval median {v['interval_ms_median']:.3f} ms, "
                f"p99 {v['interval_ms_p99']:.3f}, p99.9 {v['interval_ms_p999']:.3f}, "
                f"min {v['interval_ms_min']:.3f}, max {v['interval_ms_max']:.3f} ms; "
                f"{v['intervals_over_2_periods']} gaps over two periods")
            if v["task_counts"]:
                c = v["task_counts"]
                out(f"      {'':<18} task counted {c['sent']} sent, {c['late']} late, {c['skipped']} skipped")
    out()


SECTIONS = {"receive": run_receive_throughput, "sustained": run_sustained, "latency": run_latency,
            "send": run_send, "idle": run_idle, "periodic": run_periodic}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")
    ap.add_argument("--only", action="append", choices=list(SECTIONS),
                    help="run only this measurement (may be repeated); default: all of them")
    ap.add_argument("--trace", action="store_true",
                    help="also split the latency at each thread hand-over with a perf scheduler trace (root)")
    ap.add_argument("--reps", type=int, default=5, help="repetitions of the cheap measurements (median taken)")
    ap.add_argument("--sustain-seconds", type=float, default=10.0, help="measured window of each sustained run")
    ap.add_argument("--latency-frames", type=int, default=2000, help="frames in the latency measurement")
    ap.add_argument("--send-seconds", type=float, default=1.5, help="length of each send_frame round")
    ap.add_argument("--idle-seconds", type=float, default=5.0, help="length of each idle CPU window")
    ap.add_argument("--periodic-seconds", type=float, default=5.0, help="length of each periodic task run")
    ap.add_argument("--periodic-period", type=float, default=0.001, help="period of the periodic tasks in s")
    ap.add_argument("--usb-path", choices=("seam", "kernel"), default="seam",
                    help="seam: the in-process simulator backend; kernel: libusb through the kernel's USB stack "
                         "(default measurement there: sustained)")
    args = ap.parse_args()
    if args.usb_path == "kernel" and not args.only:
        args.only = ["sustained"]

    env = environment()
    out("tavro data-path benchmark (simulated adapter" + (", through the kernel's USB stack)" if USB_PATH == "kernel"
                                                         else ")"))
    out(f"command:      {env['command']}")
    out(f"CPUs:         {env['cpu_count']} ({env['cpus_usable']} usable), {env['cpu_model']}")
    out(f"load average: {env['load_average']}")
    out(f"Python:       {env['implementation']} {env['python']} on {env['platform']}; python-can {env['python_can']}")
    out(f"module:       {env['module']}")
    out(f"build type:   {env['build_type']}")
    out()
    results = {"environment": env}
    started = time.monotonic()

    rig = Rig()
    try:
        for name, run in SECTIONS.items():
            if not args.only or name in args.only:
                run(rig, args, results)
    finally:
        rig.close()

    results["total_seconds"] = time.monotonic() - started
    out(f"finished in {results['total_seconds']:.1f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
        out(f"results written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
