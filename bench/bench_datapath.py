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
     driver's task);
  7. confirmed transmissions per second with 16 tickets in flight, with explicit results and with legacy echoes,
     beside send_frame on the same adapter;
  8. request/response round trips between two adapters at 500 kbit/s, 1 Mbit/s and unlimited speed, through the
     native module and through python-can, beside python-can's virtual interface;
  9. many adapters in one process, each alone on a bus at 100 % load.

The simulated adapter and bus run inside this process, so process CPU figures include them; each CPU figure is
also broken down per thread (driver threads "tavro-rx"/"tavro-tx-result", the Python caller threads, and the
simulator's threads) from /proc/self/task/*/schedstat, with each thread's wake-ups (voluntary context switches).

Run with the installed (Release) package:  .venv/bin/python bench/bench_datapath.py [--json out.json]
With --usb-path kernel the driver's default libusb backend reaches the adapter through a Linux kernel's USB stack
(USB/IP through vhci-hcd; needs root, vhci-hcd and udevd): scripts/test-usb-stack.sh --bench runs it in its guest.
"""

from __future__ import annotations

import argparse
import contextlib
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

# Targets; most are ratios to a reference measured in the same run, since absolute figures move from machine to
# machine and run to run.
TARGET_RATIO = 6.0  # receive_frame(0) draining a full queue / virtual recv(0)
TARGET_RATIO_PYTHON_CAN = 3.0  # the plugin's bus.recv(0) / virtual recv(0)
TARGET_CPU_PER_FRAME_US = 8.0  # driver threads + receiver at 100 % load, per received frame
TARGET_LATENCY_VS_HANDOFF = 1.5  # blocked receiver's median latency / one Python thread waking another
TARGET_LATENCY_P99_US = 60.0
TARGET_IDLE_WAKEUPS_PER_S = 10.0  # driver threads of one idle open adapter
TARGET_IDLE_CORE = 0.001
TARGET_CONFIRMED_PER_S = 50_000.0  # 16 confirmed transmissions in flight, unlimited-speed bus
TARGET_MANY_CORES = 1.0  # 8 adapters at 100 % load: driver threads + receivers
MANY_ADAPTERS = 8


# ----------------------------------------------------------------------------------------------------------------
# Environment and helpers


def build_type() -> str:
    """CMake build type of the imported module: from the build tree it was loaded from, or from the
    scikit-build tree that built the installed wheel (pyproject: build/<wheel tag>; bench/compare.py names the
    build folder of the source tree it built in TAVRO_BENCH_BUILD_TREE)."""
    so = os.path.realpath(ext.__file__)
    candidates = [os.path.join(os.path.dirname(so), "CMakeCache.txt")]
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build_root = os.environ.get("TAVRO_BENCH_BUILD_TREE") or os.path.join(repo, "build")
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


def thread_stats() -> dict:
    """{tid: (name, on-CPU ns, ns runnable but waiting for a CPU, voluntary context switches)} of this process's
    threads, from the scheduler's per-thread statistics. A voluntary switch is the thread blocking; each one is
    followed by a wake-up."""
    stats = {}
    base = "/proc/self/task"
    for tid in os.listdir(base):
        try:
            with open(f"{base}/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"{base}/{tid}/schedstat") as f:
                on_cpu, waiting = (int(x) for x in f.read().split()[:2])
            with open(f"{base}/{tid}/status") as f:
                voluntary = next(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches"))
        except (OSError, ValueError, IndexError, StopIteration):
            continue
        stats[int(tid)] = (name, on_cpu, waiting, voluntary)
    return stats


def thread_label(tid: int, name: str, python_threads: dict) -> str:
    if tid == os.getpid():
        return "python main thread"
    if tid in python_threads:
        return python_threads[tid]
    # The simulator's bus and, on the kernel path, its USB/IP server threads; libusb's own threads (its hotplug
    # monitor "libusb_event") work for the driver.
    if name.startswith(("tavro-sim", "tavro-usbip")):
        return "simulator (" + name + ")"
    if name.startswith(("tavro-", "libusb")):
        return "driver (" + name + ")"
    return "other (" + name + ")"


def is_driver_or_caller(label: str) -> bool:
    return not label.startswith("simulator") and not label.startswith("other")


class CpuWindow:
    """Process and per-thread CPU and wake-ups over a wall-clock window."""

    def __init__(self, python_threads: dict | None = None):
        self.python_threads = python_threads or {}  # native tid -> label

    def start(self):
        self.wall0 = time.perf_counter_ns()
        self.proc0 = time.process_time_ns()
        self.ru0 = resource.getrusage(resource.RUSAGE_SELF)
        self.thr0 = thread_stats()

    def stop(self) -> dict:
        wall = (time.perf_counter_ns() - self.wall0) / 1e9
        proc = (time.process_time_ns() - self.proc0) / 1e9
        ru = resource.getrusage(resource.RUSAGE_SELF)
        thr1 = thread_stats()
        cpu: dict[str, float] = {}
        wakeups: dict[str, int] = {}
        threads: dict[str, int] = {}
        for tid, (name, ns, _, vol) in thr1.items():
            _, ns0, _, vol0 = self.thr0.get(tid, (name, 0, 0, 0))
            label = thread_label(tid, name, self.python_threads)
            cpu[label] = cpu.get(label, 0.0) + (ns - ns0) / 1e9
            wakeups[label] = wakeups.get(label, 0) + vol - vol0
            threads[label] = threads.get(label, 0) + 1
        driver = sum(v for k, v in cpu.items() if is_driver_or_caller(k))
        return {
            "wall_s": wall,
            "process_cpu_s": proc,
            "process_cpu_per_wall_s": proc / wall,
            "user_cpu_per_wall_s": (ru.ru_utime - self.ru0.ru_utime) / wall,
            "system_cpu_per_wall_s": (ru.ru_stime - self.ru0.ru_stime) / wall,
            "voluntary_switches": ru.ru_nvcsw - self.ru0.ru_nvcsw,
            "involuntary_switches": ru.ru_nivcsw - self.ru0.ru_nivcsw,
            "per_thread_cpu_per_wall_s": {k: v / wall for k, v in sorted(cpu.items())},
            "per_thread_wakeups_per_s": {k: v / wall for k, v in sorted(wakeups.items())},
            "threads": dict(sorted(threads.items())),
            "driver_and_python_cpu_per_wall_s": driver / wall,
            # the driver's own threads ("tavro-*" outside the simulator, and libusb's), without the Python callers
            "driver_threads_cpu_per_wall_s": sum(v for k, v in cpu.items() if k.startswith("driver")) / wall,
            "driver_threads_wakeups_per_s": sum(v for k, v in wakeups.items() if k.startswith("driver")) / wall,
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
    out(
        f"{indent}process CPU per wall second: {cpu['process_cpu_per_wall_s']:.3f} core "
        f"(user {cpu['user_cpu_per_wall_s']:.3f}, system {cpu['system_cpu_per_wall_s']:.3f}; "
        f"{cpu['voluntary_switches']} voluntary / {cpu['involuntary_switches']} involuntary context switches)"
    )
    out(f"{indent}  of which driver + Python caller threads: {cpu['driver_and_python_cpu_per_wall_s']:.3f} core")
    out(f"{indent}    {'thread':<40} {'core':>7} {'wake-ups/s':>11}")
    for label, v in cpu["per_thread_cpu_per_wall_s"].items():
        n = cpu["threads"].get(label, 1)
        name = label if n == 1 else f"{label} x{n}"
        out(f"{indent}    {name:<40} {v:7.4f} {cpu['per_thread_wakeups_per_s'].get(label, 0):11.1f}")


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

    @contextlib.contextmanager
    def off_bus(self):
        """Takes the rig's adapter off the bus for a section that brings adapters of its own."""
        self.dev.set_bus_state(False)
        try:
            yield
        finally:
            self.dev.set_bus_state(True)

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
                raise RuntimeError(
                    f"drained {got_tavro} (tavro) and {got_virtual} (virtual) frames, expected {QUEUE_CAPACITY} each"
                )
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


def bench_sustained(rig: Rig, frame: "sim.Frame", seconds: float, warmup: float, via_python_can: bool = False) -> dict:
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
        "whole_run": {
            "adapter_frames": adapter_total,
            "received": received_total,
            "dropped": dropped_total,
            "unaccounted": adapter_total - received_total - dropped_total,
        },
        "receiver_errors": errors,
        "cpu": window,
        "via_python_can": via_python_can,
        # driver threads and the Python receiver, without the simulated adapter and bus
        "cpu_us_per_received_frame": (
            window["driver_and_python_cpu_per_wall_s"] * window["wall_s"] * 1e6 / max(1, got_after - got_before)
        ),
        "wakeups_per_received_frame": sum(
            v for k, v in window["per_thread_wakeups_per_s"].items() if is_driver_or_caller(k)
        )
        * window["wall_s"]
        / max(1, got_after - got_before),
        "pass": dropped_total == 0 and not errors and st1["rx_overflows"] == st0["rx_overflows"],
        "target_cpu_us_per_frame": TARGET_CPU_PER_FRAME_US,
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
    stats0 = stats1 = {}
    try:
        for i in range(total):
            if i == warmup:
                stats0 = thread_stats()
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
        stats1 = thread_stats()
    finally:
        stop.set()
        t.join(5)
    wire = [r for r in sim.wire_log() if r["sender"] == -1]
    if errors or lost or len(returned) != total or len(wire) != total:
        raise RuntimeError(
            f"latency run failed: errors={errors} lost={lost} returned={len(returned)}/{total} on wire={len(wire)}"
        )
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

    summary = summary_of_us

    r2r = summary(receipt_to_return)
    r2r["mean_us"] = statistics.fmean(receipt_to_return)
    # What each thread did per frame: its wake-ups, its time runnable but waiting for a CPU, its time on a CPU.
    per_thread: dict[str, dict] = {}
    for tid, (name, ns, waiting, vol) in stats1.items():
        _, ns0, waiting0, vol0 = stats0.get(tid, (name, 0, 0, 0))
        label = thread_label(tid, name, {receiver_tid[0]: "python receiver thread"})
        if label == "python main thread":
            label += " (injects)"
        acc = per_thread.setdefault(label, {"wakeups": 0.0, "waiting_us": 0.0, "on_cpu_us": 0.0})
        acc["wakeups"] += (vol - vol0) / frames
        acc["waiting_us"] += (waiting - waiting0) / 1000 / frames
        acc["on_cpu_us"] += (ns - ns0) / 1000 / frames
    samples = {}
    if keep_samples:  # host monotonic ns of each measured frame, for lining up with a scheduler trace
        samples = {
            "receiver_tid": receiver_tid[0],
            "samples": [
                {"inject_ns": inject_ns[k], "arrival_ns": wire[k]["end_us"] * 1000 + c_ns, "return_ns": returned[k][0]}
                for k in range(warmup, total)
            ],
        }
    return {
        **samples,
        "frames": frames,
        "bus_to_host_offset_ns": c_ns,
        "bus_to_host_uncertainty_ns": c_uncertainty,
        "adapter_timestamp_offsets_us": sorted(stamp_offsets),
        "receipt_to_return": r2r,
        "per_frame_by_thread": {k: v for k, v in sorted(per_thread.items()) if v["wakeups"] >= 0.01},
        "arrival_to_return": summary(arrival_to_return),
        "inject_to_return": summary(inject_to_return),
        "inject_to_arrival": summary(inject_to_arrival),
        "target_p99_us": TARGET_LATENCY_P99_US,
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
        rec = subprocess.Popen(
            [
                perf,
                "record",
                "-q",
                "-a",
                "-k",
                "CLOCK_MONOTONIC",
                "-e",
                "sched:sched_waking,sched:sched_switch",
                "-o",
                data,
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        time.sleep(1.0)  # perf needs a moment before it records
        if rec.poll() is not None:
            return {"error": "perf record failed: " + rec.stderr.read().decode(errors="replace").strip()[-300:]}
        try:
            lat = bench_latency(rig, frames, warmup=100, keep_samples=True)
        finally:
            rec.send_signal(signal.SIGINT)
            rec.wait(60)
        script = subprocess.run(
            [perf, "script", "-i", data, "--ns", "-F", "pid,tid,time,event,trace"], capture_output=True, text=True
        )
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
        for name, v in (
            ("handover", bw - a),
            ("rx_wake", ron - bw),
            ("rx_work", rw - ron),
            ("receiver_wake", con - rw),
            ("receiver_return", r - con),
            ("total", r - a),
        ):
            segments[name].append(v / 1000)
        if any(e[2] == "s" and e[3] == rx for e in events[i_ron:i_rw]):
            rx_blocked += 1
        spurious += sum(
            1
            for e in events[first(a - 1000, r, lambda e: True) or i_bw : i_rw]
            if e[2] == "w" and e[1] == bus and e[3] in tx_results
        )
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
    d = sorted((w - r) / 1000 for w, r in zip(woke[rounds // 10 :], released[rounds // 10 :]))
    return {"median_us": statistics.median(d), "p90_us": percentile(d, 90), "p99_us": percentile(d, 99), "min_us": d[0]}


# ----------------------------------------------------------------------------------------------------------------
# 4. send_frame calls per second into an unlimited-speed bus

DATA8 = bytes(range(8))


def send_burst(dev, seconds: float) -> tuple[int, int]:
    """send_frame(8-byte frame) as fast as it goes for `seconds`: (calls, ns)."""
    send = dev.send_frame
    data = DATA8
    n = 0
    t0 = time.perf_counter_ns()
    end = t0 + int(seconds * 1e9)
    while True:
        for _ in range(200):
            send(0x123, False, False, 8, data, 1000)
        n += 200
        if time.perf_counter_ns() >= end:
            return n, time.perf_counter_ns() - t0


def bench_send(rig: Rig, seconds: float, reps: int) -> dict:
    rig.settle(0.02)
    sim.set_unlimited_speed(True)
    rates = []
    windows = []
    try:
        tx0 = rig.adapter.state()["frames_transmitted"]
        calls = 0
        for rep in range(reps + 1):  # the first round is a warm-up
            c = CpuWindow()
            c.start()
            n, dt = send_burst(rig.dev, seconds if rep else min(0.5, seconds))
            window = c.stop()
            calls += n
            if rep:
                rates.append(n / dt * 1e9)
                windows.append(window)
        wait_for(
            lambda: rig.adapter.state()["frames_transmitted"] - tx0 >= calls,
            30,
            "the adapter to put every frame on the wire",
        )
        on_wire = rig.adapter.state()["frames_transmitted"] - tx0
    finally:
        sim.set_unlimited_speed(False)
    med = statistics.median(rates)
    return {
        "calls_per_s_median": med,
        "calls_per_s_rounds": rates,
        "ns_per_call": 1e9 / med,
        "round_seconds": seconds,
        "calls": calls,
        "frames_on_wire": on_wire,
        "cpu_one_round": windows[nearest(rates, med)],
    }


def nearest(values: list, target: float) -> int:
    """Index of the value nearest `target` (the round whose CPU figures stand for the median)."""
    return min(range(len(values)), key=lambda k: abs(values[k] - target))


# ----------------------------------------------------------------------------------------------------------------
# Sections with adapters of their own. The rig's adapter leaves bus 0 meanwhile, so that it neither receives their
# frames nor competes for the CPU.


class Missing(Exception):
    """The measured build lacks what a section needs: reported as missing, not as failed."""


def plug_adapter(serial: str, **plug_args):
    adapter = sim.plug(serial, **plug_args)
    if USB_PATH == "kernel":
        sim.attach_vhci(adapter)
        wait_for(lambda: serial in ext.list_devices(), 60, "the kernel and udev to announce the adapter")
    return adapter


def open_native(serial: str, bitrate: int = BITRATE, confirm: bool = False):
    dev = ext.NativeTavroDevice(serial)
    dev.set_bitrate(bitrate, SAMPLE_POINT)
    if confirm:
        dev.configure_confirmation(True)
    dev.set_bus_state(True)
    return dev


def set_confirmation(dev, on: bool) -> None:
    dev.set_bus_state(False)
    dev.configure_confirmation(on)
    dev.set_bus_state(True)


# ----------------------------------------------------------------------------------------------------------------
# 7. Confirmed transmissions per second with tickets in flight


def confirmed_burst(dev, seconds: float, in_flight: int) -> tuple[int, int, int]:
    """submit_frame + wait with `in_flight` tickets outstanding, oldest waited for first, for `seconds`:
    (transmissions, ns, how many did not end in success)."""
    from collections import deque

    submit = dev.submit_frame
    data = DATA8
    window = deque(submit(0x123, False, False, 8, data, 1000) for _ in range(in_flight))
    n = failed = 0
    t0 = time.perf_counter_ns()
    end = t0 + int(seconds * 1e9)
    while True:
        for _ in range(100):
            if window.popleft().wait(1000)["status"] != "success":
                failed += 1
            window.append(submit(0x123, False, False, 8, data, 1000))
        n += 100
        if time.perf_counter_ns() >= end:
            break
    dt = time.perf_counter_ns() - t0
    for t in window:
        if t.wait(1000)["status"] != "success":
            failed += 1
    return n, dt, failed


def bench_confirmed(seconds: float, reps: int, explicit: bool, in_flight: int = 16) -> dict:
    """Rounds of unconfirmed send_frame (the reference) and of confirmed transmissions alternate on one adapter, on
    an unlimited-speed bus acknowledged by the simulator's ack peer; the ratio is taken per pair of rounds."""
    serial = "tav.io:CANI0101" if explicit else "tav.io:CANI0102"
    adapter = plug_adapter(serial)
    if not explicit:  # without explicit transmission results the adapter confirms through its echoes
        adapter.set_profile(features_supported=adapter.features_supported & ~0x20)
    dev = open_native(serial)
    sim.set_unlimited_speed(True)
    rates, refs, ratios, windows = [], [], [], []
    failed = 0
    try:
        for rep in range(reps + 1):  # the first pair is a warm-up
            round_s = seconds if rep else min(0.3, seconds)
            set_confirmation(dev, False)
            n, dt = send_burst(dev, round_s)
            ref = n / dt * 1e9
            wait_for(lambda: adapter.state()["tx_in_flight"] == 0, 30, "the adapter to send what it holds")
            set_confirmation(dev, True)
            c = CpuWindow()
            c.start()
            n, dt, f = confirmed_burst(dev, round_s, in_flight)
            window = c.stop()
            if rep:
                rates.append(n / dt * 1e9)
                refs.append(ref)
                ratios.append(rates[-1] / ref)
                windows.append(window)
                failed += f
        result_mode = dev.confirmation_info()["result_mode"]
    finally:
        sim.set_unlimited_speed(False)
        dev.close()
        adapter.unplug()
    med = statistics.median(rates)
    cpu = windows[nearest(rates, med)]
    return {
        "result_mode": result_mode,
        "in_flight": in_flight,
        "round_seconds": seconds,
        "per_s_median": med,
        "per_s_rounds": rates,
        "reference_send_frame_per_s_median": statistics.median(refs),
        "ratio_to_send_frame": statistics.median(ratios),
        "not_successful": failed,
        "cpu_one_round": cpu,
        "cpu_us_per_transmission": cpu["driver_and_python_cpu_per_wall_s"] * 1e6 / med,
        "target_per_s": TARGET_CONFIRMED_PER_S,
        "pass": med >= TARGET_CONFIRMED_PER_S and failed == 0,
    }


# ----------------------------------------------------------------------------------------------------------------
# 8. Request/response round trip: a request on one adapter, answered by a Python responder on another

REQUEST_ID, RESPONSE_ID = 0x7E0, 0x7E8  # as a diagnostic request and its answer


def summary_of_us(values_us: list) -> dict:
    v = sorted(values_us)
    return {
        "median_us": statistics.median(v),
        "p90_us": percentile(v, 90),
        "p99_us": percentile(v, 99),
        "min_us": v[0],
        "max_us": v[-1],
    }


def summary_us(values_ns: list) -> dict:
    return summary_of_us([x / 1000 for x in values_ns])


def responder_thread(answer, stop: threading.Event, errors: list) -> threading.Thread:
    """Runs `answer()` (receive one request with a short time-out, send its response) until stopped."""

    def run():
        try:
            while not stop.is_set():
                answer()
        except Exception as e:  # noqa: BLE001 - reported by the caller
            errors.append(repr(e))

    t = threading.Thread(target=run, name="bench-responder")
    t.start()
    return t


def roundtrip_native(req, resp, requests: int, warmup: int) -> list:
    """send_frame + receive_frame on `req`; `resp` answers each request with its data. Returns ns per round trip."""
    stop, errors = threading.Event(), []

    def answer():
        f = resp.receive_frame(100)
        if f is not None:
            resp.send_frame(RESPONSE_ID, False, False, 8, f[6], 1000)

    t = responder_thread(answer, stop, errors)
    send, receive, clock = req.send_frame, req.receive_frame, time.perf_counter_ns
    times = []
    try:
        for i in range(warmup + requests):
            data = i.to_bytes(8, "little")
            t0 = clock()
            send(REQUEST_ID, False, False, 8, data, 1000)
            f = receive(2000)
            t1 = clock()
            if f is None or f[1] != RESPONSE_ID or f[6] != data:
                raise RuntimeError(f"round trip {i}: got {f!r}; responder errors {errors}")
            if i >= warmup:
                times.append(t1 - t0)
    finally:
        stop.set()
        t.join(5)
    return times


def roundtrip_python_can(req, resp, requests: int, warmup: int) -> list:
    """The same through python-can's Bus API (send + recv), on any interface."""
    import can

    stop, errors = threading.Event(), []

    def answer():
        m = resp.recv(0.1)
        if m is not None:
            resp.send(can.Message(arbitration_id=RESPONSE_ID, data=m.data, is_extended_id=False))

    t = responder_thread(answer, stop, errors)
    send, recv, clock = req.send, req.recv, time.perf_counter_ns
    times = []
    try:
        for i in range(warmup + requests):
            msg = can.Message(arbitration_id=REQUEST_ID, data=i.to_bytes(8, "little"), is_extended_id=False)
            t0 = clock()
            send(msg)
            m = recv(2.0)
            t1 = clock()
            if m is None or m.arbitration_id != RESPONSE_ID or m.data != msg.data:
                raise RuntimeError(f"round trip {i}: got {m!r}; responder errors {errors}")
            if i >= warmup:
                times.append(t1 - t0)
    finally:
        stop.set()
        t.join(5)
    return times


def wire_time_us() -> float:
    """Median wire time of a request plus that of a response, from the wire log since the last call."""
    log = sim.wire_log()
    per_id = {i: [r["end_us"] - r["start_us"] for r in log if r["id"] == i] for i in (REQUEST_ID, RESPONSE_ID)}
    return sum(statistics.median(v) if v else 0.0 for v in per_id.values())


def bench_roundtrip(requests: int, warmup: int = 100) -> dict:
    import can

    serials = ("tav.io:CANI0201", "tav.io:CANI0202")
    adapters = [plug_adapter(s) for s in serials]
    results = {}
    try:
        for key, bitrate, unlimited in (
            ("500k", 500_000, False),
            ("1M", 1_000_000, False),
            ("unlimited", 1_000_000, True),
        ):
            sim.set_unlimited_speed(unlimited)
            buses = [
                can.Bus(interface="tavro", channel=s, bitrate=bitrate, sample_point=SAMPLE_POINT / 10) for s in serials
            ]
            try:
                r = {"bitrate": bitrate, "unlimited_speed": unlimited}
                sim.wire_log()
                r["native"] = summary_us(roundtrip_native(buses[0]._dev, buses[1]._dev, requests, warmup))
                r["wire_us"] = wire_time_us()
                r["python_can"] = summary_us(roundtrip_python_can(buses[0], buses[1], requests, warmup))
            finally:
                for b in buses:
                    b.shutdown()
            channel = f"tavro-bench-rtt-{os.getpid()}"
            virtual = [can.Bus(interface="virtual", channel=channel) for _ in range(2)]
            try:
                r["virtual"] = summary_us(roundtrip_python_can(virtual[0], virtual[1], requests, warmup))
            finally:
                for b in virtual:
                    b.shutdown()
            for side in ("native", "python_can"):
                r[side]["median_beyond_wire_us"] = r[side]["median_us"] - r["wire_us"]
                r[side]["median_vs_virtual"] = r[side]["median_us"] / r["virtual"]["median_us"]
            results[key] = r
    finally:
        sim.set_unlimited_speed(False)
        for a in adapters:
            a.unplug()
    return {"requests": requests, **results}


# ----------------------------------------------------------------------------------------------------------------
# 9. Many adapters in one process, each on a bus of its own at 100 % load


def native_tids(name: str, before: set) -> list:
    return [t for t in thread_ids(name) if t not in before]


def bench_many(count: int, frame: "sim.Frame", seconds: float, warmup: float) -> dict:
    """`count` adapters, adapter k alone on simulated bus k + 1 with a line-rate stream of its own (1 Mbit/s, real
    wire timing), one Python thread per adapter in receive_frame. Each adapter's own threads are told apart by the
    order in which they started."""
    serials = [f"tav.io:CANJ{301 + k:04d}" for k in range(count)]
    adapters, devs, threads, per = [], [], [], []
    stop = threading.Event()
    counts = [0] * count
    errors: list = []
    receiver_tids: dict = {}  # native tid -> adapter index

    def receiver(k: int, dev) -> None:
        receiver_tids[threading.get_native_id()] = k
        receive, n = dev.receive_frame, 0
        try:
            while not stop.is_set():
                if receive(100) is not None:
                    n += 1
                    counts[k] = n
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    try:
        for k, serial in enumerate(serials):
            adapters.append(plug_adapter(serial, bus=k + 1))
            before = set(thread_ids("tavro-rx")) | set(thread_ids("tavro-tx-result"))
            devs.append(open_native(serial))
            per.append(
                {"serial": serial, "tids": native_tids("tavro-rx", before) + native_tids("tavro-tx-result", before)}
            )
            threads.append(threading.Thread(target=receiver, args=(k, devs[k]), name=f"bench-receiver-{k}"))
            threads[-1].start()
        wait_for(lambda: len(receiver_tids) == count, 5, "the receiver threads")
        st0 = [a.state() for a in adapters]
        dropped0 = [d.dropped_frame_count() for d in devs]
        for k in range(count):
            sim.start_stream(frame, bitrate=BITRATE, bus=k + 1)
        time.sleep(warmup)
        cpu = CpuWindow(dict.fromkeys(receiver_tids, "python receiver thread"))
        got0, adapter0 = list(counts), [a.state()["frames_received"] for a in adapters]
        stats0 = thread_stats()
        cpu.start()
        time.sleep(seconds)
        window = cpu.stop()
        stats1 = thread_stats()
        got1, adapter1 = list(counts), [a.state()["frames_received"] for a in adapters]
        for k in range(count):
            sim.stop_stream(bus=k + 1)
        wait_for(
            lambda: all(a.state()["rx_queued_bytes"] == 0 for a in adapters),
            10,
            "the adapters to hand over their records",
        )
        last = [sum(counts), time.monotonic()]

        def quiet():
            if sum(counts) != last[0]:
                last[0], last[1] = sum(counts), time.monotonic()
            return time.monotonic() - last[1] > 0.3

        wait_for(quiet, 30, "the receivers to go quiet")
        dropped1 = [d.dropped_frame_count() for d in devs]
        st1 = [a.state() for a in adapters]
    finally:
        stop.set()
        for t in threads:
            t.join(5)
        for k in range(len(adapters)):
            sim.stop_stream(bus=k + 1)
        for d in devs:
            d.close()
        for a in adapters:
            a.unplug()
    rtids = {k: tid for tid, k in receiver_tids.items()}
    wall = window["wall_s"]
    for k, p in enumerate(per):
        tids = [*p.pop("tids"), rtids[k]]
        p["frames_in_window"] = adapter1[k] - adapter0[k]
        p["received_in_window"] = got1[k] - got0[k]
        p["adapter_frames"] = st1[k]["frames_received"] - st0[k]["frames_received"]
        p["received"] = counts[k]
        p["dropped"] = dropped1[k] - dropped0[k]
        p["adapter_rx_overflows"] = st1[k]["rx_overflows"] - st0[k]["rx_overflows"]
        delta = [
            (stats1[t][1] - stats0.get(t, stats1[t])[1], stats1[t][3] - stats0.get(t, stats1[t])[3])
            for t in tids
            if t in stats1
        ]
        p["cpu_per_wall_s"] = sum(d[0] for d in delta) / 1e9 / wall
        p["wakeups_per_s"] = sum(d[1] for d in delta) / wall
    received = sum(p["received_in_window"] for p in per)
    # every frame an adapter took from its bus reached its receiver, and no adapter's own buffer overflowed
    lost = sum(p["adapter_frames"] - p["received"] for p in per)
    overflows = sum(p["adapter_rx_overflows"] for p in per)
    driver = window["driver_and_python_cpu_per_wall_s"]
    return {
        "adapters": count,
        "frame": {"id": frame.id, "dlc": len(frame.data)},
        "bitrate": BITRATE,
        "seconds": wall,
        "received_fps_total": received / wall,
        "frames_lost_total": lost,
        "adapter_rx_overflows_total": overflows,
        "receiver_errors": errors,
        "per_adapter": per,
        "cpu": window,
        "driver_and_receivers_cores": driver,
        "cpu_us_per_received_frame": driver * wall * 1e6 / max(1, received),
        "target_cores": TARGET_MANY_CORES,
        "pass": lost == 0 and overflows == 0 and not errors and driver < TARGET_MANY_CORES,
    }


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
    out(
        f"[1] receive_frame(0) draining a full receive queue ({QUEUE_CAPACITY} frames), beside python-can's "
        f"virtual interface recv(0) draining {QUEUE_CAPACITY} pre-sent messages (median of {reps} rounds after a "
        f"warm-up, the two drained in alternating chunks of 500; best round in brackets)"
    )
    for via_python_can, key, label in (
        (False, "receive_throughput", "tavro receive_frame(0):     "),
        (True, "receive_throughput_python_can", "tavro can.Bus recv(0):      "),
    ):
        r = bench_receive_throughput(rig, reps, via_python_can=via_python_can)
        results[key] = r
        out(
            f"    {label}   {r['tavro_fps_median']:>12,.0f} frames/s "
            f"({r['tavro_ns_per_call']:.0f} ns per frame)   [{r['tavro_fps_best']:,.0f}]"
        )
        out(
            f"    python-can virtual recv(0):    {r['virtual_fps_median']:>12,.0f} frames/s "
            f"({r['virtual_ns_per_call']:.0f} ns per frame)   [{r['virtual_fps_best']:,.0f}]"
        )
        out(
            f"    ratio tavro / virtual:         {r['ratio']:12.2f}   (target >= {r['target_ratio']}) "
            f"{verdict(r['pass'])}   (per-round ratios {min(r['ratio_rounds']):.2f} .. {max(r['ratio_rounds']):.2f})"
        )
        out()


def run_sustained(rig: Rig, args, results: dict) -> None:
    sustained = []
    eight, zero = sim.Frame(0x123, bytes(range(8))), sim.Frame(0x001, b"")
    for frame, label, via_python_can in (
        (eight, "8-byte data frames", False),
        (zero, "0-byte data frames (most frames per second)", False),
        (eight, "8-byte data frames", True),
        (zero, "0-byte data frames (most frames per second)", True),
    ):
        receiver = "python-can can.Bus recv(0.1)" if via_python_can else "receive_frame(100)"
        out(
            f"[2] sustained reception, 100 % bus load at {BITRATE // 1000} kbit/s, real-time wire timing, "
            f"{label}, {args.sustain_seconds:g} s, one Python thread in {receiver}"
        )
        s = bench_sustained(rig, frame, args.sustain_seconds, warmup=1.0, via_python_can=via_python_can)
        sustained.append(s)
        out(
            f"    adapter received:   {s['adapter_frames_in_window']:>9,} frames ({s['adapter_fps']:,.0f} frames/s "
            f"on the bus clock)"
        )
        out(f"    Python received:    {s['received_in_window']:>9,} frames ({s['received_fps']:,.0f} frames/s)")
        out(
            f"    dropped (host queue) in window: {s['dropped_in_window']}; whole run: "
            f"{s['whole_run']['dropped']} of {s['whole_run']['adapter_frames']:,} "
            f"(received {s['whole_run']['received']:,}, unaccounted {s['whole_run']['unaccounted']}); "
            f"adapter overflows: {s['adapter_rx_overflows']}   (target 0) {verdict(s['pass'])}"
        )
        if s["receiver_errors"]:
            out(f"    receiver errors: {s['receiver_errors']}")
        out(
            f"    CPU per received frame (driver threads + Python receiver): "
            f"{s['cpu_us_per_received_frame']:.2f} us   (target <= {TARGET_CPU_PER_FRAME_US:g} us) "
            f"{verdict(s['cpu_us_per_received_frame'] <= TARGET_CPU_PER_FRAME_US)}; "
            f"{s['wakeups_per_received_frame']:.2f} wake-ups per frame"
        )
        print_cpu(s["cpu"])
        out()
    results["sustained"] = sustained


def run_latency(rig: Rig, args, results: dict) -> None:
    out(
        f"[3] latency, frame arrival at the adapter -> receive_frame returns in a blocked receiver "
        f"({args.latency_frames} frames injected one at a time without wire time)"
    )
    lat = bench_latency(rig, args.latency_frames, warmup=100)
    results["latency"] = lat
    ref = bench_python_handoff(1000)
    lat["reference_python_thread_handoff"] = ref
    r, a, i, ia = lat["receipt_to_return"], lat["arrival_to_return"], lat["inject_to_return"], lat["inject_to_arrival"]
    lat["median_vs_handoff"] = r["median_us"] / ref["median_us"]
    lat["target_median_vs_handoff"] = TARGET_LATENCY_VS_HANDOFF
    lat["pass"] = lat["median_vs_handoff"] <= TARGET_LATENCY_VS_HANDOFF and r["p99_us"] <= TARGET_LATENCY_P99_US
    out(
        f"    adapter-to-return:  median {r['median_us']:7.1f} us   p90 {r['p90_us']:7.1f}   "
        f"p99 {r['p99_us']:7.1f}   min {r['min_us']:6.1f}   max {r['max_us']:8.1f}   mean {r['mean_us']:.1f}"
    )
    out(
        f"    reference, one Python thread waking another through a lock (no driver): median "
        f"{ref['median_us']:.1f} us   p90 {ref['p90_us']:.1f}   p99 {ref['p99_us']:.1f}   min {ref['min_us']:.1f}"
    )
    out(
        f"    median / reference {lat['median_vs_handoff']:.2f} (target <= {TARGET_LATENCY_VS_HANDOFF:g}), p99 "
        f"{r['p99_us']:.1f} us (target <= {TARGET_LATENCY_P99_US:g} us) {verdict(lat['pass'])}"
    )
    out(
        "    (adapter-to-return: from the adapter model queueing the record on endpoint 0x81, host monotonic clock, to "
        "receive_frame returning)"
    )
    out("    per frame, mean over the measured frames, from each thread's scheduler statistics:")
    out(f"      {'thread':<42} {'wake-ups':>8} {'waiting for a CPU':>18} {'on a CPU':>9}")
    for label, v in lat["per_frame_by_thread"].items():
        out(f"      {label:<42} {v['wakeups']:8.2f} {v['waiting_us']:15.1f} us {v['on_cpu_us']:6.1f} us")
    rx, rcv = (
        lat["per_frame_by_thread"].get("driver (tavro-rx)"),
        lat["per_frame_by_thread"].get("python receiver thread"),
    )
    if rx and rcv:
        out(
            f"    the path, mean per frame: tavro-rx waits {rx['waiting_us']:.1f} us for a CPU and runs "
            f"{rx['on_cpu_us']:.1f} us (completes the transfer, decodes, queues, wakes the receiver); the receiver "
            f"waits {rcv['waiting_us']:.1f} us for a CPU and runs {rcv['on_cpu_us']:.1f} us (leaves the queue's "
            f"wait, takes the interpreter lock, builds the tuple, returns, calls in again; more than one wake-up "
            f"per frame means it also waited for the interpreter lock). Mean adapter-to-return {r['mean_us']:.1f} "
            f"us. A thread's figures include its work outside the path (tavro-rx re-arming transfers and waking "
            f"for time-outs, the receiver's Python loop), so they bound the stages rather than add up to the "
            f"total; --trace splits single frames"
        )
    out(
        f"    bus-end-to-return:  median {a['median_us']:7.1f} us   p90 {a['p90_us']:7.1f}   "
        f"p99 {a['p99_us']:7.1f}   min {a['min_us']:6.1f}   max {a['max_us']:8.1f}"
    )
    out(
        f"    inject-to-return:   median {i['median_us']:7.1f} us   p90 {i['p90_us']:7.1f}   "
        f"p99 {i['p99_us']:7.1f}   min {i['min_us']:6.1f}   max {i['max_us']:8.1f}"
    )
    out(f"    inject-to-arrival:  median {ia['median_us']:7.1f} us   p90 {ia['p90_us']:7.1f}   p99 {ia['p99_us']:7.1f}")
    out(
        f"    (bus end = the frame's bus time from the simulator's wire log, mapped to the host clock within "
        f"{lat['bus_to_host_uncertainty_ns'] / 1000:.1f} us + 1 us bus-clock resolution; the adapter stamped every frame "
        f"with that bus time minus {lat['adapter_timestamp_offsets_us']} us. A frame without wire time ends on the bus "
        f"when it is injected, so bus-end-to-return includes the simulator's bus thread waking up and handing the "
        f"frame to the adapter model; inject-to-return adds the Python side of tavro_sim.inject)"
    )
    if args.trace:
        tr = bench_latency_traced(rig, min(args.latency_frames, 1000))
        results["latency_trace"] = tr
        if "error" in tr:
            out(f"    scheduler trace: {tr['error']}")
        else:
            m, p9 = tr["median_us"], tr["p90_us"]
            out(
                f"    split by a scheduler trace ({tr['frames_followed']} frames; tracing slows every hand-over a "
                f"little), median / p90 us:"
            )
            for key, label in (
                ("handover", "arrival stamp -> bus thread wakes tavro-rx (simulator)"),
                ("rx_wake", "-> tavro-rx running"),
                ("rx_work", "-> tavro-rx has queued the frame, wakes receiver"),
                ("receiver_wake", "-> receiver thread running"),
                ("receiver_return", "-> receive_frame returned"),
                ("total", "total"),
            ):
                out(f"      {label:<58} {m[key]:6.1f} / {p9[key]:6.1f}")
            out(
                f"      tavro-rx blocked again before queueing in {tr['rx_blocked_before_queueing_fraction']:.0%} of "
                f"frames; the bus thread woke tavro-tx-result {tr['tx_result_reader_wakeups_per_frame']:.2f} "
                f"times per frame"
            )
    out()


def run_send(rig: Rig, args, results: dict) -> None:
    out(
        f"[4] send_frame(8-byte frame) into an unlimited-speed bus, ack peer acknowledging "
        f"(median of {args.reps} rounds of {args.send_seconds:g} s)"
    )
    snd = bench_send(rig, args.send_seconds, args.reps)
    results["send"] = snd
    out(
        f"    send_frame:         {snd['calls_per_s_median']:>10,.0f} calls/s ({snd['ns_per_call']:.0f} ns per call; "
        f"{snd['frames_on_wire']:,} of {snd['calls']:,} frames reached the wire)"
    )
    out("    CPU during the round nearest the median:")
    print_cpu(snd["cpu_one_round"], "      ")
    out()


def run_idle(rig: Rig, args, results: dict) -> None:
    out(f"[5] idle open handle, bus on, no traffic, {args.idle_seconds:g} s")
    idle = bench_idle(rig, args.idle_seconds)
    results["idle"] = idle
    for key, label in (
        ("no_receiver", "no Python thread receiving"),
        ("blocked_receiver", "one Python thread blocked in receive_frame(1000)"),
    ):
        w = idle[key]
        w["pass"] = (
            w["driver_threads_wakeups_per_s"] <= TARGET_IDLE_WAKEUPS_PER_S
            and w["driver_threads_cpu_per_wall_s"] <= TARGET_IDLE_CORE
        )
        out(
            f"    {label}: driver threads {w['driver_threads_wakeups_per_s']:.1f} wake-ups/s, "
            f"{w['driver_threads_cpu_per_wall_s'] * 100:.3f} % of a core (target <= {TARGET_IDLE_WAKEUPS_PER_S:g}/s "
            f"and <= {TARGET_IDLE_CORE * 100:g} %) {verdict(w['pass'])}"
        )
        if key == "blocked_receiver":
            out(
                f"      the receiver thread: {w['per_thread_wakeups_per_s'].get('python receiver thread', 0):.1f} "
                f"wake-ups/s, {w['per_thread_cpu_per_wall_s'].get('python receiver thread', 0) * 100:.3f} % of a "
                f"core"
            )
        print_cpu(w, "      ")
    idle["target_wakeups_per_s"] = TARGET_IDLE_WAKEUPS_PER_S
    idle["target_core"] = TARGET_IDLE_CORE
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
        burners = (
            [multiprocessing.Process(target=_burn, args=(stop,), daemon=True) for _ in range(os.cpu_count() or 1)]
            if busy
            else []
        )
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
            counts = (
                {"late": task.late_frames, "skipped": task.skipped_frames, "sent": task.sent_frames}
                if hasattr(task, "late_frames")
                else None
            )  # only the driver's task counts them
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
    out(
        f"[6] periodic task at {1 / args.periodic_period:g} Hz, {args.periodic_seconds:g} s each, frames as they "
        f"started on the wire"
    )
    results["periodic"] = {}
    for busy in (False, True):
        label = f"every core busy ({os.cpu_count()} spinning processes)" if busy else "idle machine"
        r = bench_periodic(rig, args.periodic_seconds, args.periodic_period, busy)
        results["periodic"]["busy" if busy else "idle"] = r
        out(f"    {label}:")
        for name, v in r.items():
            out(
                f"      {name:<18} {v['frames']:>6} frames of {v['expected_in_span']} in their span "
                f"({v['missing']} missing); interval median {v['interval_ms_median']:.3f} ms, "
                f"p99 {v['interval_ms_p99']:.3f}, p99.9 {v['interval_ms_p999']:.3f}, "
                f"min {v['interval_ms_min']:.3f}, max {v['interval_ms_max']:.3f} ms; "
                f"{v['intervals_over_2_periods']} gaps over two periods"
            )
            if v["task_counts"]:
                c = v["task_counts"]
                out(f"      {'':<18} task counted {c['sent']} sent, {c['late']} late, {c['skipped']} skipped")
    out()


def run_confirmed(rig: Rig, args, results: dict) -> None:
    out(
        f"[7] confirmed transmissions, 16 in flight (submit_frame; wait for the oldest ticket, submit the next), "
        f"8-byte frames, unlimited-speed bus acknowledged by the ack peer; beside send_frame on the same adapter "
        f"(median of {args.reps} pairs of {args.send_seconds:g} s rounds)"
    )
    results["confirmed"] = {}
    with rig.off_bus():
        for explicit in (True, False):
            c = bench_confirmed(args.send_seconds, args.reps, explicit)
            results["confirmed"]["explicit" if explicit else "legacy"] = c
            out(
                f"    {c['result_mode'] + ' results:':<18} {c['per_s_median']:>9,.0f} transmissions/s "
                f"(target >= {TARGET_CONFIRMED_PER_S:,.0f}) {verdict(c['pass'])}; send_frame "
                f"{c['reference_send_frame_per_s_median']:,.0f} calls/s, ratio {c['ratio_to_send_frame']:.2f}; "
                f"{c['cpu_us_per_transmission']:.1f} us CPU per transmission (driver threads + caller); "
                f"{c['not_successful']} not successful"
            )
            print_cpu(c["cpu_one_round"], "      ")
    out()


def run_roundtrip(rig: Rig, args, results: dict) -> None:
    out(
        f"[8] request/response round trip: adapter A sends a request (send_frame), a Python thread on adapter B "
        f"answers it (receive_frame, send_frame), A's receive_frame returns the answer; 8-byte frames, "
        f'{args.rtt_requests} requests after 100 warm-up; the same through python-can\'s Bus (interface "tavro"), '
        f"and between two buses of python-can's virtual interface"
    )
    with rig.off_bus():
        r = bench_roundtrip(args.rtt_requests)
    results["roundtrip"] = r
    for key, label in (
        ("500k", "500 kbit/s, real wire timing"),
        ("1M", "1 Mbit/s, real wire timing"),
        ("unlimited", "unlimited-speed bus"),
    ):
        v = r[key]
        out(f"    {label}: the two frames take {v['wire_us']:.0f} us on the wire")
        out(f"      {'':<22} {'median':>8} {'p99':>8} {'min':>8}   {'beyond the wire':>15}   {'median / virtual':>16}")
        for side, name in (
            ("native", "tavro native module"),
            ("python_can", "tavro python-can Bus"),
            ("virtual", "python-can virtual"),
        ):
            x = v[side]
            extra = (
                f"   {x['median_beyond_wire_us']:12.1f} us   {x['median_vs_virtual']:16.2f}"
                if side != "virtual"
                else ""
            )
            out(f"      {name:<22} {x['median_us']:8.1f} {x['p99_us']:8.1f} {x['min_us']:8.1f} us{extra}")
    out()


def run_many(rig: Rig, args, results: dict) -> None:
    import inspect

    if "bus" not in inspect.signature(sim.plug).parameters:
        raise Missing("the simulator has one bus only")
    n = args.many_adapters
    out(
        f"[9] {n} adapters in one process, each alone on a simulated bus at {BITRATE // 1000} kbit/s with 100 % load "
        f"from its own source (8-byte frames, real wire timing), one Python thread per adapter in "
        f"receive_frame(100), {args.sustain_seconds:g} s"
    )
    m = bench_many(n, sim.Frame(0x123, DATA8), args.sustain_seconds, warmup=1.0)
    results["many"] = m
    out(
        f"    received {m['received_fps_total']:,.0f} frames/s in all; lost {m['frames_lost_total']}, adapter "
        f"overflows {m['adapter_rx_overflows_total']}; driver threads + receivers {m['driver_and_receivers_cores']:.3f} "
        f"core (target zero lost and < {TARGET_MANY_CORES:g} core) {verdict(m['pass'])}; "
        f"{m['cpu_us_per_received_frame']:.2f} us per received frame"
    )
    if m["receiver_errors"]:
        out(f"    receiver errors: {m['receiver_errors']}")
    out(
        f"      {'adapter':<16} {'bus frames/s':>12} {'received':>9} {'dropped':>8} {'overflows':>9} "
        f"{'core':>7} {'wake-ups/s':>10}   (core and wake-ups: its tavro-rx, tavro-tx-results and receiver)"
    )
    for p in m["per_adapter"]:
        out(
            f"      {p['serial']:<16} {p['frames_in_window'] / m['seconds']:12,.0f} {p['received']:9,} "
            f"{p['dropped']:8} {p['adapter_rx_overflows']:9} {p['cpu_per_wall_s']:7.3f} {p['wakeups_per_s']:10,.0f}"
        )
    print_cpu(m["cpu"])
    out()


SECTIONS = {
    "receive": run_receive_throughput,
    "sustained": run_sustained,
    "latency": run_latency,
    "send": run_send,
    "idle": run_idle,
    "periodic": run_periodic,
    "confirmed": run_confirmed,
    "roundtrip": run_roundtrip,
    "many": run_many,
}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")
    ap.add_argument(
        "--only",
        action="append",
        choices=list(SECTIONS),
        help="run only this measurement (may be repeated); default: all of them",
    )
    ap.add_argument(
        "--trace",
        action="store_true",
        help="also split the latency at each thread hand-over with a perf scheduler trace (root)",
    )
    ap.add_argument("--reps", type=int, default=5, help="repetitions of the cheap measurements (median taken)")
    ap.add_argument("--sustain-seconds", type=float, default=10.0, help="measured window of each sustained run")
    ap.add_argument("--latency-frames", type=int, default=2000, help="frames in the latency measurement")
    ap.add_argument("--send-seconds", type=float, default=1.5, help="length of each send_frame round")
    ap.add_argument("--idle-seconds", type=float, default=5.0, help="length of each idle CPU window")
    ap.add_argument("--periodic-seconds", type=float, default=5.0, help="length of each periodic task run")
    ap.add_argument("--periodic-period", type=float, default=0.001, help="period of the periodic tasks in s")
    ap.add_argument("--rtt-requests", type=int, default=2000, help="requests of each round-trip measurement")
    ap.add_argument("--many-adapters", type=int, default=MANY_ADAPTERS, help="adapters of the many-adapter run")
    ap.add_argument(
        "--usb-path",
        choices=("seam", "kernel"),
        default="seam",
        help="seam: the in-process simulator backend; kernel: libusb through the kernel's USB stack "
        "(default measurements there: sustained, idle)",
    )
    args = ap.parse_args()
    if args.usb_path == "kernel" and not args.only:
        args.only = ["sustained", "idle"]

    env = environment()
    out(
        "tavro data-path benchmark (simulated adapter"
        + (", through the kernel's USB stack)" if USB_PATH == "kernel" else ")")
    )
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
                try:
                    run(rig, args, results)
                except (Missing, AttributeError) as e:  # an older build lacks a method the section needs
                    results.setdefault("missing", {})[name] = str(e)
                    out(f"[{name}] missing: {e}")
                    out()
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
