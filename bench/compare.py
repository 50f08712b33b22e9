#!/usr/bin/env python3
"""Before/after comparison: the whole data-path benchmark against two commits, back to back on this machine.

    bench/compare.sh BASE [HEAD] [--rounds N] [--markdown FILE] [-- benchmark arguments]

Each commit is unpacked with `git archive` into build/compare/<commit>/src and built as the Release package into
its own virtual environment build/compare/<commit>/venv (kept for the next comparison: a commit never changes).
The benchmark of this checkout (bench/bench_datapath.py as it is here, so that both sides run the same
measurements) then runs against each, alternating BASE and HEAD for N rounds, each writing JSON; a figure's value is
its median over the rounds. The table lists every figure with both values, after / before, and the target where
there is one. A section that the older build cannot run (it lacks a method) shows as missing.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(REPO, "bench", "bench_datapath.py")
BUILD_PACKAGES = ["scikit-build-core>=0.10", "cmake", "ninja", "python-can>=4.2"]


def run(cmd: list, **kw) -> subprocess.CompletedProcess:
    print("+ " + shlex.join(cmd), flush=True)
    return subprocess.run(cmd, check=True, **kw)


def resolve(rev: str) -> str:
    return subprocess.run(
        ["git", "-C", REPO, "rev-parse", "--verify", rev + "^{commit}"], check=True, capture_output=True, text=True
    ).stdout.strip()


def build(commit: str) -> str:
    """Builds the Release package of `commit` into its own virtual environment; returns that environment's python."""
    root = os.path.join(REPO, "build", "compare", commit[:12])
    src, venv = os.path.join(root, "src"), os.path.join(root, "venv")
    python = os.path.join(venv, "bin", "python")
    stamp = os.path.join(root, "installed")
    if os.path.exists(stamp):
        return python
    if not os.path.isdir(src):
        os.makedirs(src + ".part", exist_ok=True)
        archive = subprocess.Popen(["git", "-C", REPO, "archive", commit], stdout=subprocess.PIPE)
        run(["tar", "-x", "-C", src + ".part"], stdin=archive.stdout)
        if archive.wait() != 0:
            raise RuntimeError(f"git archive {commit} failed")
        with open(os.path.join(src + ".part", "source-revision"), "w") as f:
            f.write(commit + "\n")  # what the library reports as its revision, where git cannot answer
        os.rename(src + ".part", src)
    if not os.path.exists(python):
        run([sys.executable, "-m", "venv", venv])
    pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    run(pip + ["--upgrade", "pip"])
    run(pip + BUILD_PACKAGES)
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    run(["nice", "-n", "10"] + pip + ["--no-build-isolation", src], env=env, cwd=src)
    open(stamp, "w").close()
    return python


def bench(python: str, commit: str, out_json: str, extra: list) -> dict:
    env = dict(os.environ, TAVRO_BENCH_BUILD_TREE=os.path.join(REPO, "build", "compare", commit[:12], "src", "build"))
    run([python, BENCH, "--json", out_json] + extra, env=env, cwd=REPO)
    with open(out_json) as f:
        return json.load(f)


# ----------------------------------------------------------------------------------------------------------------
# The figures of the table: (label, how to read it from the JSON, "higher" or "lower" is better, target or None).
# A target is (comparison, value) on the figure itself; the benchmark states the ratio targets as ratios to its
# in-run references, so they read the same on any machine.


def _sustained(i: int, key: str):
    return lambda r: r["sustained"][i][key]


def _rtt(rate: str, side: str, key: str):
    return lambda r: r["roundtrip"][rate][side][key]


