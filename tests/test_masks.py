"""Action masks: apply_mask, combine_masks, mask_all_zero and action_fits_mask."""

import collections
import contextlib
import io
import warnings

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from ray.rllib.utils.nested_dict import NestedDict

import kestrelix_core.spaces as ks
from kestrelix_train.utils import space_utils as su

NEG_INF = float("-inf")
PAD = "\\\n" + " " * 33


def as_list(x):
    return x.tolist() if isinstance(x, (np.ndarray, torch.Tensor)) else x


class NumpyProxy:
    """Stands in for numpy under the module's `np`: every attribute is numpy's own."""

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def general(monkeypatch):
    """Runs the module with `np` rebound, so every numpy leaf takes the general path."""
    monkeypatch.setattr(su, "np", NumpyProxy())


def outcome(fn, *args):
    """The result of a call, or the class and text of the error it raised."""
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001
        return "error", (type(e), str(e))


def same(a, b):
    """Same kind of object, dtype, shape and values (NaN equal to NaN)."""
    assert type(a) is type(b)
    if isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape and a.strides == b.strides
        np.testing.assert_array_equal(a, b)
    elif isinstance(a, (dict, tuple, list)):
        assert len(a) == len(b)
        if isinstance(a, dict):
            assert list(a) == list(b)
            for k in a:
                same(a[k], b[k])
        else:
            for x, y in zip(a, b):
                same(x, y)
    else:
        assert a == b or (a != a and b != b)


# -- apply_mask ---------------------------------------------------------------


@pytest.mark.parametrize(
    "logits, mask, kind",
    [
        (np.array([0.5, 0.2, 0.3], np.float32), np.array([1, 0, 1]), np.ndarray),
        (np.array([0.5, 0.2, 0.3], np.float32), np.array([True, False, True]), np.ndarray),
        (torch.tensor([0.5, 0.2, 0.3]), torch.tensor([1.0, 0.0, 1.0]), torch.Tensor),
        (torch.tensor([0.5, 0.2, 0.3]), np.array([1, 0, 1], np.int8), torch.Tensor),
        (np.array([0.5, 0.2, 0.3]), torch.tensor([1, 0, 1]), np.ndarray),
    ],
)
def test_apply_mask_leaf_of_either_library(logits, mask, kind):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = su.apply_mask(logits, mask)
    assert isinstance(out, kind)
    assert as_list(out) == pytest.approx([0.5, NEG_INF, 0.3])


def test_apply_mask_result_follows_mask_structure():
    zeros = np.zeros(2, np.float32)
    logits = {"b": [zeros, zeros], "a": (torch.zeros(2),), "c": collections.OrderedDict(x=zeros)}
    mask = NestedDict(
        {"a": [torch.tensor([0, 1])], "b": (np.array([1, 0]), np.array([0, 0])), "c": {"x": np.array([1, 1])}}
    )
    out = su.apply_mask(logits, mask)
    assert list(out) == ["a", "b", "c"] and type(out) is dict
    assert type(out["a"]) is list and type(out["b"]) is tuple and type(out["c"]) is dict
    assert as_list(out["a"][0]) == [NEG_INF, 0.0]
    assert [as_list(x) for x in out["b"]] == [[0.0, NEG_INF], [NEG_INF, NEG_INF]]
    assert su.apply_mask((), ()) == () and su.apply_mask([], []) == []


@pytest.mark.parametrize(
    "logits, mask, message",
    [
        (np.zeros(3), np.zeros((2, 3)), "Action mask shape ((2, 3)) does not match logits shape ((3,))"),
        ({"a": 1, "b": 2}, {"a": 1}, "Action mask keys (dict_keys(['a'])) do not match logits keys "
                                     "(dict_keys(['a', 'b']))"),
        ([1, 2, 3], (1, 2), "Action mask shape (2) does not match logits shape (3)"),
        ("ab", "cd", "Unsupported mask type: <class 'str'>"),
        (None, None, "Unsupported mask type: <class 'NoneType'>"),
    ],
)
def test_apply_mask_errors(logits, mask, message):
    with pytest.raises(ValueError) as info:
        su.apply_mask(logits, mask)
    assert str(info.value) == message


def test_apply_mask_converts_a_mismatched_pair():
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        out = su.apply_mask([0.5, 0.2], np.array([0, 1]))
    assert out.dtype == np.float32 and as_list(out) == [NEG_INF, pytest.approx(0.2)]
    assert len(buf.getvalue().splitlines()) == 2


def test_apply_mask_conversion_retry_is_bounded():
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf), pytest.raises(ValueError) as info:
        su.apply_mask(np.zeros(2), {"a": np.ones(2)})
    text = str(info.value)
    assert text.startswith(f"Cannot apply mask of type <class 'dict'> to logits of type {PAD}<class 'numpy.ndarray'>"
                           " -- {'a': array([1, 1], dtype=int8)} -- [0. 0.]. Tried to cast both to "
                           f"{PAD}np.ndarray and failed with error: ")
    assert isinstance(info.value.__context__, ValueError)
    assert len(buf.getvalue().splitlines()) == 3  # one conversion: the array, the dict and its leaf


