"""Action masks: application, combination, all-zero and fit tests.

Run with:
    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/bench_masks.py

Each case times the module, the same steps written directly in Python, and
the library calls alone (the floor) on a dict mask of 16 leaves.
"""

from __future__ import annotations

from collections import OrderedDict

import numpy as np
import torch
import tree
from _harness import Case, run_cases
# RLlib's NestedDict where Ray has it, else the module's stand-in (no instances)
from kestrelix_train.utils.space_utils import NestedDict

from kestrelix_core import spaces as S
from kestrelix_train.utils import space_utils as su

LEAVES = 16
WIDTH = 8


# -- the same steps written directly in Python ------------------------------

_DICT_LIKE = (dict, NestedDict, OrderedDict)


def _numpy_additive(mask):
    with np.errstate(all="ignore"):
        return np.maximum(np.log(mask), -np.inf)


# numpy dtypes that torch reads as they are, and what the others are brought over in.
_TORCH_READS = set("?bBhHiIlLqefdFD")
_TORCH_DTYPE_FOR = {"Q": np.uint64, "g": np.float64, "O": np.float64, "G": np.complex128}


def _torch_readable(mask):
    d = mask.dtype
    if d.char in _TORCH_READS and d.isnative and all(s >= 0 and s % d.itemsize == 0 for s in mask.strides):
        return mask
    return np.array(mask, dtype=_TORCH_DTYPE_FOR.get(d.char, d.newbyteorder("=")), order="C")


def _numpy_readable(mask):
    d = mask.dtype
    if d.is_floating_point and d not in (torch.float32, torch.float64, torch.float16):
        mask = mask.to(torch.float32)
    elif d.is_complex and d not in (torch.complex64, torch.complex128):
        mask = mask.to(torch.complex64)
    return mask.numpy(force=True)


def _torch_additive(mask):
    return torch.clamp(torch.log(mask), min=-np.inf)


def py_apply_mask(logits, action_mask):
    if isinstance(action_mask, NestedDict):
        return py_apply_mask(logits, action_mask.asdict())
    if isinstance(action_mask, (np.ndarray, torch.Tensor)):
        if action_mask.shape != logits.shape:
            raise ValueError("shape")
        if isinstance(action_mask, np.ndarray):
            if isinstance(logits, torch.Tensor):
                return logits + _torch_additive(torch.tensor(_torch_readable(action_mask), device=logits.device))
            return logits + _numpy_additive(action_mask)
        if isinstance(logits, np.ndarray):
            return logits + _numpy_additive(_numpy_readable(action_mask))
        return logits + _torch_additive(action_mask)
    if isinstance(action_mask, _DICT_LIKE):
        if set(action_mask.keys()) != set(logits.keys()):
            raise ValueError("keys")
        return {k: py_apply_mask(logits[k], action_mask[k]) for k in action_mask.keys()}
    if isinstance(action_mask, (tuple, list)):
        if len(action_mask) != len(logits):
            raise ValueError("length")
        out = [py_apply_mask(logits[i], action_mask[i]) for i in range(len(action_mask))]
        return tuple(out) if isinstance(action_mask, tuple) else out
    raise ValueError("unsupported")


def py_combine_masks(mask1, mask2):
    if isinstance(mask1, np.ndarray):
        return np.multiply(mask1, mask2, dtype=np.int8)
    if isinstance(mask1, torch.Tensor):
        return torch.mul(mask1, mask2)
    if isinstance(mask1, dict):
        if mask1.keys() != mask2.keys():
            raise ValueError("keys")
        return {k: py_combine_masks(mask1[k], mask2[k]) for k in mask1.keys()}
    if isinstance(mask1, (list, tuple)):
        if len(mask1) != len(mask2):
            raise ValueError("lengths")
        return tuple(py_combine_masks(mask1[i], mask2[i]) for i in range(len(mask1)))
    raise ValueError("unsupported")


def py_mask_all_zero(action_mask):
    if isinstance(action_mask, np.ndarray):
        return not np.any(action_mask)
    if isinstance(action_mask, (dict, NestedDict)):
        for _, v in action_mask.items():
            if not py_mask_all_zero(v):
                return False
        return True
    if isinstance(action_mask, (tuple, list)):
        for v in action_mask:
            if not py_mask_all_zero(v):
                return False
        return True
    if isinstance(action_mask, torch.Tensor):
        return not torch.any(action_mask)
    raise ValueError("unsupported")


