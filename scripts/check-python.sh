#!/usr/bin/env bash
# Lints and type-checks the Python package (python/): ruff, mypy (strict, settings in pyproject.toml), and stubtest,
# which compares the native modules' stubs with the modules that scripts/setup.sh installed into .venv, so that a
# method added, renamed or re-signed in C++ cannot leave its stub behind. Usage: bash scripts/check-python.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bin=.venv/bin
echo "==> Python lint and types: $("$bin/ruff" --version), $("$bin/mypy" --version | cut -d' ' -f1-2)"
"$bin/ruff" check -q python
"$bin/mypy"
# The stubs under python/ against the installed modules (cwd: python/ is not on the import path).
MYPYPATH=python "$bin/python" -m mypy.stubtest --concise tavro_pythoncan_ext tavro_sim._native
