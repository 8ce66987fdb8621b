#!/usr/bin/env bash
# Developer build: compiles the extension into <build-dir>/site, ready to
# import with PYTHONPATH=<build-dir>/site (defaults to build/dev).
#   scripts/devbuild.sh [build-dir] [extra cmake args...]
# VENV=<environment> builds for that environment's Python (default .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/host.sh
dir=${1:-build/dev}
shift || true
venv=$(cd "${VENV:-.venv}" && pwd)
export PATH="$venv/$BIN:$PATH"
cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$venv/$BIN/python" "$@" >/dev/null
cmake --build "$dir"
