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
from conftest import NestedDict, needs_nested_dict

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


@needs_nested_dict
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


# -- apply_mask on torch tensors: the sum written natively -------------------
#
# Whichever way the module computes it, the result is the tensor the general
# expression gives, down to its bits, dtype, shape, strides and autograd state.


def masked(logits, mask):
    return logits + torch.clamp(torch.log(mask), min=-np.inf)


def same_tensor(a, b):
    assert type(a) is type(b) is torch.Tensor
    assert (a.dtype, a.shape, a.stride(), a.requires_grad) == (b.dtype, b.shape, b.stride(), b.requires_grad)
    assert (a.grad_fn is None) == (b.grad_fn is None) and a.is_inference() == b.is_inference()
    width = {1: torch.uint8, 2: torch.int16, 4: torch.int32, 8: torch.int64}[a.element_size()]
    assert torch.equal(a.detach().contiguous().view(width), b.detach().contiguous().view(width))


SPECIAL = [0.5, -0.0, 0.0, float("nan"), float("inf"), NEG_INF, -3.25, 1e-40]
PATTERN = [1, 1, 0, 0, 0, 1, 0, 1]


@pytest.mark.parametrize("logits_dtype", [torch.float32, torch.float64, torch.float16, torch.bfloat16])
@pytest.mark.parametrize(
    "mask_dtype", [torch.bool, torch.int8, torch.uint8, torch.int32, torch.int64, torch.float32,
                   torch.float64, torch.float16, torch.bfloat16],
)
@pytest.mark.parametrize("pattern", [PATTERN, [1 - v for v in PATTERN]])
def test_apply_mask_tensor_is_the_expression_bit_for_bit(logits_dtype, mask_dtype, pattern):
    logits = torch.tensor(SPECIAL).to(logits_dtype).reshape(2, 4)
    mask = torch.tensor(pattern).to(mask_dtype).reshape(2, 4)
    same_tensor(su.apply_mask(logits, mask), masked(logits, mask))


def test_apply_mask_tensor_nan_payloads_and_signalling_nans():
    logits = torch.tensor([0x7FC00001, 0xFFC12345, 0x7F800001, 0x7FA00000], dtype=torch.int64).to(torch.int32)
    logits = logits.view(torch.float32)
    for mask in (torch.ones(4), torch.zeros(4)):
        same_tensor(su.apply_mask(logits, mask), masked(logits, mask))


@pytest.mark.parametrize("value", [0.5, 2.0, float("nan"), -1.0, NEG_INF])
@pytest.mark.parametrize("mask_dtype", [torch.float32, torch.float64])
def test_apply_mask_tensor_other_mask_entries_are_added_as_logarithms(value, mask_dtype):
    logits = torch.tensor([0.5, -0.0, 1.0])
    mask = torch.tensor([1.0, value, 0.0], dtype=mask_dtype)
    same_tensor(su.apply_mask(logits, mask), masked(logits, mask))
    same_tensor(su.apply_mask(logits, torch.tensor([1, 2, 0])), masked(logits, torch.tensor([1, 2, 0])))


@pytest.mark.parametrize("grad_mode", [True, False])
@pytest.mark.parametrize("which", ["logits", "mask", "neither"])
def test_apply_mask_tensor_autograd(grad_mode, which):
    logits = torch.tensor([0.5, -1.0, 2.0], requires_grad=which == "logits")
    mask = torch.tensor([1.0, 0.0, 1.0], requires_grad=which == "mask")
    with torch.set_grad_enabled(grad_mode):
        got, want = su.apply_mask(logits, mask), masked(logits, mask)
    same_tensor(got, want)
    if got.grad_fn is not None:
        got.sum().backward()
        assert logits.grad is None or logits.grad.tolist() == [1.0, 1.0, 1.0]


def test_apply_mask_tensor_inference_mode_and_default_dtype():
    logits, mask = torch.tensor([0.5, -1.0]), torch.tensor([1, 0])
    with torch.inference_mode():
        same_tensor(su.apply_mask(logits, mask), masked(logits, mask))
    saved = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    try:
        same_tensor(su.apply_mask(logits, mask), masked(logits, mask))
    finally:
        torch.set_default_dtype(saved)


