"""The torch-facing functions on every device torch offers here: the same
outcome as the Python rendering of each (benchmarks/py_space_utils.py) on the
same tensors, results on the inputs' own device, and no native pass reading
memory that is not the CPU's (a meta tensor has none: reading it would
crash; torch's own error or a meta result is what comes back)."""
import sys
from collections import OrderedDict
from pathlib import Path

import numpy as np
import pytest
import torch

from kestrelix_core import spaces as S
from kestrelix_train.utils import space_utils as su

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
import py_space_utils as py  # noqa: E402

DEVICES = [
    "cpu",
    "meta",
    pytest.param("cuda", marks=pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device")),
]


def summary(x):
    """A result down to what can be compared on any device: a tensor's device,
    dtype and shape, and its values where it has any (not on meta)."""
    if isinstance(x, torch.Tensor):
        return ("tensor", x.device, x.dtype, tuple(x.shape), None if x.is_meta else x.cpu().tolist())
    if isinstance(x, dict):
        return (type(x), [(k, summary(v)) for k, v in x.items()])
    if isinstance(x, (list, tuple)):
        return (type(x), [summary(v) for v in x])
    return (type(x), x.item() if isinstance(x, (np.generic, np.ndarray)) else x)


def outcome(fn):
    try:
        return summary(fn())
    except Exception as e:  # the exception's kind is part of the outcome
        return ("raises", type(e))


def devices_of(x):
    if isinstance(x, torch.Tensor):
        return {x.device}
    if isinstance(x, dict):
        x = list(x.values())
    if isinstance(x, (list, tuple)):
        return set().union(*map(devices_of, x)) if x else set()
    return set()


DICT_SPACE = S.Dict({"gear": S.Discrete(3), "altitude": S.Box(-1.0, 1.0, (2, 2))})

# (name, arguments made on a device); each is called as su.<name>(*args) and py.<name>(*args)
CASES = [
    ("flatten_object_torch", lambda d: ({"a": torch.arange(6.0, device=d).reshape(2, 3), "b": (torch.ones(2, device=d),)},)),
    ("flatten_object_torch", lambda d: ([torch.ones(2, dtype=torch.int32, device=d), torch.zeros(1, device=d)],)),
    ("flatten_object_batch", lambda d: ({"a": torch.arange(8.0, device=d).reshape(2, 2, 2), "b": torch.ones(2, 1, device=d)},)),
    ("unpack_logits", lambda d: (torch.arange(14.0, device=d).reshape(2, 7), DICT_SPACE)),
    ("unpack_logits", lambda d: (torch.arange(10.0, device=d).reshape(2, 5), S.MultiDiscrete([2, 3]))),
    ("unpack_logits", lambda d: (torch.arange(5.0, device=d), S.Tuple((S.Discrete(2), S.Discrete(3))))),
    ("apply_mask", lambda d: (torch.tensor([0.5, 0.2, 0.3], device=d), torch.tensor([1.0, 0.0, 1.0], device=d))),
    ("apply_mask", lambda d: ({"g": torch.ones(2, 3, device=d)}, {"g": torch.tensor([[1, 0, 1], [0, 0, 1]], device=d)})),
    ("apply_mask", lambda d: ([torch.ones(3, device=d)], [torch.tensor([True, False, True], device=d)])),
    ("combine_masks", lambda d: (torch.tensor([1, 1, 0], device=d), torch.tensor([0, 1, 1], device=d))),
    ("combine_masks", lambda d: ({"g": torch.ones(3, device=d)}, {"g": torch.tensor([1.0, 0.0, 1.0], device=d)})),
    ("mask_all_zero", lambda d: (torch.zeros(4, device=d),)),
    ("mask_all_zero", lambda d: ({"g": torch.zeros(2, dtype=torch.int64, device=d), "h": (torch.tensor([0, 1], device=d),)},)),
    ("action_fits_mask", lambda d: (1, torch.tensor([0, 1, 0], device=d), S.Discrete(3))),
    ("action_fits_mask", lambda d: ([1, 0], [torch.tensor([0, 1], device=d), torch.tensor([1, 0], device=d)], S.MultiDiscrete([2, 2]))),
]


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("name, make", CASES, ids=[f"{n}-{i}" for i, (n, _) in enumerate(CASES)])
def test_as_the_python_rendering_on_the_inputs_device(name, make, device):
    got = outcome(lambda: getattr(su, name)(*make(device)))
    assert got == outcome(lambda: getattr(py, name)(*make(device)))
    if got[0] != "raises":
        result = getattr(su, name)(*make(device))
        assert devices_of(result) <= {torch.device(device)}


@pytest.mark.parametrize("device", DEVICES)
def test_a_tensor_on_a_device_beside_a_numpy_leaf(device):
    # torch.cat decides (a CPU leaf beside another device's is torch's error)
    def make():
        return {"a": torch.ones(2, device=device), "b": np.zeros(3, np.float32)}

    assert outcome(lambda: su.flatten_object_torch(make())) == outcome(lambda: py.flatten_object_torch(make()))


@pytest.mark.filterwarnings("ignore:__array_wrap__ must accept context:DeprecationWarning")
@pytest.mark.parametrize("device", DEVICES)
def test_unsquash_takes_numpy_only(device):
    # a tensor action is numpy's to convert (reference: numbers, numpy arrays
    # or scalars at the leaves); off the CPU that is torch's error
    args = (torch.zeros(2, device=device), S.Box(-1.0, 1.0, (2,)))
    assert outcome(lambda: su.unsquash_action(*args)) == outcome(lambda: py.unsquash_action(*args))
