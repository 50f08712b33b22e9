#!/usr/bin/env bash
# Sets up the driver and runs its main job against two simulated adapters on one simulated CAN bus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export TAVRO_USB_BACKEND=simulator
export TAVRO_SIM_ADAPTERS="${TAVRO_SIM_ADAPTERS:-tav.io:CANH0001,tav.io:CANI0002}"
exec .venv/bin/python -m tavro_can.demo "$@"