LAYOUTS = {
    "transposed": lambda t: t.reshape(4, 6).t(),
    "sliced": lambda t: t.reshape(4, 6)[:, ::2],
    "broadcast view": lambda t: t[:6].expand(4, 6),
    "size-1 dims, odd strides": lambda t: t.reshape(24, 1).as_strided((1, 24, 1), (7, 1, 5)),
    "zero-dimensional": lambda t: t[3],
    "empty": lambda t: t[:0],
    "3-d": lambda t: t.reshape(2, 3, 4),
    "negative view": lambda t: torch._neg_view(t),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("side", ["logits", "mask", "both"])
def test_apply_mask_tensor_layouts(layout, side):
    logits = torch.linspace(-2.0, 2.0, 24)
    mask = (torch.arange(24) % 3 != 0).float()
    if side != "mask":
        logits = LAYOUTS[layout](logits)
    if side != "logits":
        mask = LAYOUTS[layout](mask)
    if logits.shape != mask.shape:  # the module's own error, before any logarithm
        with pytest.raises(ValueError, match="does not match logits shape"):
            su.apply_mask(logits, mask)
    else:
        same_tensor(su.apply_mask(logits, mask), masked(logits, mask))


def test_apply_mask_tensor_under_a_torch_function_mode():
    seen = []

    class Recording(torch.overrides.TorchFunctionMode):
        def __torch_function__(self, func, types, args=(), kwargs=None):
            seen.append(getattr(func, "__name__", str(func)))
            return func(*args, **(kwargs or {}))

    logits, mask = torch.tensor([0.5, -1.0]), torch.tensor([1.0, 0.0])
    with Recording():
        got = su.apply_mask(logits, mask)
    assert {"log", "clamp"} <= set(seen) and got.tolist() == [0.5, NEG_INF]


@pytest.mark.parametrize("kind", [dict, tuple, list])
def test_apply_mask_tensor_heads(kind):
    logits = [torch.randn(64, 8) for _ in range(4)]
    masks = [(torch.rand(64, 8) > 0.5).to(dtype) for dtype in (torch.float32, torch.bool, torch.int64, torch.float64)]
    if kind is dict:
        logits, masks = dict(zip("abcd", logits)), dict(zip("dcba", reversed(masks)))
        got = su.apply_mask(logits, masks)
        assert list(got) == list(masks)
        for k in masks:
            same_tensor(got[k], masked(logits[k], masks[k]))
    else:
        got = su.apply_mask(kind(logits), kind(masks))
        assert type(got) is kind
        for g, lg, m in zip(got, logits, masks):
            same_tensor(g, masked(lg, m))


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
        pytest.param(NestedDict and NestedDict({"a": np.ones(1)}), {},
                     "Unsupported mask type: <class 'ray.rllib.utils.nested_dict.NestedDict'>", marks=needs_nested_dict),
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
        pytest.param(NestedDict and NestedDict({"a": {"b": np.zeros(2)}}), True, marks=needs_nested_dict),
        ({"a": np.array([0.0, np.nan])}, False),
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
        (1, MASK4, D4, True), (2, MASK4, D4, False), (3.0, MASK4, D4, True),
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


@pytest.mark.parametrize("action", [-1, -4, -0.5 - 1, np.int64(-1), np.array(-2), -(2**70)])
@pytest.mark.parametrize("mask", [[1, 0, 1, 1], np.array([1, 0, 1, 1]), (1, 1, 1, 1), "not indexable"])
def test_a_negative_discrete_action_never_fits(action, mask):
    # indexing would wrap around to a choice counted from the end
    assert su.action_fits_mask(action, mask, D4) is False
    assert su.action_fits_mask([0, action], [[1], mask], ks.MultiDiscrete([1, 4])) is False
    assert su.action_fits_mask({"a": action}, {"a": mask}, ks.Dict({"a": D4})) is False


def test_action_fits_mask_numpy_entry_and_errors():
    assert su.action_fits_mask(np.int64(1), np.array(MASK4), D4) is np.True_
    for past_the_end in (4, 9, np.int64(4)):
        with pytest.raises(IndexError):
            su.action_fits_mask(past_the_end, MASK4, D4)
        with pytest.raises(IndexError):
            su.action_fits_mask(past_the_end, np.array(MASK4), D4)
    with pytest.raises(NotImplementedError, match="^Space of type '<class 'int'>' is not supported$"):
        su.action_fits_mask(0, [1], 5)


# -- properties ---------------------------------------------------------------

REALS = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
         np.float16, np.float32, np.float64, np.longdouble]
