#!/usr/bin/env bash
# Sets everything up from nothing: a virtual environment in .venv with the
# pinned runtime stack, the local core-library stand-in, and this package
# built from source (scikit-build-core + CMake) and installed.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3
[ -x .venv/bin/python ] || "$PY" -m venv .venv
PIP=(.venv/bin/python -m pip --disable-pip-version-check -q)

# torch first, alone: the CPU build of 2.13.0, so nothing pulls another torch.
"${PIP[@]}" install -c constraints.txt torch==2.13.0
"${PIP[@]}" install -c constraints.txt ./kestrelix_core ".[test,example]"
