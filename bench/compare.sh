#!/usr/bin/env bash
# Before/after comparison of the data-path benchmark (see bench/compare.py):
#   bash bench/compare.sh BASE [HEAD] [--rounds N] [--markdown FILE] [-- benchmark arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages g++ pkg-config libusb-1.0-0-dev python3-venv
exec python3 bench/compare.py "$@"