COMPLEX = [np.complex64, np.complex128, np.clongdouble]
VIEWS = ["plain", "transposed", "strided", "reversed", "fortran", "swapped", "subclass", "readonly", "field"]
PROPERTY = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Marked(np.ndarray):
    """An ndarray subclass: it must take the general path."""


def pool(dtype, zeros_only):
    """Entry values for a dtype; all of them zero (negative zeros included) when asked."""
    if dtype.kind == "c":
        return [0, complex(-0.0, -0.0)] if zeros_only else [0, 1, 1j, complex("nan"), complex(0, -0.0)]
    if dtype.kind in "fO":
        return [0.0, -0.0] if zeros_only else [0.0, -0.0, 1.0, float("nan"), float("inf")]
    return [0] if zeros_only else [0, 1, 2]


@st.composite
def arrays(draw, dtypes=REALS + COMPLEX + [object], shape=None, views=VIEWS):
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)) if shape is None else shape
    size = int(np.prod(shape))
    values = draw(st.lists(st.sampled_from(pool(dtype, draw(st.booleans()))), min_size=size, max_size=size))
    if dtype.kind == "b":  # any nonzero byte is a true entry
        a = np.array(values, np.uint8).view(bool).reshape(shape)
    else:
        a = np.array(values, dtype=dtype).reshape(shape)
    view = draw(st.sampled_from(views))
    if view == "transposed":
        a = a.T
    elif view == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif view == "reversed" and a.ndim:
        a = a[::-1]
    elif view == "fortran":
        a = np.asfortranarray(a)
    elif view == "swapped" and dtype.kind != "O":
        a = a.astype(dtype.newbyteorder())
    elif view == "subclass":
        a = a.view(Marked)
    elif view == "readonly":
        a = a.copy()
        a.flags.writeable = False
    elif view == "field" and dtype.kind != "O":  # a packed record's field: strides off the item size
        record = np.zeros(a.shape, [("pad", "u1"), ("value", dtype)])
        record["value"] = a
        a = record["value"]
    return a


def trees(leaves, max_leaves=6):
    return st.recursive(
        leaves,
        lambda kids: st.lists(kids, max_size=3) | st.lists(kids, max_size=3).map(tuple)
        | st.dictionaries(st.sampled_from("abcd"), kids, max_size=3),
        max_leaves=max_leaves,
    )


@contextlib.contextmanager
def general_path():
    saved = su.np
    su.np = NumpyProxy()
    try:
        yield
    finally:
        su.np = saved


class Leaf(tuple):
    """The matching parts of one leaf (mask, logits, ...), kept together while a tree is drawn."""


def leaves_of(tree):
    if isinstance(tree, dict):
        return [x for v in tree.values() for x in leaves_of(v)]
    if isinstance(tree, (list, tuple)) and not isinstance(tree, Leaf):
        return [x for v in tree for x in leaves_of(v)]
    return [tree]


def part(tree, i):
    """The tree of the i-th parts of its leaves."""
    if isinstance(tree, Leaf):
        return tree[i]
    if isinstance(tree, dict):
        return {k: part(v, i) for k, v in tree.items()}
    if isinstance(tree, (list, tuple)):
        return type(tree)(part(v, i) for v in tree)
    return tree


RAW_BOOL = np.array([0, 2, 0], np.uint8).view(bool)  # a true entry stored as the byte 2


