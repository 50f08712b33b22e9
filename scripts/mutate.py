#!/usr/bin/env python3
"""Mutation testing of the driver's logic layers and the python-can plugin, on demand (slow: not part of the test
command).

    .venv/bin/python scripts/mutate.py [--files PATH...] [--sample N --seed S] [--jobs J] [--fresh]

Mutants come from universalmutator (regular-expression rules for C++ and Python). Each one is written into a scratch
copy of the source tree under build/mutation/ (the checkout's own files are never touched), built incrementally in
one Ninja tree per job, and tested: the C++ tests whose files reach the mutated layer first, then the others, stopping
at the first failure; then, only when all pass, the Python suite (-x) against that build. A plugin mutant needs no
build and runs the Python suite only, the plugin's own test files first. Every run has a time limit; a mutant that
hangs a suite counts as killed by time-out. Mutants that cannot change behaviour are listed, each with its reason, in
tests/mutation/equivalent.tsv and are not counted.

Results go to build/mutation/results.jsonl as they come (a run that stops resumes where it was; --fresh forgets), and
the table and the score per layer to tests/mutation/results.md.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import datetime
import fnmatch
import hashlib
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tokenize
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutation"
RESULTS = WORK / "results.jsonl"
EQUIVALENT = ROOT / "tests" / "mutation" / "equivalent.tsv"
REPORT = ROOT / "tests" / "mutation" / "results.md"
CPP_LAYERS = ("stream", "session", "echo", "handle", "device")
PLUGIN_DIR = "python/tavro_can"

# Mutants that the compiler would refuse anyway (a digit changed inside a name such as uint64_t, a template's angle
# bracket taken for a comparison, a function's or a block's opening or closing line commented out): left out before
# sampling, so that the sample's time goes to mutants that build. The house style puts spaces around every binary
# operator, which is what tells a comparison from a template bracket.
_IDENT = re.compile(r"[A-Za-z0-9_]")


@dataclass
class Mutant:
    path: str  # relative to the repository
    line: int
    original: str
    mutated: str
    text: str  # the whole mutated file

    @property
    def layer(self) -> str:
        return "plugin" if self.path.startswith(PLUGIN_DIR) else self.path.split("/")[1]

    @property
    def key(self) -> str:
        digest = hashlib.sha1(f"{self.original}\0{self.mutated}".encode()).hexdigest()[:12]
        return f"{self.path}:{self.line}:{digest}"


def changed_span(a: str, b: str) -> tuple[int, int, int]:
    """(start, end in a, end in b) of the part of line a that b replaces."""
    p = 0
    while p < min(len(a), len(b)) and a[p] == b[p]:
        p += 1
    s = 0
    while s < min(len(a), len(b)) - p and a[len(a) - 1 - s] == b[len(b) - 1 - s]:
        s += 1
    return p, len(a) - s, len(b) - s


_OPS = set("<>=!&|*+-/%")
_WORDS = {"true", "false", "break", "continue", "and", "or", "True", "False", "None"}


def stillborn(original: str, mutated: str, path: str) -> bool:
    language = "python" if path.endswith(".py") else "cpp"
    stripped = original.strip()
    if not stripped or stripped.startswith(
        (
            "#",
            "//",
            "/*",
            "*",
            "namespace",
            "}  // namespace",
            "using ",
            "import ",
            "from ",
            "class ",
            "template",
            "struct ",
            "enum ",
            "def ",
            "@",
        )
    ):
        return True
    start, end, mend = changed_span(original, mutated)
    span, new = original[start:end], mutated[start:mend]
    before = original[start - 1] if start > 0 else " "
    after = original[end] if end < len(original) else " "
    # Inside a string literal only the emptied text stays (a wrong message); the rest is noise.
    if _in_string(original, start) and not (before == '"' and after == '"' and not new):
        return True

    # A change that cuts into a name or a number (uint64_t, PendingSlot, 0x04) makes another name: only whole words
    # that swap for one another (true and false) stay.
    def word(c: str) -> bool:
        return bool(_IDENT.match(c))

    cut = (word(before) and (word(span[:1]) or word(new[:1]) or word(after))) or (
        word(after) and (word(span[-1:]) or word(new[-1:]))
    )
    cut = cut or (before == "." and original[start - 2 : start - 1].isdigit())  # inside a number such as 0.999
    if cut:
        while start > 0 and _IDENT.match(original[start - 1]):
            start -= 1
        while end < len(original) and _IDENT.match(original[end]):
            end += 1
            mend += 1
        if not (original[start:end] in _WORDS and mutated[start:mend] in _WORDS):
            return True
    if language == "cpp":
        header = path.endswith(".hpp")
        # Pointers, references and template brackets are written without a space on one side; the binary
        # operators that share their characters have spaces on both.
        o_start, o_end = start, end
        while o_start > 0 and original[o_start - 1] in _OPS:
            o_start -= 1
        while o_end < len(original) and original[o_end] in _OPS:
            o_end += 1
        op = original[o_start:o_end]
        spaced = original[o_start - 1 : o_start] == " " and original[o_end : o_end + 1] == " "
        if set(op) & set("*&<>") and not spaced:
            return True
        if mutated.strip().startswith("/*"):
            if stripped.endswith(("{", ",", "(")) or stripped.startswith(
                ("}", "case ", "default:", "public:", "private:", "protected:")
            ):
                return True
            # In a header, only statements inside a function body (indented deeper) are worth commenting out.
            indent = len(original) - len(original.lstrip())
            if header and indent < 4 and not stripped.startswith(("return", "if ", "for ", "while ")):
                return True
        # A swapped pair of parameters in a declaration or a definition is no call.
        swapped = sorted(mutated.replace(" ", "")) == sorted(original.replace(" ", ""))
        if swapped and " ( " in mutated and stripped.endswith(("{", ") const {", "noexcept {")):
            return True
        if swapped and header:
            return True
    return False


def _in_string(line: str, pos: int) -> bool:
    quote, i = None, 0
    while i < pos:
        c = line[i]
        if quote and c == "\\":
            i += 2
            continue
        if c in "\"'" and (quote is None or quote == c):
            if quote is None and c == "'" and i > 0 and _IDENT.match(line[i - 1]):
                pass  # a digit separator or an apostrophe in a comment, not a character literal
            else:
                quote = None if quote else c
        i += 1
    return quote is not None


def _docstring_lines(source: str) -> set[int]:
    """Lines of a Python file that lie inside a multi-line string (docstrings, help texts)."""
    inside: set[int] = set()
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type == tokenize.STRING and tok.end[0] > tok.start[0]:
            inside.update(range(tok.start[0], tok.end[0] + 1))
    return inside


def generate(path: str) -> list[Mutant]:
    """Every plausible mutant of one file, in universalmutator's (deterministic) order; cached by content."""
    source = (ROOT / path).read_text()
    language = "python" if path.endswith(".py") else "cpp"
    cache = WORK / "mutants" / hashlib.sha1(f"{path}\0{source}".encode()).hexdigest()[:16]
    tool = Path(sys.executable).parent / "mutate"
    if not tool.exists():
        sys.exit(f"universalmutator is missing: {Path(sys.executable).parent / 'pip'} install universalmutator")
    if not (cache / "done").exists():
        shutil.rmtree(cache, ignore_errors=True)
        cache.mkdir(parents=True)
        # universalmutator names mutants after the file: give it a copy with the same name.
        (cache / Path(path).name).write_text(source)
        (cache / "out").mkdir()
        subprocess.run(
            [str(tool), Path(path).name, language, "--noCheck", "--mutantDir", "out"],
            cwd=cache,
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        (cache / "done").write_text("")
    lines = source.splitlines(keepends=True)
    stem, suffix = Path(path).stem, Path(path).suffix
    found = []
    for f in (cache / "out").iterdir():
        m = re.fullmatch(re.escape(stem) + r"\.mutant\.(\d+)" + re.escape(suffix), f.name)
        if m:
            found.append((int(m.group(1)), f))
    skip = _docstring_lines(source) if language == "python" else set()
    mutants = []
    for _, f in sorted(found):
        text = f.read_text()
        new_lines = text.splitlines(keepends=True)
        if len(new_lines) != len(lines):
            continue  # a mutant that joins or splits lines: rare, and hard to show as one line
        diff = [i for i, (a, b) in enumerate(zip(lines, new_lines, strict=True)) if a != b]
        if len(diff) != 1:
            continue
        i = diff[0]
        original, mutated = lines[i].rstrip("\n"), new_lines[i].rstrip("\n")
        if i + 1 in skip or stillborn(original, mutated, path):
            continue
        if language == "python":
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    compile(text, path, "exec")
            except SyntaxError:
                continue
        mutants.append(Mutant(path, i + 1, original, mutated, text))
    return mutants


def sample(mutants: list[Mutant], n: int | None, seed: int) -> list[Mutant]:
    if n is None or n >= len(mutants):
        return mutants
    rng = random.Random(f"{seed}:{mutants[0].path}")
    return [mutants[i] for i in sorted(rng.sample(range(len(mutants)), n))]


def layer_sample(mutants: list[Mutant], n: int, seed: int) -> list[Mutant]:
    """At most n of a layer's mutants: each file's mutants in a seeded order, taken from the files in turn."""
    by_file: dict[str, list[Mutant]] = {}
    for m in mutants:
        by_file.setdefault(m.path, []).append(m)
    orders = []
    for path, ms in sorted(by_file.items()):
        rng = random.Random(f"{seed}:{path}")
        orders.append(rng.sample(ms, len(ms)))
    picked: list[Mutant] = []
    while len(picked) < n and any(orders):
        for order in orders:
            if order and len(picked) < n:
                picked.append(order.pop(0))
    return sorted(picked, key=lambda m: (m.path, m.line, m.mutated))


def load_equivalent() -> dict[tuple[str, str, str], str]:
    known = {}
    if EQUIVALENT.exists():
        for raw in EQUIVALENT.read_text().splitlines():
            if not raw.strip() or raw.startswith("#"):
                continue
            path, original, mutated, reason = raw.split("\t")
            known[(path, original.strip(), mutated.strip())] = reason
    return known


def tracked_files() -> list[str]:
    out = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p and (ROOT / p).is_file()]


