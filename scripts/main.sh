#!/usr/bin/env bash
# Sets up and runs the main job: an agent trained end to end through the module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python examples/train_drone.py "$@"
