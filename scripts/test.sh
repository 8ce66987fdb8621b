#!/usr/bin/env bash
# Sets up and runs every test against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/host.sh
scripts/setup.sh
exec .venv/$BIN/python -m pytest "$@"