def run_group(cmd: list[str], timeout: float, cwd: Path, env: dict[str, str] | None = None) -> tuple[str, str]:
    """Runs cmd in a process group of its own: ("ok" | "failed" | "timeout", output)."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(
            cmd,
            cwd=cwd,
            env=env,
            stdout=out,
            stderr=subprocess.STDOUT,
            start_new_session=True,
            stdin=subprocess.DEVNULL,
        )
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            rc = None
        out.seek(0)
        text = out.read().decode(errors="replace")
    if rc is None:
        return "timeout", text
    return ("ok" if rc == 0 else "failed"), text


class Worker:
    """One scratch copy of the source tree and one Ninja build of it."""

    def __init__(self, index: int, files: list[str], args: argparse.Namespace):
        self.tree = WORK / f"tree{index}"
        self.build = WORK / f"build{index}"
        self.args = args
        self.files = files
        self.py = str(ROOT / ".venv" / "bin" / "python")
        self.make_jobs = max(1, 2 // args.jobs)

    def sync(self) -> None:
        """The tree as the checkout is now: files that differ are copied with a new time, so Ninja rebuilds them."""
        for rel in self.files:
            src, dst = ROOT / rel, self.tree / rel
            data = src.read_bytes()
            if not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
                shutil.copymode(src, dst)

    def configure(self) -> None:
        if not (self.build / "build.ninja").exists():
            subprocess.run(
                [
                    "cmake",
                    "-S",
                    str(self.tree),
                    "-B",
                    str(self.build),
                    "-G",
                    "Ninja",
                    "-DCMAKE_BUILD_TYPE=Debug",
                    "-DTAVRO_BUILD_TESTS=ON",
                    f"-DPython_EXECUTABLE={self.py}",
                ],
                check=True,
                stdout=subprocess.DEVNULL,
            )

    def make(self, *targets: str) -> tuple[str, str]:
        return run_group(
            ["nice", "-n", "19", "cmake", "--build", str(self.build), f"-j{self.make_jobs}", "--target", *targets],
            self.args.build_timeout,
            self.tree,
        )

    def cpp_tests(self, gtest_filter: str, timeout: float) -> tuple[str, str]:
        status, out = run_group(
            [
                "nice",
                "-n",
                "19",
                str(self.build / "tavro_cpp_tests"),
                "--gtest_fail_fast",
                f"--gtest_filter={gtest_filter}",
            ],
            timeout,
            self.build,
        )
        if status == "failed":
            failed = re.findall(r"^\[  FAILED  \] (\S+)", out, re.M)
            if failed:
                return "failed", failed[0]
            started = re.findall(r"^\[ RUN      \] (\S+)", out, re.M)
            return "failed", f"{started[-1] if started else 'C++ tests'} (crashed)"
        return status, "C++ tests"

    def clang_check(self, path: str) -> tuple[str, str]:
        """The test command's clang stage (front end, thread-safety analysis) over the sources that see the mutant:
        it catches a lock that is no longer taken, which no test can be sure to."""
        if path.endswith(".cpp"):
            sources = [path]
        else:
            name = path.split("/", 1)[1]
            sources = [
                str(p.relative_to(self.tree))
                for p in sorted((self.tree / "src").rglob("*.cpp"))
                if f'#include "{name}"' in p.read_text() and "platform/" not in str(p)
            ]
        if not sources:
            return "ok", ""
        if not shutil.which("clang++"):
            return "ok", ""
        py_inc = subprocess.run(
            [self.py, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        libusb = subprocess.run(
            ["pkg-config", "--cflags", "libusb-1.0"], capture_output=True, text=True, check=True
        ).stdout.split()
        # The flags of scripts/clang-check.sh.
        argv = [
            "-std=c++20",
            "-fsyntax-only",
            "-Wall",
            "-Wextra",
            "-Wno-unused-parameter",
            "-Wthread-safety",
            "-Wthread-safety-beta",
            "-Werror",
            "-pthread",
            "-Isrc",
            "-Isim",
            "-Itests/cpp",
            "-isystem",
            py_inc,
            *libusb,
            "-DPy_LIMITED_API=0x030A0000",
            '-DTAVRO_SOURCE_REVISION="0"',
        ]
        status, out = run_group(["nice", "-n", "19", "clang++", *argv, *sources], self.args.build_timeout, self.tree)
        if status == "failed":
            # Only what says the code is wrong counts; an empty body or an unused variable is how the mutant was
            # spelt (universalmutator deletes a statement as `if (0==1);`), not a fault that a check found.
            found = set(re.findall(r"\[(?:-Werror,)?(-W[\w-]+)", out))
            decisive = sorted(w for w in found if w.startswith("-Wthread-safety") or w == "-Wreturn-type")
            if decisive:
                return "failed", f"clang check ({decisive[0]})"
            return "ok", ""
        return status, "clang check"

    def python_suite(self, first: list[str], timeout: float) -> tuple[str, str]:
        env = dict(os.environ)
        env.pop("TAVRO_USB_BACKEND", None)
        # The build's modules and the tree's plugin come before what .venv has installed.
        env["PYTHONPATH"] = os.pathsep.join([str(self.build), str(self.tree / "python")])
        env["TAVRO_EXPECT_BUILD"] = str(self.build)
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        tests = self.tree / "tests" / "python"
        rest = sorted(p.name for p in tests.glob("test_*.py") if p.name not in first)
        status, out = run_group(
            ["nice", "-n", "19", self.py, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *first, *rest],
            timeout,
            tests,
            env,
        )
        if status == "failed":
            failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
            return "failed", failed[0] if failed else "Python suite"
        return status, "Python suite"


def near_suites(layer: str) -> list[str]:
    """GoogleTest suites whose files include the layer's headers, directly or through a test helper header."""
    tests = ROOT / "tests" / "cpp"
    inc = re.compile(r'#include "([^"]+)"')

    def reaches(f: Path, seen: set[Path]) -> bool:
        if f in seen or not f.exists():
            return False
        seen.add(f)
        for name in inc.findall(f.read_text()):
            if name.startswith(f"{layer}/") or (name.endswith(".hpp") and reaches(tests / name, seen)):
                return True
        return False

    suites = set()
    for f in sorted(tests.glob("*_test.cpp")):
        if reaches(f, set()):
            suites.update(re.findall(r"^TEST(?:_F|_P)?\(\s*(\w+)", f.read_text(), re.M))
    return sorted(suites)