def py_action_fits_mask(action, action_mask, action_space):
    if isinstance(action_space, (S.Box, S.MultiBinary)):
        return True
    if isinstance(action_space, S.MultiDiscrete):
        for index, sub_action in enumerate(action):
            if not py_action_fits_mask(sub_action, action_mask[index], action_space[index]):
                return False
        return True
    if isinstance(action_space, S.Discrete):
        return action_mask[int(action)] == 1
    if isinstance(action_space, S.Tuple):
        return all(py_action_fits_mask(a, m, s) for a, m, s in zip(action, action_mask, action_space))
    if isinstance(action_space, S.Dict):
        return all(py_action_fits_mask(action[k], action_mask[k], action_space[k]) for k in action_space)
    raise NotImplementedError("unsupported")


# -- inputs -----------------------------------------------------------------


# The key objects of one action space, shared by its masks and logits.
KEYS = [f"part{i}" for i in range(LEAVES)]


def _keys():
    return KEYS


def numpy_masks(fill=0, dtype=np.int8):
    return {k: np.full(WIDTH, fill, dtype=dtype) for k in _keys()}


def torch_masks(fill=0.0):
    return {k: torch.full((WIDTH,), fill) for k in _keys()}


def alternating_numpy(dtype=np.int8):
    return {k: (np.arange(WIDTH) % 2).astype(dtype) for k in _keys()}


def alternating_torch():
    return {k: (torch.arange(WIDTH) % 2).to(torch.float32) for k in _keys()}


# -- cases ------------------------------------------------------------------


# The floor of apply_mask: the library calls that each leaf has to make, the
# NestedDict instance test (the ABC machinery), the two shape reads and their
# comparison, the logarithm, the clamp and the addition.


def _apply_floor(logits, mask, additive):
    def run():
        out = []
        for k in mask:
            m, lg = mask[k], logits[k]
            isinstance(m, NestedDict)
            m.shape != lg.shape  # noqa: B015
            out.append(lg + additive(m, lg))
        return out

    return run


# The additive mask of each pair of libraries; a mask of the other library
# than the logits is brought over to the logits' library first.
_FLOOR_ADDITIVE = {
    "torch": lambda m, lg: _torch_additive(m),
    "numpy": lambda m, lg: _numpy_additive(m),
    "numpy to torch": lambda m, lg: _torch_additive(torch.tensor(m, device=lg.device)),
    "torch to numpy": lambda m, lg: _numpy_additive(m.numpy(force=True)),
}


FLOAT_MIN = -3.4e38


def where_masked(logits, mask):
    return torch.where(mask.bool(), logits, float("-inf"))


def clamped_log_masked(logits, mask):
    return logits + torch.clamp(torch.log(mask), min=FLOAT_MIN)


def _user_cases():
    """(name, logits, mask): one (1024, 64) tensor, and 16 heads of (64, 8)."""
    g = torch.Generator().manual_seed(0)
    big = (torch.randn(1024, 64, generator=g), (torch.rand(1024, 64, generator=g) > 0.3).float())
    heads = {k: torch.randn(64, 8, generator=g) for k in _keys()}
    head_masks = {k: (torch.rand(64, 8, generator=g) > 0.3).float() for k in _keys()}
    return [("torch (1024, 64)", *big), (f"dict {LEAVES} torch heads (64, 8)", heads, head_masks)]


