#!/usr/bin/env bash
# Developer build: compiles the extension into <build-dir>/site, ready to
# import with PYTHONPATH=<build-dir>/site (defaults to build/dev).
#   scripts/devbuild.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}
shift || true
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
cmake --build "$dir"