PLUGIN_TESTS_FIRST = ("test_plugin.py", "test_plugin_backtoback.py")


def baseline(worker: Worker) -> dict[str, float]:
    t0 = time.monotonic()
    status, out = worker.make("tavro_cpp_tests", "tavro_pythoncan_ext", "tavro_sim_native")
    if status != "ok":
        sys.exit(f"the unmutated tree does not build:\n{out[-4000:]}")
    build_s = time.monotonic() - t0
    t0 = time.monotonic()
    status, what = worker.cpp_tests("*", 1800)
    if status != "ok":
        sys.exit(f"the C++ tests fail without a mutant ({status}: {what})")
    cpp_s = time.monotonic() - t0
    t0 = time.monotonic()
    status, what = worker.python_suite(list(PLUGIN_TESTS_FIRST), 3600)
    if status != "ok":
        sys.exit(f"the Python suite fails without a mutant ({status}: {what})")
    return {"build_s": build_s, "cpp_s": cpp_s, "py_s": time.monotonic() - t0}


def test_mutant(worker: Worker, m: Mutant, limits: dict[str, float]) -> tuple[str, str]:
    target = worker.tree / m.path
    target.write_text(m.text)
    if m.layer == "plugin":
        # The modules may still hold the last C++ mutant (its file is restored, not yet rebuilt).
        status, _ = worker.make("tavro_pythoncan_ext", "tavro_sim_native")
        if status != "ok":
            sys.exit("the unmutated modules do not build")
    else:
        status, _ = worker.make("tavro_cpp_tests")
        if status != "ok":
            return ("build-failure", "") if status == "failed" else ("timeout", "build")
        near = ":".join(f"{s}.*" for s in near_suites(m.layer))
        for flt in (near, f"-{near}") if near else ("*",):
            status, what = worker.cpp_tests(flt, limits["cpp"])
            if status == "failed":
                return "killed", what
            if status == "timeout":
                return "timeout", "C++ tests"
        status, what = worker.clang_check(m.path)
        if status != "ok":
            return ("killed", what) if status == "failed" else ("timeout", what)
        status, _ = worker.make("tavro_pythoncan_ext")
        if status != "ok":
            return ("build-failure", "") if status == "failed" else ("timeout", "build")
    status, what = worker.python_suite(list(PLUGIN_TESTS_FIRST), limits["py"])
    if status == "failed":
        return "killed", what
    if status == "timeout":
        return "timeout", "Python suite"
    return "survived", ""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", nargs="*", help="files to mutate (default: the logic layers and the plugin)")
    ap.add_argument("--sample", type=int, help="at most N mutants per file, a deterministic sample")
    ap.add_argument("--layer-sample", type=int, help="at most N mutants per layer, spread over its files")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=1, help="mutants tested at once, each in a tree of its own")
    ap.add_argument("--fresh", action="store_true", help="forget the results of earlier runs")
    ap.add_argument(
        "--retest", action="store_true", help="test only the survivors of earlier runs, again (after a test was added)"
    )
    ap.add_argument("--only", nargs="*", help="of the selection, test only the mutants of files matching these")
    ap.add_argument(
        "--tree",
        type=int,
        default=0,
        help="number of the first scratch tree, so that a second run can go beside a first",
    )
    ap.add_argument("--list", action="store_true", help="only list the selected mutants")
    ap.add_argument(
        "--check",
        action="store_true",
        help="only build the scratch tree without a mutant and run both suites on it (is it green?)",
    )
    ap.add_argument("--report-only", action="store_true", help="write the table from the results so far")
    ap.add_argument("--build-timeout", type=float, default=900)
    ap.add_argument("--output", type=Path, default=REPORT)
    args = ap.parse_args()

    files = args.files or sorted(
        str(p.relative_to(ROOT))
        for d in [f"src/{layer}" for layer in CPP_LAYERS] + [PLUGIN_DIR]
        for p in (ROOT / d).iterdir()
        if p.suffix in (".cpp", ".hpp", ".py") and p.name != "__init__.py"
    )
    selected = [m for f in files for m in sample(generate(f), args.sample, args.seed)]
    if args.layer_sample:
        layers = sorted({m.layer for m in selected})
        selected = [
            m
            for layer in layers
            for m in layer_sample([m for m in selected if m.layer == layer], args.layer_sample, args.seed)
        ]
    equivalent = load_equivalent()
    if args.list:
        for m in selected:
            print(f"{m.path}:{m.line}: {m.original.strip()}  ==>  {m.mutated.strip()}")
        print(f"{len(selected)} mutants")
        return

    WORK.mkdir(parents=True, exist_ok=True)
    if args.fresh and RESULTS.exists():
        RESULTS.unlink()
    done: dict[str, Any] = {}
    first: dict[str, Any] = {}  # each mutant's first result: the score before tests were added for survivors
    if RESULTS.exists():
        for raw in RESULTS.read_text().splitlines():
            rec = json.loads(raw)
            done[rec["key"]] = rec
            first.setdefault(rec["key"], rec)
    if args.retest:
        todo = [m for m in selected if m.key in done and done[m.key]["outcome"] == "survived"]
    else:
        todo = [m for m in selected if m.key not in done]
    todo = [
        m
        for m in todo
        if (m.path, m.original.strip(), m.mutated.strip()) not in equivalent
        and (not args.only or any(fnmatch.fnmatch(m.path, pat) for pat in args.only))
    ]

    if args.check:
        worker = Worker(args.tree, tracked_files(), args)
        worker.sync()
        worker.configure()
        base = baseline(worker)
        print(
            f"green: build {base['build_s']:.0f} s, C++ tests {base['cpp_s']:.0f} s, Python suite {base['py_s']:.0f} s"
        )
        return
    if todo and not args.report_only:
        tracked = tracked_files()
        workers = [Worker(args.tree + i, tracked, args) for i in range(max(1, args.jobs))]
        for w in workers:
            w.sync()
            w.configure()
        base = baseline(workers[0])
        for w in workers[1:]:
            w.make("tavro_cpp_tests", "tavro_pythoncan_ext", "tavro_sim_native")
        limits = {"cpp": 3 * base["cpp_s"] + 60, "py": 2 * base["py_s"] + 120}
        print(
            f"baseline: build {base['build_s']:.0f} s, C++ tests {base['cpp_s']:.0f} s, Python suite "
            f"{base['py_s']:.0f} s; {len(todo)} mutants to test",
            flush=True,
        )
        # One file's mutants stay on one worker: the file is restored (and rebuilt) once, after the last of them.
        by_file: dict[str, list[Mutant]] = {}
        for m in todo:
            by_file.setdefault(m.path, []).append(m)
        # Layers take turns, so that a run cut short still says something about each.
        rank: dict[str, int] = {}
        order = []
        for group in by_file.values():
            layer = group[0].layer
            order.append((rank.get(layer, 0), layer, group))
            rank[layer] = rank.get(layer, 0) + 1
        queue = [group for _, _, group in sorted(order, key=lambda t: t[:2])]
        lock = threading.Lock()
        counter = iter(range(1, len(todo) + 1))

        def run(worker: Worker) -> None:
            while True:
                with lock:
                    if not queue:
                        return
                    group = queue.pop(0)
                for m in group:
                    t0 = time.monotonic()
                    outcome, by = test_mutant(worker, m, limits)
                    rec = {
                        "key": m.key,
                        "layer": m.layer,
                        "path": m.path,
                        "line": m.line,
                        "original": m.original.strip(),
                        "mutated": m.mutated.strip(),
                        "outcome": outcome,
                        "by": by,
                        "seconds": round(time.monotonic() - t0, 1),
                    }
                    with lock:
                        with RESULTS.open("a") as f:
                            f.write(json.dumps(rec) + "\n")
                        print(
                            f"[{next(counter)}/{len(todo)}] {m.path}:{m.line} {outcome} {by} ({rec['seconds']} s)",
                            flush=True,
                        )
                (worker.tree / group[0].path).write_bytes((ROOT / group[0].path).read_bytes())

        with concurrent.futures.ThreadPoolExecutor(len(workers)) as pool:
            for fut in [pool.submit(run, w) for w in workers]:
                fut.result()
        for rec in RESULTS.read_text().splitlines():
            r = json.loads(rec)
            done[r["key"]] = r
            first.setdefault(r["key"], r)

    population: dict[str, int] = {}
    for f in files:
        layer = "plugin" if f.startswith(PLUGIN_DIR) else f.split("/")[1]
        population[layer] = population.get(layer, 0) + len(generate(f))
    write_report(args, selected, done, first, equivalent, population)


