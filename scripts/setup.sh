#!/usr/bin/env bash
# Installs what building and running the driver needs on a fresh Debian machine, then builds and installs the
# package into the virtual environment .venv. Safe to run again: finished steps are fast.
set -euo pipefail
cd "$(dirname "$0")/.."
# Concurrent runs (a test run beside a benchmark, say) share .venv and the build tree: take turns.
mkdir -p build
exec 9>build/.setup.lock
flock 9

. scripts/packages.sh
ensure_packages g++ pkg-config libusb-1.0-0-dev libgtest-dev python3-venv

if [ ! -x .venv/bin/python ]; then
  echo "==> creating .venv"
  python3 -m venv .venv
fi
PY=.venv/bin/python
$PY -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
$PY -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja pytest "python-can>=4.2"
# Pinned: a new release of a checker brings new findings, which belong in a change of their own.
$PY -m pip install -q --disable-pip-version-check ruff==0.17.5 mypy==2.4.1 clang-format==18.1.8
echo "==> building and installing tavro-pythoncan"
$PY -m pip install -q --disable-pip-version-check --no-build-isolation .
