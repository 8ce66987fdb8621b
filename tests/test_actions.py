"""Action unsquashing, logit unpacking and the skill selector's action mask."""
import inspect
import sys
import types
import warnings
from collections import OrderedDict

import numpy as np
import pytest
import torch
import tree
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kestrelix_core import spaces as S
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su


class NumpyProxy:
    """Stands in for numpy so that the module takes its general path."""

    def __getattr__(self, name):
        return getattr(np, name)


def outcome_of(fn):
    """What a call gives: its result (an array down to its bytes and layout) or its exception, and its warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            r = fn()
            if isinstance(r, np.ndarray):
                result = ("array", r.dtype, r.shape, r.strides, r.tobytes(), r.flags.c_contiguous,
                          r.flags.f_contiguous, r.flags.owndata, r.flags.writeable)
            elif isinstance(r, np.generic):
                result = ("scalar", type(r), r.tobytes())
            else:
                result = ("value", type(r), r)
        except Exception as e:  # noqa: BLE001 - the exception itself is compared
            result = ("raise", type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


def box(low, high, shape=(1,), dtype=np.float32):
    return S.Box(low=low, high=high, shape=shape, dtype=dtype)


# ---------------------------------------------------------------- unsquash


@pytest.mark.parametrize(
    "action, expected",
    [(-1.0, -2.0), (0.0, 2.0), (1.0, 6.0), (1.5, 6.0), (-3.0, -2.0)],
)
def test_float_box_rescales_and_clips(action, expected):
    out = su.unsquash_action(np.array([action], np.float32), box(-2, 6))
    assert out.tolist() == [expected]


def test_per_dimension_bounds():
    space = box(np.array([0, -10, 5], np.float32), np.array([1, 10, 7], np.float32), (3,))
    out = su.unsquash_action(np.zeros(3, np.float32), space)
    assert out.tolist() == [0.5, 0.0, 6.0]


@pytest.mark.parametrize("action, expected", [(0, 3), (2, 5), (50, 53)])
def test_integer_box_shifts_by_low_without_clipping(action, expected):
    out = su.unsquash_action(np.array([action]), box(3, 10, dtype=np.int64))
    assert out.tolist() == [expected]


@pytest.mark.parametrize(
    "space", [box(-2, 6, dtype=np.float16), S.Discrete(3), S.MultiDiscrete([2, 3]), box(0, 1, dtype=bool)]
)
def test_unsquash_passes_through_the_same_object(space):
    action = np.array([0.25])
    assert su.unsquash_action(action, space) is action


def test_tuple_space_pairs_like_zip_and_builds_a_tuple():
    space = S.Tuple((box(-2, 6), S.Discrete(4)))
    out = su.unsquash_action([np.array([1.0]), 3, "extra"], space)
    assert type(out) is tuple and len(out) == 2
    assert out[0].tolist() == [6.0] and out[1] == 3


def test_dict_structure_maps_leaves_and_keeps_discrete():
    out = su.unsquash_action({"a": np.array([0.0]), "d": 2}, {"a": box(-2, 6), "d": S.Discrete(3)})
    assert out["a"].tolist() == [2.0] and out["d"] == 2


def test_tree_errors_pass_through():
    with pytest.raises(ValueError) as got:
        su.unsquash_action({"a": 1.0}, {"b": box(0, 1)})
    with pytest.raises(ValueError) as expected:
        tree.map_structure(lambda a, s: a, {"a": 1.0}, {"b": box(0, 1)})
    assert str(got.value) == str(expected.value)


def _handed_to_map_structure(monkeypatch, calls=2):
    seen = []

    def spy(fn, *structures):
        seen.append(fn)
        return tree.map_structure(fn, *structures)

    monkeypatch.setattr(su, "tree", types.SimpleNamespace(map_structure=spy))
    for _ in range(calls):
        su.unsquash_action({"a": np.array([0.0])}, {"a": box(0, 2)})
    monkeypatch.undo()
    return seen


def unsquash_action():
    def map_(a, s):
        pass

    return map_


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((1, 2, 3), {}), ((1,), {"b": 2}), ((1,), {"a": 2}), ((), {"s": 1}), ((), {1: 2})],
)
def test_map_callable_binds_like_a_nested_def(monkeypatch, args, kwargs):
    fn = _handed_to_map_structure(monkeypatch, 1)[0]
    with pytest.raises(TypeError) as want:
        unsquash_action()(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        fn(*args, **kwargs)
    assert str(got.value) == str(want.value)


def test_map_callable_takes_keywords_and_is_a_function(monkeypatch):
    first, second = _handed_to_map_structure(monkeypatch)
    assert first is not second and first.__code__ is second.__code__
    assert str(inspect.signature(first)) == "(a, s)"
    assert first.__qualname__ == "unsquash_action.<locals>.map_" and first.__module__ == su.__name__
    first.tag = 1
    assert not hasattr(second, "tag") and first.__defaults__ is None
    assert first(s=box(0, 4), a=np.array([1.0])).tolist() == [4.0]
    d3 = S.Discrete(3)
    assert first(7, s=d3) == 7


def test_recursion_goes_through_module_global_and_is_guarded(monkeypatch):
    class Loop(S.Tuple):
        def __init__(self):
            pass

        def __iter__(self):
            return iter((self,))

    nested = []
    nested.append(nested)
    with pytest.raises(RecursionError):
        su.unsquash_action(nested, Loop())
    original, calls = su.unsquash_action, []
    monkeypatch.setattr(su, "unsquash_action", lambda a, s: calls.append(a) or "x")
    assert original(["p", "q"], S.Tuple((box(0, 1), box(0, 1)))) == ("x", "x")
    assert calls == ["p", "q"]


def _py_unsquash(a, s):
    return np.clip(s.low + (a + 1.0) * (s.high - s.low) / 2.0, s.low, s.high)


@pytest.mark.parametrize(
    "dtype",
    [np.dtype("f4"), np.dtype("f8"), np.dtype(">f4"), np.dtype(">f8"), np.dtype("f4", metadata={"m": 1}),
     np.dtype("f2"), np.dtype("i4"), np.dtype(("f4", (1,)))],
    ids=str,
)
def test_box_dtype_decides_as_numpy_compares(dtype):
    space = box(-2, 6, (2,), np.float64)
    space.dtype = dtype
    action = np.array([0.0, 0.5])
    if dtype == np.float32 or dtype == np.float64:
        want = _py_unsquash(action, space)
    else:
        want = space.low + action if np.issubdtype(dtype, np.integer) else action
    assert su.unsquash_action(action, space).tolist() == want.tolist()


@settings(max_examples=150, deadline=None)
@given(
    dtype=st.sampled_from([np.float32, np.float64]),
    action_dtype=st.sampled_from([np.float32, np.float64]),
    per_dim=st.booleans(),
    data=st.data(),
)
def test_unsquash_is_bit_identical_to_the_python_expression(dtype, action_dtype, per_dim, data):
    n = data.draw(st.integers(1, 6))
    finite = dict(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6, width=32)
    if per_dim:
        low = data.draw(hnp.arrays(dtype, n, elements=st.floats(**finite)))
        high = low + data.draw(hnp.arrays(dtype, n, elements=st.floats(0, 1e6, width=32)))
    else:
        low = data.draw(st.floats(**finite))
        high = low + data.draw(st.floats(0, 1e6))
    space = box(low, high, (n,), dtype)
    action = data.draw(hnp.arrays(action_dtype, n, elements=st.floats(-2, 2, width=32)))
    got, want = su.unsquash_action(action, space), _py_unsquash(action, space)
    assert got.dtype == want.dtype and got.tobytes() == want.tobytes()
    scalar = data.draw(st.floats(-2, 2))
    assert su.unsquash_action(scalar, space).tobytes() == _py_unsquash(scalar, space).tobytes()


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("below, above", [(-1, 3), (1, 9)])
def test_unsquash_rounds_each_operation_as_numpy_where_the_half_span_is_subnormal(dtype, below, above):
    # bounds a few of the smallest subnormals around the smallest normal
    # number: a multiply and an add fused into one instruction round once
    # where numpy rounds twice, and land on another neighbour
    tiny, step = np.finfo(dtype).tiny, np.finfo(dtype).smallest_subnormal
    low, high = dtype(tiny + dtype(below) * step), dtype(tiny + dtype(above) * step)
    action = np.linspace(-1, 1, 17, dtype=dtype)
    for a, n in [(action, 17), *((action[i:i + 1], 1) for i in range(17))]:
        space = box(low, high, (n,), dtype)
        got, want = su.unsquash_action(a, space), _py_unsquash(a, space)
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes(), (a, got, want)


# The native rescale against numpy's own: bit for bit, with numpy's warnings and errors.

EDGE_VALUES = [0.0, -0.0, 1.0, -1.0, 1e-45, 5e-324, 1e-310, 3.4e38, -3.4e38, 1.7e308, np.inf, -np.inf, np.nan]


def float_arrays(dtype, shape):
    with np.errstate(over="ignore"):
        edges = [dtype(v) for v in EDGE_VALUES + [np.finfo(dtype).max, np.finfo(dtype).tiny]]
    elements = st.floats(-3, 3, width=32) | st.sampled_from(edges) | hnp.from_dtype(np.dtype(dtype))
    return hnp.arrays(dtype, shape, elements=elements)


LAYOUTS = {
    "plain": lambda x: x,
    "reversed": lambda x: x[::-1] if x.ndim else x,
    "strided": lambda x: np.repeat(x, 2, axis=0)[::2] if x.ndim else x,
    "fortran": np.asfortranarray,
    "transposed": lambda x: x.T,
    "readonly": lambda x: np.frombuffer(x.tobytes(), x.dtype).reshape(x.shape),
}


@st.composite
def rescale_cases(draw):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    dtypes = [draw(st.sampled_from([np.float32, np.float64])) for _ in range(3)]
    shapes = [shape if draw(st.integers(0, 6)) else draw(hnp.array_shapes(min_dims=0, max_dims=2, max_side=3))
              for _ in range(3)]
    a, low, high = (draw(float_arrays(dt, sh)) for dt, sh in zip(dtypes, shapes))
    a = LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](a)
    if low.shape == high.shape and draw(st.booleans()):
        low, high = np.minimum(low, high), np.maximum(low, high)
    space = box(-1, 1, (1,), draw(st.sampled_from([np.float32, np.float64])))
    space.low, space.high = low, high  # bounds of any dtype and shape, as a caller may set them
    return a, space


@settings(max_examples=400, deadline=None)
@given(case=rescale_cases(), errstate=st.sampled_from([{}, {"all": "raise"}, {"all": "warn"}, {"under": "raise"}]))
def test_native_rescale_matches_numpy_bit_for_bit(case, errstate):
    a, space = case
    with np.errstate(**errstate):
        fast = outcome_of(lambda: su.unsquash_action(a, space))
        with pytest.MonkeyPatch.context() as m:
            m.setattr(su, "np", NumpyProxy())
            general = outcome_of(lambda: su.unsquash_action(a, space))
    assert fast == general



@pytest.mark.parametrize("low, high", [(-0.0, -0.0), (0.0, 0.0), (-0.0, 1.0), (-1.0, -0.0), (-1.0, 1.0)])
@pytest.mark.parametrize("dtypes", [(np.float32, np.float32, np.float64), (np.float64, np.float64, np.float32)])
@pytest.mark.parametrize("shape", [(1, 1), (2, 3)])
def test_native_rescale_keeps_numpys_sign_of_zero(low, high, dtypes, shape):
    # a zero result against a zero bound: numpy's own loop picks the sign
    a = np.zeros(shape, dtypes[0])
    space = box(-1, 1, (1,), np.float32)
    space.low, space.high = np.full(shape, low, dtypes[1]), np.full(shape, high, dtypes[2])
    fast = outcome_of(lambda: su.unsquash_action(a, space))
    with pytest.MonkeyPatch.context() as m:
        m.setattr(su, "np", NumpyProxy())
        general = outcome_of(lambda: su.unsquash_action(a, space))
    assert fast == general


def test_native_rescale_runs_no_numpy_python_code():
    space = box(np.array([-2, 0, 5], np.float32), np.array([6, 1, 7], np.float32), (3,))
    frames = []
    sys.setprofile(lambda frame, event, arg: frames.append(frame.f_code.co_name) if event == "call" else None)
    try:
        out = su.unsquash_action({"x": np.array([-1.0, 0.5, 3.0], np.float32)}, {"x": space})
    finally:
        sys.setprofile(None)
    assert out["x"].tolist() == [-2.0, 0.75, 7.0]
    assert not {"clip", "_clip", "_wrapfunc"} & set(frames)


@pytest.mark.parametrize("batch, expected", [({}, {}), ({"k": torch.zeros(0, 2)}, {"k": []})])
def test_unsquash_batch_empty(batch, expected):
    assert su.unsquash_action_batch(batch, {"k": box(0, 1, (2,))}) == expected


def test_unsquash_batch_rows_in_order_and_errors():
    batch = {"b": torch.tensor([[-1.0, 1.0], [0.0, 0.0], [1.0, -1.0]]), "a": torch.zeros(1, 1)}
    out = su.unsquash_action_batch(batch, {"a": S.Discrete(2), "b": box(0, 4, (2,))})
    assert list(out) == ["b", "a"] and type(out["b"]) is list
    assert [r.tolist() for r in out["b"]] == [[0, 4], [2, 2], [4, 0]]
    assert out["a"][0].shape == (1,)
    with pytest.raises(AttributeError, match="keys"):
        su.unsquash_action_batch(None, {})
    with pytest.raises(KeyError):
        su.unsquash_action_batch({"b": batch["b"]}, {})


# ----------------------------------------------------------- unpack_logits


def _py_unpack(logits, space):
    if isinstance(space, (S.Dict, S.Tuple)):
        if isinstance(space, S.Tuple) and isinstance(logits, (list, tuple)):
            return logits
        if isinstance(space, S.Dict) and isinstance(logits, dict):
            return logits
        offset, batch_dims = 0, list(logits.shape[:-1])
        members = space.spaces if isinstance(space, S.Tuple) else space.spaces.items()
        u = [] if isinstance(space, S.Tuple) else OrderedDict()
        for m in members:
            key, sub = (None, m) if isinstance(space, S.Tuple) else m
            part = torch.reshape(logits[..., offset : offset + sub.size], batch_dims + list(sub.shape))
            offset += sub.size
            if key is None:
                u.append(_py_unpack(part, sub))
            else:
                u[key] = _py_unpack(part, sub)
        return u
    if isinstance(space, S.MultiDiscrete):
        offsets = np.cumsum([0] + list(space.nvec))
        return [logits[..., a:b] for a, b in zip(offsets[:-1], offsets[1:])]
    return logits


def _flatten(parts, batch_dims):
    if isinstance(parts, (list, OrderedDict)):
        members = parts.values() if isinstance(parts, dict) else parts
        return torch.cat([_flatten(p, batch_dims) for p in members], dim=-1)
    return torch.reshape(parts, batch_dims + [-1])


def _same(a, b):
    assert type(a) is type(b)
    if isinstance(a, (list, dict)):
        assert len(a) == len(b)
        if isinstance(a, dict):
            assert list(a) == list(b)
        for x, y in zip(a.values() if isinstance(a, dict) else a, b.values() if isinstance(b, dict) else b):
            _same(x, y)
    else:
        assert a.shape == b.shape and a.dtype == b.dtype and torch.equal(a, b)


leaf_spaces = st.one_of(
    st.integers(1, 4).map(S.Discrete),
    st.lists(st.integers(1, 4), min_size=1, max_size=3).map(S.MultiDiscrete),
    st.tuples(st.integers(1, 3), st.integers(1, 3)).map(lambda s: box(-1, 1, s)),
    st.integers(1, 3).map(S.MultiBinary),
)
spaces = st.recursive(
    leaf_spaces,
    lambda inner: st.one_of(
        st.lists(inner, min_size=1, max_size=3).map(lambda m: S.Tuple(tuple(m))),
        st.dictionaries(st.text("abcxyz", min_size=1, max_size=2), inner, min_size=1, max_size=3).map(S.Dict),
    ),
    max_leaves=8,
)


@settings(max_examples=120, deadline=None)
@given(space=spaces, batch=st.lists(st.integers(1, 3), max_size=3), dtype=st.sampled_from([torch.float32, torch.float64]))
def test_unpack_matches_torch_steps_and_round_trips(space, batch, dtype):
    logits = torch.randn(batch + [space.size], dtype=dtype)
    got = su.unpack_logits(logits, space)
    if isinstance(space, S.MultiDiscrete):
        assert [g.shape for g in got] == [w.shape for w in _py_unpack(logits, space)]
    else:
        _same(got, _py_unpack(logits, space))
    assert torch.equal(_flatten(got, batch), logits)


@pytest.mark.parametrize("arr", [np.arange(10.0).reshape(2, 5), torch.arange(10.0).reshape(2, 5)])
def test_multidiscrete_slices_numpy_and_torch(arr):
    parts = su.unpack_logits(arr, S.MultiDiscrete([3, 2]))
    assert [p.tolist() for p in parts] == [[[0, 1, 2], [5, 6, 7]], [[3, 4], [8, 9]]]


@pytest.mark.parametrize(
    "logits, space",
    [
        ([1, 2], S.Tuple((S.Discrete(2),))),
        ((1,), S.Tuple((S.Discrete(2),))),
        (OrderedDict(x=1), S.Dict({"a": S.Discrete(2)})),
        (torch.zeros(3, 2), box(0, 1, (2,))),
        (torch.zeros(3, 2), S.Discrete(2)),
        ("anything", S.MultiBinary(2)),
    ],
)
def test_unpack_returns_the_argument_itself(logits, space):
    assert su.unpack_logits(logits, space) is logits


def test_unpack_errors_pass_through_and_recursion_is_guarded():
    with pytest.raises(RuntimeError, match="shape"):
        su.unpack_logits(torch.zeros(2, 2), S.Tuple((box(0, 1, (3,)),)))
    with pytest.raises(AttributeError, match="shape"):
        su.unpack_logits({"a": 1}, S.Tuple((S.Discrete(2),)))

    class Loop(S.Tuple):
        def __init__(self):
            self.spaces = (self,)

        size = 1
        shape = (1,)

    with pytest.raises(RecursionError):
        su.unpack_logits(torch.zeros(1), Loop())


class RelayedBox(S.Box):
    """A Box whose size and shape go through Python code, so the module reads them as attributes."""

    size = property(lambda self: S.Box.size.fget(self))
    shape = property(lambda self: S.Box.shape.fget(self))


def tensors_of(parts):
    """The pieces of an unpacked result, with how they are nested."""
    if isinstance(parts, (list, dict)):
        items = parts.items() if isinstance(parts, dict) else enumerate(parts)
        return type(parts), [(k, tensors_of(v)) for k, v in items]
    return parts.shape, parts.dtype, parts.stride(), parts.storage_offset(), parts.tolist()


# The shape tuples a Box may end up holding: ordinary ones, and some whose product wraps around in int64
# or does not fit it, or whose entries are not plain ints.
BOX_SHAPES = st.one_of(
    st.lists(st.integers(0, 3), max_size=3).map(tuple),
    st.sampled_from([(2**40, 2**40, 0), (2**32, 2**32), (2**62, 4), (2**63,), (-1, 3), (np.int64(2),), (True, 3)]),
)


@settings(max_examples=200, deadline=None)
@given(shapes=st.lists(BOX_SHAPES, min_size=1, max_size=4), as_dict=st.booleans(), batch=st.integers(1, 3))
def test_native_box_sizes_match_the_attributes(shapes, as_dict, batch):
    def unpack(cls):
        members = []
        for shape in shapes:
            member = cls(-1.0, 1.0, (1,), np.float32)
            member._shape = shape
            members.append(member)
        space = S.Dict({f"k{i}": m for i, m in enumerate(members)}) if as_dict else S.Tuple(tuple(members))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = tensors_of(su.unpack_logits(torch.arange(batch * 40.0).reshape(batch, 40), space))
            except Exception as e:  # noqa: BLE001 - the exception itself is compared
                result = (type(e), str(e))
        return result, [(w.category, str(w.message)) for w in caught]

    assert unpack(S.Box) == unpack(RelayedBox)


def test_native_box_sizes_run_no_python_code():
    def calls(space):
        frames = []
        sys.setprofile(lambda frame, event, arg: frames.append(frame.f_code.co_name) if event == "call" else None)
        try:
            su.unpack_logits(torch.zeros(2, 5), space)
        finally:
            sys.setprofile(None)
        return frames

    assert not {"size", "shape", "<lambda>"} & set(calls(S.Tuple((box(0, 1, (2,)), box(0, 1, (3,))))))
    assert {"size", "shape"} <= set(calls(S.Tuple((RelayedBox(0, 1, (2,)), RelayedBox(0, 1, (3,))))))


class TorchProxy(types.ModuleType):
    """Stands in for torch so that unpack_logits takes its general path."""

    def __init__(self):
        super().__init__("torch")

    def __getattr__(self, name):
        return getattr(torch, name)


def grad_chain(t):
    """The autograd nodes behind `t`, less a reshape of a slice to its own
    shape (the general path makes it; the fast path hands the slice back)."""
    names, fn = [], t.grad_fn
    while fn is not None:
        names.append(type(fn).__name__)
        fn = fn.next_functions[0][0] if fn.next_functions else None
    reshape, view = ("ViewBackward0", "ReshapeAliasBackward0"), ("SliceBackward0", "AliasBackward0")
    return [n for i, n in enumerate(names) if not (n in reshape and names[i + 1 : i + 2] and names[i + 1] in view)]


def seen(parts, logits):
    """What a caller can see of unpacked pieces: layout, view of the logits, autograd state and values."""
    if isinstance(parts, (list, dict)):
        items = parts.items() if isinstance(parts, dict) else enumerate(parts)
        return type(parts), [(k, seen(v, logits)) for k, v in items]
    root = logits if logits._base is None else logits._base
    return (tuple(parts.shape), parts.stride(), parts.storage_offset(), parts.dtype, parts.device,
            parts._is_view(), parts._base is root, parts.requires_grad, parts.is_leaf, grad_chain(parts),
            parts._version, parts.is_inference(), parts.detach().tolist())


def first_piece(parts):
    while isinstance(parts, (list, dict)):
        parts = next(iter(parts.values())) if isinstance(parts, dict) else parts[0]
    return parts


def modified_in_place(piece):
    """What autograd says of an in-place change, with an operand that requires grad, of an unpacked piece."""
    try:
        piece.add_(torch.ones(piece.shape[-1], requires_grad=True))
        return grad_chain(piece)
    except RuntimeError as e:
        return str(e)


def ordered(space, last):
    """`space` with its members in an OrderedDict (as older gymnasium holds them), `last` moved to its end."""
    space.spaces = OrderedDict(space.spaces)
    space.spaces.move_to_end(last)
    return space


UNPACK_SPACES = {
    "dict of discrete": (S.Dict({f"k{i}": S.Discrete(4) for i in range(8)}), 32),
    "boxes and discrete": (S.Tuple((box(-1, 1, (2, 3)), S.Discrete(3), box(-1, 1, ()), box(-1, 1, (2,)))), 12),
    "wider logits": (S.Dict({"a": S.Discrete(2), "b": box(-1, 1, (1, 2))}), 7),
    "one column each": (S.Tuple((S.Discrete(1), box(-1, 1, (1,)), S.Discrete(2))), 4),
    "empty box": (S.Tuple((box(-1, 1, (0,)), S.Discrete(2), box(-1, 1, (2, 0)))), 2),
    "nested": (S.Tuple((S.Dict({"a": S.Discrete(2), "m": S.MultiDiscrete([2, 3])}), S.Discrete(3))), 10),
    "multidiscrete": (S.MultiDiscrete([3, 1, 2]), 6),
    "multidiscrete wider": (S.MultiDiscrete([3, 1]), 6),
    "ordered members": (ordered(S.Dict({"a": S.Discrete(2), "b": box(-1, 1, (1, 2)), "c": S.Discrete(3)}), "a"), 7),
}
UNPACK_LOGITS = {
    "plain": lambda shape: torch.randn(shape),
    "non-contiguous": lambda shape: torch.randn(shape[::-1]).permute(*range(len(shape) - 1, -1, -1)),
    "a view": lambda shape: torch.randn(shape[:-1] + (shape[-1] + 3,))[..., 2 : shape[-1] + 2],
    "requires grad": lambda shape: torch.randn(shape, requires_grad=True),
    "a view that requires grad": lambda shape: torch.randn(shape[:-1] + (shape[-1] + 1,), requires_grad=True)[..., 1:],
}
MODES = {"grad": torch.enable_grad, "no_grad": torch.no_grad, "inference": torch.inference_mode}


@pytest.mark.parametrize("batch", [(), (5,), (2, 3), (1, 3), (0, 2)], ids=str)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("logits_kind", UNPACK_LOGITS)
@pytest.mark.parametrize("space_kind", UNPACK_SPACES)
def test_unpacked_pieces_are_the_general_paths_in_every_respect(monkeypatch, space_kind, logits_kind, mode, batch):
    space, width = UNPACK_SPACES[space_kind]

    def unpack():
        torch.manual_seed(0)
        logits = UNPACK_LOGITS[logits_kind](batch + (width,))
        with MODES[mode]():
            parts = su.unpack_logits(logits, space)
        in_place = modified_in_place(first_piece(parts)) if first_piece(parts).numel() else None
        return seen(parts, logits), in_place, grad_chain(logits)

    fast = unpack()
    monkeypatch.setattr(su, "torch", TorchProxy())
    assert fast == unpack()


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("space", [S.Dict({"a": S.Discrete(3), "b": S.Discrete(4)}), S.Tuple((box(-1, 1, (2, 2)),))])
def test_logits_too_narrow_give_the_general_paths_error(monkeypatch, mode, space):
    def error():
        with MODES[mode](), pytest.raises(RuntimeError) as e:
            su.unpack_logits(torch.zeros(2, 3), space)
        return str(e.value)

    fast = error()
    monkeypatch.setattr(su, "torch", TorchProxy())
    assert fast == error()


class OwnDict(S.Dict):
    pass


class OwnTensor(torch.Tensor):
    pass


@pytest.mark.parametrize("mode", ["grad", "no_grad"])
@pytest.mark.parametrize(
    "logits, space, reads",
    [
        (torch.zeros(2, 7), S.Dict({"a": S.Discrete(3), "b": S.Discrete(4)}), set()),
        (torch.zeros(2, 7), ordered(S.Dict({"a": S.Discrete(3), "b": S.Discrete(4)}), "a"), set()),
        (torch.zeros(2, 7), OwnDict({"a": S.Discrete(3), "b": S.Discrete(4)}), {"size", "shape"}),
        (torch.zeros(2, 7).as_subclass(OwnTensor), S.Dict({"a": S.Discrete(3), "b": S.Discrete(4)}), {"size", "shape"}),
    ],
)
def test_members_are_read_natively_only_for_the_core_classes_and_tensors(mode, logits, space, reads):
    frames = []
    sys.setprofile(lambda frame, event, arg: frames.append(frame.f_code.co_name) if event == "call" else None)
    try:
        with MODES[mode]():
            parts = su.unpack_logits(logits, space)
    finally:
        sys.setprofile(None)
    assert {"size", "shape"} & set(frames) == reads
    assert [type(p) for p in parts.values()] == [type(logits)] * 2


# ------------------------------------------------------ selector action mask


class CountingSelector(SkillSelector):
    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.calls = []

    def __getattribute__(self, name):
        if name in ("is_fixed_order", "is_repeat", "get_children_names"):
            object.__getattribute__(self, "calls").append(name)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize(
    "prev, repeat, expected",
    [
        (None, False, [1, 0, 0]),
        (0, False, [1, 1, 0]),
        (1, True, [0, 1, 1]),
        (2, True, [1, 0, 1]),
        (2, False, [0, 0, 1]),
        (-1, True, [1, 0, 1]),
        (-1, False, [0, 0, 1]),
        (np.int16(2), True, [1, 0, 1]),
    ],
)
def test_fixed_order_masks(prev, repeat, expected):
    out = su.compute_selector_action_mask(prev, SkillSelector("abc", fixed_order=True, repeat=repeat))
    assert type(out) is np.ndarray and out.dtype == np.int8 and out.tolist() == expected


def test_unordered_selector_gets_a_plain_list_and_no_repeat_query():
    sel = CountingSelector("abc", fixed_order=False, repeat=True)
    assert su.compute_selector_action_mask(None, sel) == [1, 1, 1]
    assert sel.calls == ["is_fixed_order", "get_children_names"]


@pytest.mark.parametrize(
    "prev, children, exc",
    [(3, "abc", IndexError), (0, "", IndexError), (None, "", IndexError), ("0", "abc", TypeError), (1.0, "ab", TypeError),
     (2**70, "ab", IndexError)],
)
def test_selector_mask_errors(prev, children, exc):
    with pytest.raises(exc):
        su.compute_selector_action_mask(prev, SkillSelector(children, fixed_order=True))


class Relayed(SkillSelector):
    """Reads its attributes through Python code, so the module calls its methods as written."""

    def __getattribute__(self, name):
        return object.__getattribute__(self, name)


FLAGS = st.sampled_from([True, False, 1, 0, "", "yes", None])


@settings(max_examples=300, deadline=None)
@given(
    n=st.integers(0, 6),
    fixed=FLAGS,
    repeat=FLAGS,
    names=st.sampled_from([list, tuple, iter]),
    prev=st.one_of(
        st.none(),
        st.integers(-9, 9),
        st.integers(-9, 9).map(np.int64),
        st.integers(-9, 9).map(np.int32),
        st.sampled_from([2**65, -(2**65), True, "1", 1.0]),
    ),
)
def test_fast_paths_match_the_general_path(n, fixed, repeat, names, prev):
    def outcome(cls, numpy):
        sel = cls([str(i) for i in range(n)], fixed_order=fixed, repeat=repeat)
        sel.children_names = names(sel.children_names)
        with pytest.MonkeyPatch.context() as m:
            m.setattr(su, "np", numpy)
            return outcome_of(lambda: su.compute_selector_action_mask(prev, sel))

    fast = outcome(SkillSelector, np)
    for cls, numpy in [(SkillSelector, NumpyProxy()), (Relayed, np), (Relayed, NumpyProxy())]:
        assert outcome(cls, numpy) == fast


@pytest.mark.parametrize("where", ["instance", "class"])
def test_replaced_selector_methods_are_called(monkeypatch, where):
    sel = SkillSelector("abc", fixed_order=True, repeat=False)
    target = sel if where == "instance" else SkillSelector
    monkeypatch.setattr(target, "is_fixed_order", lambda *self: False)
    assert su.compute_selector_action_mask(1, sel) == [1, 1, 1]
    monkeypatch.setattr(target, "get_children_names", lambda *self: ["x"])
    assert su.compute_selector_action_mask(1, sel) == [1]


def test_replaced_numpy_names_are_called(monkeypatch):
    calls = []
    monkeypatch.setattr(np, "array", lambda x, dtype: calls.append((list(x), dtype)) or "made")
    assert su.compute_selector_action_mask(None, SkillSelector("ab", fixed_order=True)) == "made"
    assert calls == [([1, 0], np.int8)]


@pytest.mark.parametrize(
    "module, name, value, dtype",
    [
        (S, "Box", type("NotABox", (), {}), np.float32),
        (np, "float32", np.float16, np.float32),
        (np, "float64", np.float32, np.float64),
    ],
)
def test_unsquash_leaf_follows_rebound_names(monkeypatch, module, name, value, dtype):
    # With the Box class or the float type rebound, no leaf is a float Box.
    action = {"a": np.array([0.5], dtype)}
    space = {"a": S.Box(-2.0, 6.0, (1,), dtype)}
    assert su.unsquash_action(action, space)["a"].tolist() == [4.0]
    monkeypatch.setattr(module, name, value)
    assert su.unsquash_action(action, space)["a"] is action["a"]