def write_report(
    args: argparse.Namespace,
    selected: list[Mutant],
    done: dict[str, Any],
    first: dict[str, Any],
    equivalent: dict[tuple[str, str, str], str],
    population: dict[str, int],
) -> None:
    rows: list[tuple[Mutant, str, str]] = []
    per_layer: dict[str, dict[str, float]] = {}
    for m in selected:
        reason = equivalent.get((m.path, m.original.strip(), m.mutated.strip()))
        rec = done.get(m.key)
        if reason is not None:
            outcome, by = "equivalent", reason
        elif rec is None:
            continue
        else:
            outcome, by = rec["outcome"], rec["by"]
        stats = per_layer.setdefault(
            m.layer,
            {
                "killed": 0,
                "timeout": 0,
                "survived": 0,
                "build-failure": 0,
                "equivalent": 0,
                "seconds": 0.0,
                "first-killed": 0,
                "first-counted": 0,
            },
        )
        stats[outcome] += 1
        if outcome in ("killed", "timeout", "survived"):
            stats["first-counted"] += 1
            stats["first-killed"] += first[m.key]["outcome"] != "survived"
        stats["seconds"] += rec["seconds"] if rec else 0
        rows.append((m, outcome, by))
    selection = " ".join(
        f"--{k.replace('_', '-')} {v}"
        for k, v in (("layer_sample", args.layer_sample), ("sample", args.sample), ("seed", args.seed))
        if v is not None
    )
    if args.files:
        selection += " --files " + " ".join(args.files)
    tested = sum(s["seconds"] for s in per_layer.values())
    count = sum(1 for _, outcome, _ in rows if outcome != "equivalent")
    mean = tested / count if count else 0.0
    everything = sum(population.values())
    lines = [
        "# Mutation testing: last run",
        "",
        f"`.venv/bin/python scripts/mutate.py {selection}`, tables written "
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC. Score = killed (time-outs "
        'included) / (killed + survived); build failures and equivalent mutants are not counted. "before" '
        "is the score with the tests as they were when each mutant was first tested.",
        "",
        f"{count} mutants tested in {tested / 60:.0f} min ({mean:.0f} s each). A full run of all {everything} "
        f"mutants that the filters keep would take about {everything * mean / 3600:.0f} h at that rate.",
        "",
        "| layer | mutants | killed | time-out | survived | build failure | equivalent | score | before | seconds |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    total = {
        k: 0.0
        for k in (
            "killed",
            "timeout",
            "survived",
            "build-failure",
            "equivalent",
            "seconds",
            "first-killed",
            "first-counted",
        )
    }
    for layer in sorted(per_layer):
        s = per_layer[layer]
        for k in total:
            total[k] += s[k]
        lines.append(_score_row(layer, s))
    lines.append(_score_row("**all**", total))
    lines += ["", "| file:line | mutant | outcome | killed by / reason |", "|---|---|---|---|"]
    for m, outcome, by in sorted(rows, key=lambda r: (r[0].path, r[0].line)):
        lines.append(
            f"| {m.path}:{m.line} | `{_cell(m.original.strip())}` → `{_cell(m.mutated.strip())}` | "
            f"{outcome} | {_cell(by)} |"
        )
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text("\n".join(lines) + "\n")
    print(f"wrote {args.output.relative_to(ROOT) if args.output.is_relative_to(ROOT) else args.output}")
    print("\n".join(lines[4 : 7 + len(per_layer) + 2]))


def _score_row(name: str, s: dict[str, float]) -> str:
    counted = s["killed"] + s["timeout"] + s["survived"]
    score = f"{100 * (s['killed'] + s['timeout']) / counted:.0f} %" if counted else "-"
    n = sum(int(s[k]) for k in ("killed", "timeout", "survived", "build-failure", "equivalent"))
    before = f"{100 * s['first-killed'] / s['first-counted']:.0f} %" if s["first-counted"] else "-"
    return (
        f"| {name} | {n} | {int(s['killed'])} | {int(s['timeout'])} | {int(s['survived'])} | "
        f"{int(s['build-failure'])} | {int(s['equivalent'])} | {score} | {before} | {s['seconds']:.0f} |"
    )


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("`", "'")


if __name__ == "__main__":
    main()