@pytest.mark.parametrize(
    "mask",
    [
        np.array([-0.0], np.float16), np.array([np.nan, 0], np.float16), np.array([0.0, -0.0], np.longdouble),
        np.array([complex(0, -0.0)]), np.array([complex(0, np.nan)], np.complex64), RAW_BOOL, RAW_BOOL[::2],
        np.zeros(3, ">i4"), np.array([0, 1], ">i2"), np.zeros((2, 3))[:, ::2], np.broadcast_to(np.int8(1), (2, 2)),
        np.array(0.0), np.zeros((0, 3)), np.array([0, None]), np.zeros(2).view(Marked),
    ],
)
def test_mask_all_zero_fast_path_edges(mask):
    fast = outcome(su.mask_all_zero, mask)
    with general_path():
        assert outcome(su.mask_all_zero, mask) == fast


I8 = np.int8


@pytest.mark.parametrize(
    "m1, m2",
    [
        (RAW_BOOL, np.array([3, 3, 3], I8)), (RAW_BOOL, RAW_BOOL), (np.array([-128, 100], I8), np.array([-1, 100], I8)),
        (np.array(1, I8), np.array(1, I8)), (np.ones((2, 2), I8, order="F"), np.ones((2, 2), I8, order="F")),
        (np.ones(3, I8), np.ones((2, 3), I8)), (np.ones(3, np.uint8), np.ones(3, I8)), (np.ones(2, I8), [1, 0]),
        (np.ones(2, I8).view(Marked), np.ones(2, I8)), (np.ones(3, I8)[::-1], np.ones(3, bool)),
        (np.zeros((0, 2), bool), np.zeros((0, 2), I8)),
    ],
)
def test_combine_masks_fast_path_edges(m1, m2):
    fast = outcome(su.combine_masks, m1, m2)
    with general_path():
        general = outcome(su.combine_masks, m1, m2)
    assert fast[0] == general[0] == "ok"
    same(fast[1], general[1])


@pytest.mark.parametrize("where", ["module np", "numpy itself"])
@pytest.mark.parametrize(
    "fn, name, args",
    [
        (su.mask_all_zero, "any", ({"a": np.zeros(2, I8), "b": [np.zeros(1, bool)]},)),
        (su.combine_masks, "multiply", ({"a": np.ones(2, I8), "b": [np.ones(1, I8)]},) * 2),
    ],
)
def test_a_rebound_numpy_function_is_called(monkeypatch, where, fn, name, args):
    calls, original = [], getattr(np, name)

    def spy(*a, **k):
        calls.append(name)
        return original(*a, **k)

    if where == "module np":
        proxy = NumpyProxy()
        proxy.__dict__[name] = spy
        monkeypatch.setattr(su, "np", proxy)
    else:
        monkeypatch.setattr(np, name, spy)
    fn(*args)
    assert calls == [name, name]


@settings(PROPERTY, max_examples=400)
@given(arrays())
def test_mask_all_zero_of_one_array_matches_general_path(mask):
    fast = outcome(su.mask_all_zero, mask)
    with general_path():
        assert outcome(su.mask_all_zero, mask) == fast == ("ok", not np.any(mask))


@PROPERTY
@given(trees(arrays() | st.builds(torch.tensor, st.lists(st.sampled_from([0.0, 1.0, -0.0]), max_size=3))))
def test_mask_all_zero_fast_path_matches_general_path_and_definition(mask):
    fast = outcome(su.mask_all_zero, mask)
    with general_path():
        assert outcome(su.mask_all_zero, mask) == fast
    assert fast == ("ok", not any(bool(np.asarray(x).any()) for x in leaves_of(mask)))


@st.composite
def mask_pairs(draw):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    dtypes = [np.bool_, np.int8, np.int8, np.uint8, np.float32]
    other = shape if draw(st.integers(0, 4)) else draw(hnp.array_shapes(min_dims=0, max_dims=2, max_side=4))
    return Leaf((draw(arrays(dtypes, shape)), draw(arrays(dtypes, other))))


