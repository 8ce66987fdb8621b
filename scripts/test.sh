#!/usr/bin/env bash
# Sets up and runs every test against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m pytest "$@"
