#!/usr/bin/env bash
# Trains the drone with RLlib's PPO on a two-node Ray cluster on this machine
# only: two env runners on different nodes, two learner actors.
#   scripts/cluster.sh [--kill-runner] [train_drone.py's options]
# --kill-runner kills one env runner's process during the second iteration;
# RLlib restarts it and the run goes on (the summary counts what was lost).
#
# The cluster runs in namespaces of its own: a network of only the loopback
# interface (nothing it listens on can be reached from elsewhere) and a
# process namespace whose every process ends with the script's python, so
# that no Ray process outlives the run, however it ends. Its temporary
# folder is removed at the end. Needs unshare and ip (util-linux,
# iproute2) and user namespaces (or root).
# PYTHON=<interpreter> runs that one with the environment as it is (no
# set-up), e.g. PYTHON=.venv/bin/python PYTHONPATH=build/dev/site.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/host.sh
if [ -z "${PYTHON:-}" ]; then
    scripts/setup.sh
    PYTHON=.venv/$BIN/python
fi
for tool in unshare ip; do
    command -v "$tool" >/dev/null || { echo "cluster.sh: $tool is needed (util-linux, iproute2)" >&2; exit 2; }
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kestrelix-cluster.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
unshare --user --map-root-user --net --pid --fork --mount-proc --kill-child \
    sh -c 'ip link set lo up && exec "$@"' sh \
    env RAY_TMPDIR="$tmp" CLUSTER_TMP="$tmp" "$PYTHON" scripts/cluster.py "$@"