FIGURES = [
    ("receive_frame(0), full queue: frames/s", lambda r: r["receive_throughput"]["tavro_fps_median"], "higher", None),
    (
        "  virtual recv(0): frames/s (reference)",
        lambda r: r["receive_throughput"]["virtual_fps_median"],
        "higher",
        None,
    ),
    ("  ratio to virtual", lambda r: r["receive_throughput"]["ratio"], "higher", (">=", 6.0)),
    (
        "plugin bus.recv(0), full queue: frames/s",
        lambda r: r["receive_throughput_python_can"]["tavro_fps_median"],
        "higher",
        None,
    ),
    ("  ratio to virtual", lambda r: r["receive_throughput_python_can"]["ratio"], "higher", (">=", 3.0)),
]
for _i, _what in enumerate(
    ("receive_frame, 8-byte", "receive_frame, 0-byte", "plugin recv, 8-byte", "plugin recv, 0-byte")
):
    FIGURES += [
        (f"100 % load 1 Mbit/s, {_what}: frames/s received", _sustained(_i, "received_fps"), "higher", None),
        ("  dropped (whole run)", lambda r, i=_i: r["sustained"][i]["whole_run"]["dropped"], "lower", ("<=", 0)),
        (
            "  CPU per frame, driver + receiver (us)",
            _sustained(_i, "cpu_us_per_received_frame"),
            "lower",
            ("<=", 8.0) if _i < 2 else None,
        ),
        ("  driver + receiver wake-ups per frame", _sustained(_i, "wakeups_per_received_frame"), "lower", None),
    ]
FIGURES += [
    ("latency adapter -> return, median (us)", lambda r: r["latency"]["receipt_to_return"]["median_us"], "lower", None),
    ("  p99 (us)", lambda r: r["latency"]["receipt_to_return"]["p99_us"], "lower", ("<=", 60.0)),
    (
        "  thread-wake reference, median (us)",
        lambda r: r["latency"]["reference_python_thread_handoff"]["median_us"],
        "lower",
        None,
    ),
    (
        "  median / thread-wake reference",
        lambda r: (
            r["latency"]["receipt_to_return"]["median_us"]
            / r["latency"]["reference_python_thread_handoff"]["median_us"]
        ),
        "lower",
        ("<=", 1.5),
    ),
    ("send_frame, unlimited speed: calls/s", lambda r: r["send"]["calls_per_s_median"], "higher", None),
    (
        "idle handle: driver wake-ups/s",
        lambda r: r["idle"]["no_receiver"]["driver_threads_wakeups_per_s"],
        "lower",
        ("<=", 10.0),
    ),
    (
        "  driver CPU (% of a core)",
        lambda r: 100 * r["idle"]["no_receiver"]["driver_threads_cpu_per_wall_s"],
        "lower",
        ("<=", 0.1),
    ),
    (
        "  with a blocked receiver: driver wake-ups/s",
        lambda r: r["idle"]["blocked_receiver"]["driver_threads_wakeups_per_s"],
        "lower",
        ("<=", 10.0),
    ),
    (
        "  with a blocked receiver: receiver wake-ups/s",
        lambda r: r["idle"]["blocked_receiver"]["per_thread_wakeups_per_s"]["python receiver thread"],
        "lower",
        None,
    ),
    (
        "periodic 1 kHz, idle machine: interval p99 (ms)",
        lambda r: r["periodic"]["idle"]["driver"]["interval_ms_p99"],
        "lower",
        None,
    ),
    ("  busy machine: interval p99 (ms)", lambda r: r["periodic"]["busy"]["driver"]["interval_ms_p99"], "lower", None),
    ("  busy machine: frames missing", lambda r: r["periodic"]["busy"]["driver"]["missing"], "lower", None),
    (
        "confirmed, 16 in flight, explicit results: /s",
        lambda r: r["confirmed"]["explicit"]["per_s_median"],
        "higher",
        (">=", 50_000),
    ),
    ("  ratio to send_frame", lambda r: r["confirmed"]["explicit"]["ratio_to_send_frame"], "higher", None),
    (
        "confirmed, 16 in flight, legacy echoes: /s",
        lambda r: r["confirmed"]["legacy"]["per_s_median"],
        "higher",
        (">=", 50_000),
    ),
    ("  ratio to send_frame", lambda r: r["confirmed"]["legacy"]["ratio_to_send_frame"], "higher", None),
]
for _rate, _what in (("500k", "500 kbit/s"), ("1M", "1 Mbit/s"), ("unlimited", "unlimited speed")):
    FIGURES += [
        (
            f"round trip {_what}: wire time of both frames (us)",
            lambda r, k=_rate: r["roundtrip"][k]["wire_us"],
            "lower",
            None,
        ),
        ("  native module, median (us)", _rtt(_rate, "native", "median_us"), "lower", None),
        ("  native module, p99 (us)", _rtt(_rate, "native", "p99_us"), "lower", None),
        ("  python-can Bus, median (us)", _rtt(_rate, "python_can", "median_us"), "lower", None),
        ("  python-can Bus, p99 (us)", _rtt(_rate, "python_can", "p99_us"), "lower", None),
        ("  virtual interface, median (us)", _rtt(_rate, "virtual", "median_us"), "lower", None),
    ]
