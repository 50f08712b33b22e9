#!/usr/bin/env bash
# Installs what building and running the driver needs on a fresh Debian machine, then builds and installs the
# package into the virtual environment .venv. Safe to run again: finished steps are fast.
set -euo pipefail
cd "$(dirname "$0")/.."
# Concurrent runs (a test run beside a benchmark, say) share .venv and the build tree: take turns.
mkdir -p build
exec 9>build/.setup.lock
flock 9

need_pkgs=(g++ pkg-config libusb-1.0-0-dev libgtest-dev python3-venv)
missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "==> apt-get install ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  echo "==> creating .venv"
  python3 -m venv .venv
fi
PY=.venv/bin/python
$PY -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
$PY -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja pytest "python-can>=4.2"
echo "==> building and installing tavro-pythoncan"
$PY -m pip install -q --disable-pip-version-check --no-build-isolation .