def test_apply_mask_conversion_failure_has_context(monkeypatch):
    def broken(x, dtype):
        raise KeyError("no")

    monkeypatch.setattr(su, "make_np_array", broken)
    with pytest.raises(ValueError, match=r"failed with error: 'no'$") as info:
        su.apply_mask([1.0], np.array([1]))
    assert type(info.value.__context__) is KeyError

    def interrupted(x, dtype):
        raise KeyboardInterrupt

    monkeypatch.setattr(su, "make_np_array", interrupted)
    with pytest.raises(KeyboardInterrupt):
        su.apply_mask([1.0], np.array([1]))


def test_apply_mask_recurses_through_the_module_global(monkeypatch):
    original, seen = su.apply_mask, []
    monkeypatch.setattr(su, "apply_mask", lambda logits, mask: seen.append((logits, mask)) or "x")
    assert original({"a": 1}, collections.OrderedDict(a=2)) == {"a": "x"} and seen == [(1, 2)]


# -- combine_masks and mask_all_zero ------------------------------------------


def test_combine_masks_structures():
    i8 = lambda v: np.array(v, np.int8)  # noqa: E731
    out = su.combine_masks({"b": [i8([1, 1]), torch.tensor([1, 0])], "a": i8([1, 1, 0])},
                           {"a": i8([1, 0, 0]), "b": (i8([0, 1]), torch.tensor([1, 1]))})
    assert list(out) == ["b", "a"] and type(out["b"]) is tuple
    assert out["a"].dtype == np.int8 and as_list(out["a"]) == [1, 0, 0]
    assert as_list(out["b"][0]) == [0, 1] and torch.equal(out["b"][1], torch.tensor([1, 0]))


@pytest.mark.parametrize(
    "m1, m2, message",
    [
        ({"a": 1}, {"b": 1}, "Cannot combine masks with different keys: dict_keys(['a']) and dict_keys(['b'])"),
        ([1, 2], [1, 2, 3], "Cannot combine masks with different lengths: 2 and 3"),
        ([1, 2], [1, 2], "Unsupported mask type: <class 'int'>"),
        (None, None, "Unsupported mask type: <class 'NoneType'>"),
        (NestedDict({"a": np.ones(1)}), {}, "Unsupported mask type: <class 'ray.rllib.utils.nested_dict.NestedDict'>"),
    ],
)
def test_combine_masks_errors(m1, m2, message):
    with pytest.raises(ValueError) as info:
        su.combine_masks(m1, m2)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "mask, expected",
    [
        (np.zeros((2, 3)), True), (np.zeros(0), True), (torch.zeros(0), True), ({}, True), ([], True),
        ((np.zeros(2), [torch.zeros(3)]), True), (collections.OrderedDict(a=torch.tensor([0, 2])), False),
        (NestedDict({"a": {"b": np.zeros(2)}}), True), ({"a": np.array([0.0, np.nan])}, False),
        ({"a": np.ones(1), "b": None}, False),  # stops before the unsupported node
    ],
)
def test_mask_all_zero(mask, expected):
    assert su.mask_all_zero(mask) is expected


@pytest.mark.parametrize("mask", [None, [0], {"a": np.zeros(1), "b": 0}])
def test_mask_all_zero_unsupported(mask):
    with pytest.raises(ValueError, match="^Unsupported mask type: <class '(NoneType|int)'>$"):
        su.mask_all_zero(mask)


# -- action_fits_mask ---------------------------------------------------------

D4, MASK4 = ks.Discrete(4), [0, 1, 0, 1]


@pytest.mark.parametrize(
    "action, mask, space, expected",
    [
        (None, None, ks.Box(0, 1), True), (None, None, ks.MultiBinary(3), True),
        (1, MASK4, D4, True), (2, MASK4, D4, False), (3.0, MASK4, D4, True), (-1, MASK4, D4, True),
        (0, [True], ks.Discrete(1), True), (0, [2], ks.Discrete(1), False),
        ([2, 0], [[0, 0, 1], [1, 0]], ks.MultiDiscrete([3, 2]), True),
        ([2, 1], [[0, 0, 1], [1, 0]], ks.MultiDiscrete([3, 2]), False), ([], None, ks.MultiDiscrete([3]), True),
        ((0, 1), (None, [1, 0]), ks.Tuple((ks.Box(0, 1), ks.Discrete(2))), False),
        ({"a": 0, "b": 1}, {"a": [0]}, ks.Dict({"a": ks.Discrete(1), "b": ks.Discrete(2)}), False),
        ({}, {}, ks.Dict({}), True),
    ],
)
def test_action_fits_mask(action, mask, space, expected):
    assert su.action_fits_mask(action, mask, space) is expected


def test_action_fits_mask_numpy_entry_and_errors():
    assert su.action_fits_mask(np.int64(1), np.array(MASK4), D4) is np.True_
    with pytest.raises(IndexError):
        su.action_fits_mask(9, MASK4, D4)
    with pytest.raises(NotImplementedError, match="^Space of type '<class 'int'>' is not supported$"):
        su.action_fits_mask(0, [1], 5)