FIGURES += [
    (
        "8 adapters at 100 % load: frames lost",
        lambda r: r["many"]["frames_lost_total"] + r["many"]["adapter_rx_overflows_total"],
        "lower",
        ("<=", 0),
    ),
    ("  driver threads + receivers (cores)", lambda r: r["many"]["driver_and_receivers_cores"], "lower", ("<", 1.0)),
    ("  CPU per received frame (us)", lambda r: r["many"]["cpu_us_per_received_frame"], "lower", None),
]


def value(results: list, read) -> float | None:
    """Median of a figure over the rounds; None where the build could not produce it."""
    values = []
    for r in results:
        try:
            values.append(float(read(r)))
        except (KeyError, TypeError, ZeroDivisionError, IndexError):
            pass
    return statistics.median(values) if values else None


def fmt(v: float | None) -> str:
    if v is None:
        return "missing"
    if v == 0 or abs(v) >= 1000:
        return f"{v:,.0f}"
    return f"{v:.3g}" if abs(v) < 10 else f"{v:.1f}"


def target_text(target, v: float | None) -> str:
    if target is None:
        return ""
    op, limit = target
    text = f"{op.replace('>=', '≥').replace('<=', '≤')} {fmt(limit)}"
    if v is None:
        return text
    met = {">=": v >= limit, "<=": v <= limit, "<": v < limit}[op]
    return text + (" met" if met else " **missed**")


def table(base: list, head: list, base_name: str, head_name: str) -> str:
    lines = [
        f"| figure | before ({base_name}) | after ({head_name}) | after / before | target |",
        "|---|---:|---:|---:|---|",
    ]
    for label, read, _better, target in FIGURES:
        b, h = value(base, read), value(head, read)
        ratio = f"{h / b:.2f}" if b and h is not None else ""
        lines.append(
            f"| {label.replace('  ', '&nbsp;&nbsp;')} | {fmt(b)} | {fmt(h)} | {ratio} | {target_text(target, h)} |"
        )
    return "\n".join(lines)


def environment_line(results: list) -> str:
    loads = [r["environment"]["load_average"][0] for r in results]
    env = results[0]["environment"]
    return (
        f"{env['cpu_count']} CPUs ({env['cpu_model']}), Python {env['python']}, python-can {env['python_can']}; "
        f"load average (1 min) at the start of each run: {', '.join(f'{x:.1f}' for x in loads)}"
    )


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("base", help="the commit before")
    ap.add_argument("head", nargs="?", default="HEAD", help="the commit after (default HEAD)")
    ap.add_argument("--rounds", type=int, default=1, help="benchmark runs per commit, alternating (median taken)")
    ap.add_argument("--markdown", metavar="FILE", help="also write the table to FILE")
    ap.add_argument("bench_args", nargs=argparse.REMAINDER, help="after --: arguments for bench_datapath.py")
    args = ap.parse_args()
    extra = [a for a in args.bench_args if a != "--"]

    commits = {"base": resolve(args.base), "head": resolve(args.head)}
    pythons = {k: build(c) for k, c in commits.items()}
    results: dict[str, list] = {"base": [], "head": []}
    started = time.monotonic()
    out_dir = os.path.join(REPO, "build", "compare")
    for n in range(args.rounds):
        for k in ("base", "head"):
            out_json = os.path.join(out_dir, f"{k}-{commits[k][:12]}-{n + 1}.json")
            results[k].append(bench(pythons[k], commits[k], out_json, extra))
    given = {"base": args.base, "head": args.head}
    # A revision given as a hash needs no second spelling beside its abbreviation.
    names = {k: c[:9] if c.startswith(given[k]) else f"{given[k]} = {c[:9]}" for k, c in commits.items()}
    text = (
        f"{table(results['base'], results['head'], names['base'], names['head'])}\n\n"
        f"{environment_line(results['base'] + results['head'])}; {args.rounds} run(s) per commit, alternating, "
        f"{time.monotonic() - started:.0f} s in all.\n"
    )
    missing = {k: sorted(set().union(*(r.get("missing", {}) for r in results[k]))) for k in results}
    for k, sections in missing.items():
        if sections:
            text += f"Missing in {names[k]}: {', '.join(sections)}.\n"
    print()
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