def cases() -> list[Case]:
    out = []

    zeros_np = numpy_masks(0)
    out.append(Case(f"mask_all_zero dict {LEAVES} numpy int8 (all zero)",
                    module=lambda: su.mask_all_zero(zeros_np),
                    python=lambda: py_mask_all_zero(zeros_np),
                    floor=lambda: [not np.any(v) for v in zeros_np.values()]))
    zeros_np_f = numpy_masks(0, np.float32)
    out.append(Case(f"mask_all_zero dict {LEAVES} numpy float32 (all zero)",
                    module=lambda: su.mask_all_zero(zeros_np_f),
                    python=lambda: py_mask_all_zero(zeros_np_f),
                    floor=lambda: [not np.any(v) for v in zeros_np_f.values()]))
    zeros_t = torch_masks(0.0)
    out.append(Case(f"mask_all_zero dict {LEAVES} torch (all zero)",
                    module=lambda: su.mask_all_zero(zeros_t),
                    python=lambda: py_mask_all_zero(zeros_t),
                    floor=lambda: [not torch.any(v) for v in zeros_t.values()]))

    a, b = alternating_numpy(), numpy_masks(1)
    out.append(Case(f"combine_masks dict {LEAVES} numpy int8",
                    module=lambda: su.combine_masks(a, b),
                    python=lambda: py_combine_masks(a, b),
                    floor=lambda: [np.multiply(a[k], b[k], dtype=np.int8) for k in a]))
    ab, bb = alternating_numpy(bool), numpy_masks(1, bool)
    out.append(Case(f"combine_masks dict {LEAVES} numpy bool",
                    module=lambda: su.combine_masks(ab, bb),
                    python=lambda: py_combine_masks(ab, bb),
                    floor=lambda: [np.multiply(ab[k], bb[k], dtype=np.int8) for k in ab]))
    at, bt = alternating_torch(), torch_masks(1.0)
    out.append(Case(f"combine_masks dict {LEAVES} torch",
                    module=lambda: su.combine_masks(at, bt),
                    python=lambda: py_combine_masks(at, bt),
                    floor=lambda: [torch.mul(at[k], bt[k]) for k in at]))

    logits_t = {k: torch.randn(WIDTH) for k in _keys()}
    mask_t = alternating_torch()
    out.append(Case(f"apply_mask dict {LEAVES} torch",
                    module=lambda: su.apply_mask(logits_t, mask_t),
                    python=lambda: py_apply_mask(logits_t, mask_t),
                    floor=_apply_floor(logits_t, mask_t, _FLOOR_ADDITIVE["torch"])))
    logits_n = {k: np.random.randn(WIDTH).astype(np.float32) for k in _keys()}
    mask_n = alternating_numpy()
    out.append(Case(f"apply_mask dict {LEAVES} numpy",
                    module=lambda: su.apply_mask(logits_n, mask_n),
                    python=lambda: py_apply_mask(logits_n, mask_n),
                    floor=_apply_floor(logits_n, mask_n, _FLOOR_ADDITIVE["numpy"])))
    out.append(Case(f"apply_mask dict {LEAVES} numpy mask, torch logits",
                    module=lambda: su.apply_mask(logits_t, mask_n),
                    python=lambda: py_apply_mask(logits_t, mask_n),
                    floor=_apply_floor(logits_t, mask_n, _FLOOR_ADDITIVE["numpy to torch"])))
    out.append(Case(f"apply_mask dict {LEAVES} torch mask, numpy logits",
                    module=lambda: su.apply_mask(logits_n, mask_t),
                    python=lambda: py_apply_mask(logits_n, mask_t),
                    floor=_apply_floor(logits_n, mask_t, _FLOOR_ADDITIVE["torch to numpy"])))

    # One tensor pair and a dict of heads against what users write instead:
    # torch.where on the boolean mask, and the additive mask of the torch
    # idiom (clamped at the most negative float32) mapped over the tree.
    for name, logits, mask in _user_cases():
        out.append(Case(f"apply_mask {name} vs torch.where",
                        module=lambda lg=logits, m=mask: su.apply_mask(lg, m),
                        python=lambda lg=logits, m=mask: py_apply_mask(lg, m),
                        floor=lambda lg=logits, m=mask: tree.map_structure(where_masked, lg, m)))
        out.append(Case(f"apply_mask {name} vs tree.map_structure",
                        module=lambda lg=logits, m=mask: su.apply_mask(lg, m),
                        python=lambda lg=logits, m=mask: py_apply_mask(lg, m),
                        floor=lambda lg=logits, m=mask: tree.map_structure(clamped_log_masked, lg, m)))

    # The floor of action_fits_mask: of a Dict space the module still asks
    # whether it is a Tuple (an abstract class: Python code runs); it walks
    # the core library's Dict through its own spaces, answers the tests of
    # the plain space classes from the class relation and reads list and
    # numpy entries natively. A MultiDiscrete space still gives each
    # dimension's space through its own __getitem__.
    for n in (8, LEAVES):
        space = S.Dict({k: S.Discrete(WIDTH) for k in _keys()[:n]})
        action = {k: 1 for k in space.spaces}
        mask_np = {k: v for k, v in alternating_numpy().items() if k in space.spaces}
        mask_list = {k: [i % 2 for i in range(WIDTH)] for k in space.spaces}
        for kind, mask in (("numpy", mask_np), ("list", mask_list)):
            out.append(Case(f"action_fits_mask Dict {n} Discrete, {kind} masks",
                            module=lambda m=mask, a=action, s=space: su.action_fits_mask(a, m, s),
                            python=lambda m=mask, a=action, s=space: py_action_fits_mask(a, m, s),
                            floor=lambda s=space: isinstance(s, S.Tuple)))
    md = S.MultiDiscrete([WIDTH] * LEAVES)
    md_action = [1] * LEAVES
    md_mask = [(np.arange(WIDTH) % 2).astype(np.int8) for _ in range(LEAVES)]
    out.append(Case(f"action_fits_mask MultiDiscrete x{LEAVES}, numpy masks",
                    module=lambda: su.action_fits_mask(md_action, md_mask, md),
                    python=lambda: py_action_fits_mask(md_action, md_mask, md),
                    floor=lambda: [md[i] for i in range(len(md_action))]))
    return out


if __name__ == "__main__":
    run_cases("Action masks", cases())
