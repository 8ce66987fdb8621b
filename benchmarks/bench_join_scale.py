"""The batch join at scale: flatten_object_batch from 0.1 MB to 256 MB.

Run with:
    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/bench_join_scale.py

Each case joins 16 float32 numpy leaves of shape (rows, width) into one
(rows, 16 * width) tensor. The floor is what any join must spend: the
result tensor's allocation (torch.empty, about a microsecond, which matters
only at the smallest sizes) and a plain copy of the same number of bytes
into a new array (`numpy.ndarray.copy` of one contiguous array: its
allocation, page faults and copy). The Python column is the rendering with
torch.cat. The last columns give the cost per byte (ps/B) of the module and
of the floor, so a regression in either direction shows at every size.
"""

from __future__ import annotations

import numpy as np
import torch
from _harness import ROUNDS, Case, run_cases
from bench_flattening import py_flatten_batch

from kestrelix_train.utils import space_utils as su

LEAVES = 16
MB = 1 << 20
CPU = torch.device("cpu")


def case(megabytes: float, width: int) -> Case:
    row_bytes = LEAVES * width * 4
    rows = max(1, int(megabytes * MB) // row_bytes)
    rng = np.random.default_rng(0)
    obs = {f"k{i}": rng.random((rows, width), dtype=np.float32) for i in range(LEAVES)}
    plain = np.concatenate([v.ravel() for v in obs.values()])
    nbytes = plain.nbytes
    shape = (rows, LEAVES * width)

    def floor():
        return torch.empty(shape, dtype=torch.float32, device=CPU), plain.copy()

    return Case(f"{LEAVES} x ({rows}, {width}) float32, {nbytes / MB:.1f} MB",
                module=lambda: su.flatten_object_batch(obs),
                python=lambda: py_flatten_batch(obs),
                floor=floor, nbytes=nbytes)


SIZES_MB = (0.1, 0.4, 1, 4, 16, 64, 256)


def cases() -> list[Case]:
    out = [case(mb, 16) for mb in SIZES_MB]
    # Narrow and wide leaves at one size: the per-row pieces are 4 and 256 bytes.
    out += [case(16, w) for w in (1, 64)]
    return out


if __name__ == "__main__":
    run_cases("Batch join by size", cases(), rounds=min(ROUNDS, 9))