@PROPERTY
@given(trees(mask_pairs()))
def test_combine_masks_fast_path_matches_general_path_and_product(pairs):
    m1, m2 = part(pairs, 0), part(pairs, 1)
    fast = outcome(su.combine_masks, m1, m2)
    with general_path():
        general = outcome(su.combine_masks, m1, m2)
    assert fast[0] == general[0]
    if fast[0] == "error":
        assert fast == general
        return
    same(fast[1], general[1])
    for (a, b), out in zip(leaves_of(pairs), leaves_of(fast[1])):
        np.testing.assert_array_equal(out, (a.astype(bool) if a.dtype == bool else a).astype(np.int8) * b)


@PROPERTY
@given(
    st.integers(-6, 6),
    st.one_of(
        st.lists(st.sampled_from([0, 1, 2, True, 1.0, np.int8(1)]), max_size=5),
        arrays(REALS + COMPLEX + [object], views=["plain", "strided", "reversed", "swapped", "subclass"]),
    ),
)
def test_discrete_fit_matches_the_direct_check(action, mask):
    def direct():
        return False if int(action) < 0 else mask[int(action)] == 1

    got, want = outcome(su.action_fits_mask, action, mask, ks.Discrete(4)), outcome(direct)
    assert got[0] == want[0]
    if got[0] == "ok":
        same(got[1], want[1])
    else:
        assert got == want


# Spaces whose members the module must read through Python code, for comparison with the core
# library's own classes, which it reads natively.
class RelayedDict(ks.Dict):
    def __iter__(self):
        yield from self.spaces

    def __getitem__(self, key):
        return self.spaces[key]


class RelayedDiscrete(ks.Discrete):
    __class__ = property(lambda self: type(self))


RELAYED = {ks.Dict: RelayedDict, ks.Discrete: RelayedDiscrete}


@st.composite
def fit_cases(draw, depth=0):
    """(kind, arguments) of a space, with an action and a mask that may or may not suit it."""
    kind = draw(st.sampled_from(["discrete", "box", "multi"] + (["dict", "tuple"] if depth < 2 else [])))
    if kind == "discrete":
        n = draw(st.integers(1, 4))
        mask = draw(st.lists(st.sampled_from([0, 1, 1.0, True, 2]), min_size=0, max_size=n + 1))
        mask = draw(st.sampled_from([list, tuple, np.array]))(mask) if mask else mask
        return (ks.Discrete, n), draw(st.integers(-2, n)), mask
    if kind == "box":
        return (ks.Box, 0, 1), None, None
    if kind == "multi":
        nvec = draw(st.lists(st.integers(1, 3), min_size=1, max_size=3))
        action = draw(st.lists(st.integers(-1, 3), max_size=len(nvec)))
        return (ks.MultiDiscrete, nvec), action, [[1, 0, 1][:n] for n in nvec]
    keys = draw(st.lists(st.sampled_from("abcd"), unique=True, max_size=3))
    members = [draw(fit_cases(depth + 1)) for _ in keys]
    if kind == "tuple":
        return (ks.Tuple, [m[0] for m in members]), [m[1] for m in members], [m[2] for m in members]
    action, mask = {k: m[1] for k, m in zip(keys, members)}, {k: m[2] for k, m in zip(keys, members)}
    if keys and draw(st.booleans()):
        del (mask if draw(st.booleans()) else action)[draw(st.sampled_from(keys))]
    return (ks.Dict, dict(zip(keys, [m[0] for m in members]))), action, mask


def build(spec, relayed):
    cls, *args = spec
    if cls is ks.Tuple:
        return cls(tuple(build(m, relayed) for m in args[0]))
    if cls is ks.Dict:
        args = [{k: build(m, relayed) for k, m in args[0].items()}]
    return (RELAYED.get(cls, cls) if relayed else cls)(*args)


@PROPERTY
@given(fit_cases())
def test_fit_reads_the_core_library_spaces_as_their_methods_do(case):
    spec, action, mask = case
    fast = outcome(su.action_fits_mask, action, mask, build(spec, False))
    general = outcome(su.action_fits_mask, action, mask, build(spec, True))
    assert fast[0] == general[0]
    if fast[0] == "ok":
        same(fast[1], general[1])
    else:
        assert fast == general


