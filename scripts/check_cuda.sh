#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: the device tests (tests/test_devices.py,
# whose cuda cases are skipped elsewhere) with the GPU visible, then the
# peer benchmark's torch rows (benchmarks/bench_peers.py). Sets up .venv as
# scripts/setup.sh does. The torch release pinned there is the CPU build
# where the machine's package index serves that one: then TORCH_CUDA_INDEX,
# a pip index of torch's CUDA builds, gives the CUDA build of the same
# release instead. Fails unless torch sees a device.
#   scripts/check_cuda.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/host.sh
scripts/setup.sh
V=.venv/$BIN/python
cuda() { "$V" -c 'import sys, torch; sys.exit(not torch.cuda.is_available())' 2>/dev/null; }
if ! cuda && [ -n "${TORCH_CUDA_INDEX:-}" ]; then
    echo "check_cuda: installing the CUDA build of torch from TORCH_CUDA_INDEX" >&2
    "$V" -m pip --disable-pip-version-check -q install --force-reinstall --index-url "$TORCH_CUDA_INDEX" \
        "$(grep '^torch==' constraints.txt)"
fi
cuda || {
    echo "check_cuda: torch $("$V" -c 'import torch; print(torch.__version__)') in .venv sees no CUDA device" \
        "(no GPU, or a CPU build of torch: set TORCH_CUDA_INDEX)" >&2
    exit 1
}
"$V" -m pytest -q -rs tests/test_devices.py "$@"
PYTHONPATH=benchmarks "$V" benchmarks/bench_peers.py torch
echo "check_cuda: the device tests and the peer benchmark's torch rows ran with" \
    "$("$V" -c 'import torch; print(torch.cuda.get_device_name(0))')"