@pytest.mark.parametrize("relayed", [False, True])
def test_fit_reads_the_spaces_anew_for_every_member(relayed):
    space = (RelayedDict if relayed else ks.Dict)({"a": ks.Discrete(2), "b": ks.Discrete(2)})

    class Mask(dict):
        def __getitem__(self, key):
            if key == "a":  # the keys walked stay a and b; b's space is the new one
                space.spaces = collections.OrderedDict(a=ks.Discrete(2), b=ks.Box(0, 1))
            return super().__getitem__(key)

    assert su.action_fits_mask({"a": 1, "b": 1}, Mask(a=[0, 1], b=[1, 0]), space) is True


@st.composite
def masked_logits(draw):
    n = draw(st.integers(0, 4))
    bits = draw(st.lists(st.booleans(), min_size=n, max_size=n))
    values = draw(st.lists(st.floats(-5, 5, width=32), min_size=n, max_size=n))
    logits = draw(st.sampled_from([lambda v: np.array(v, np.float32), lambda v: torch.tensor(v, dtype=torch.float32)]))
    mask = draw(st.sampled_from([lambda b: np.array(b, np.int8), lambda b: np.array(b, bool),
                                 lambda b: torch.tensor(b, dtype=torch.float32), lambda b: torch.tensor(b)]))
    return Leaf((logits(values), mask(bits), [v if b else NEG_INF for v, b in zip(values, bits)]))


@PROPERTY
@given(trees(masked_logits()))
def test_apply_mask_keeps_allowed_logits_and_forbids_the_rest(tree):
    logits, mask, want = part(tree, 0), part(tree, 1), part(tree, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = su.apply_mask(logits, mask)

    def check(o, lg, w):
        if isinstance(w, dict):
            assert type(o) is dict and list(o) == list(w)
            for k in w:
                check(o[k], lg[k], w[k])
        elif isinstance(lg, (np.ndarray, torch.Tensor)):
            assert type(o) is type(lg) and as_list(o) == w
        else:
            assert type(o) is type(w) and len(o) == len(w)
            for x, y, z in zip(o, lg, w):
                check(x, y, z)

    check(out, logits, want)


# -- masks and logits of different libraries ----------------------------------


@contextlib.contextmanager
def strict():
    """Every warning an error (torch's once-per-process ones too), and numpy raising for every floating-point fault."""
    saved = torch.is_warn_always_enabled()
    torch.set_warn_always(True)
    try:
        with warnings.catch_warnings(), np.errstate(all="raise"):
            warnings.simplefilter("error")
            # torch's own note on every complex32 operation (the dtype is experimental): the caller made such a
            # tensor, and the conversion to a dtype numpy has is an operation on it.
            warnings.filterwarnings("ignore", "ComplexHalf support is experimental", UserWarning)
            yield
    finally:
        torch.set_warn_always(saved)


def values_of(x):
    """The entries of an array or tensor as complex128 numbers, whatever its dtype."""
    return np.asarray((x.detach().to(torch.complex128) if isinstance(x, torch.Tensor) else x).tolist(), np.complex128)


def apply_strictly(logits, mask):
    """apply_mask with warnings as errors: each entry is the logit where the mask is 1, -inf where it is 0
    and NaN where it is negative or NaN, in the logits' library (numpy adds two 0-d arrays into a scalar)."""
    with strict():
        out = su.apply_mask(logits, mask)
    kind = torch.Tensor if isinstance(logits, torch.Tensor) else (np.ndarray, np.generic)
    assert isinstance(out, kind) and tuple(out.shape) == tuple(logits.shape)
    got = values_of(out)
    assert np.all(got.imag == 0)
    for g, x, v in zip(got.real.ravel(), values_of(logits).real.ravel(), values_of(mask).real.ravel()):
        if v == 1:
            assert g == x
        elif v == 0:
            assert g == NEG_INF
        elif v < 0 or v != v:
            assert g != g


def logit_values(draw, shape):
    size = int(np.prod(shape))
    return np.array(draw(st.lists(st.floats(-5, 5, width=16), min_size=size, max_size=size)), np.float32).reshape(shape)


TORCH_LOGITS = [torch.float32, torch.float64, torch.float16, torch.bfloat16]


@st.composite
def numpy_mask_torch_logits(draw):
    mask = draw(arrays(REALS + [np.longlong, np.ulonglong, object], views=VIEWS))
    logits = torch.tensor(logit_values(draw, mask.shape)).to(draw(st.sampled_from(TORCH_LOGITS)))
    return mask, logits


TORCH_MASKS = [getattr(torch, name) for name in [
    "bool", "uint8", "int8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float16", "bfloat16",
    "float32", "float64", "complex32", "complex64", "complex128", "float8_e4m3fn", "float8_e5m2",
    "float8_e4m3fnuz", "float8_e5m2fnuz"] if hasattr(torch, name)]


@st.composite
def torch_mask_numpy_logits(draw):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    dtype = draw(st.sampled_from(TORCH_MASKS))
    bits = torch.tensor(draw(st.lists(st.booleans(), min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))))
    with warnings.catch_warnings():  # creating a complex32 tensor warns
        warnings.simplefilter("ignore")
        mask = bits.reshape(shape).to(dtype)
        view = draw(st.sampled_from(["plain", "transposed", "strided", "expanded", "conj", "grad"]))
        if view == "transposed":
            mask = mask.permute(tuple(reversed(range(mask.ndim))))
        elif view == "strided" and mask.ndim:
            mask = mask.repeat_interleave(2, dim=-1)[..., ::2]
        elif view == "expanded":
            mask = mask[..., :1].expand(mask.shape) if mask.ndim and mask.shape[-1] else mask
        elif view == "conj" and dtype.is_complex:
            mask = mask.conj()
        elif view == "grad" and dtype.is_floating_point:
            mask = mask.clone().requires_grad_()
    logits = logit_values(draw, tuple(mask.shape)).astype(draw(st.sampled_from([np.float32, np.float64, np.float16])))
    return mask, logits


@settings(PROPERTY, max_examples=300)
@given(numpy_mask_torch_logits() | torch_mask_numpy_logits())
def test_a_mask_of_the_other_library_masks_the_logits(pair):
    mask, logits = pair
    apply_strictly(logits, mask)


@st.composite
def odd_numpy_masks(draw):
    """Masks with entries other than 0 and 1: negative, fractional, NaN, infinite (and what casting those
    to an integer dtype makes of them)."""
    dtype = draw(st.sampled_from([np.float16, np.float32, np.float64, np.longdouble, np.int8, np.int64]))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=4))
    entries = [-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, np.nan, np.inf, -np.inf]
    values = draw(st.lists(st.sampled_from(entries), min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
    with np.errstate(invalid="ignore"):
        mask = np.array(values).reshape(shape).astype(dtype)
    return mask[::-1] if mask.ndim and draw(st.booleans()) else mask


@PROPERTY
@given(odd_numpy_masks(), st.sampled_from([np.array, torch.tensor]), st.data())
def test_entries_other_than_0_and_1_raise_no_floating_point_warning(mask, logits_of, data):
    apply_strictly(logits_of(logit_values(data.draw, mask.shape)), mask)


@pytest.mark.parametrize(
    "logits, mask",
    [
        (torch.tensor([0.5, 0.2, 0.3]), np.array([1, 0, 0], np.int8)[::-1]),
        (torch.tensor([0.5, 0.2, 0.3]), np.array([1, 0, 1], ">i4")),
        (torch.tensor([0.5, 0.2, 0.3]), np.array([1, 0, 1], np.longdouble)),
        (torch.tensor([0.5, 0.2, 0.3]), np.array([1, 0, 1], object)),
        (torch.tensor([0.5, 0.2, 0.3]), np.frombuffer(bytes([1, 0, 1]), np.uint8)),  # read-only
        (np.array([0.5, 0.2, 0.3], np.float32), torch.tensor([1, 0, 1], dtype=torch.bfloat16)),
        (np.array([0.5, 0.2, 0.3], np.float32), torch.tensor([1, 0, 1], dtype=torch.float8_e5m2)),
        (np.array([0.5, 0.2, 0.3], np.float32), np.array([1, -1, np.nan])),
    ],
)
def test_masks_torch_or_numpy_cannot_read_as_they_are(logits, mask):
    apply_strictly(logits, mask)
