"""Flattening: flatten_object_numpy / _torch / _batch and _flatten_unknown."""

import collections
import gc
import sys
import types

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from conftest import NestedDict, needs_nested_dict

import kestrelix_core.spaces as ks
from kestrelix_train.utils import space_utils as su

# An exception in a finalizer (a change that a test meant to make) fails the test.
pytestmark = [
    pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning"),
    # Leaves are read-only on purpose; torch warns (once a process) when a
    # tensor shares one, from the module as from the Python code it replaces.
    pytest.mark.filterwarnings("ignore:The given NumPy array is not writable:UserWarning"),
]

Point = collections.namedtuple("Point", "x y")


class Forward(types.ModuleType):
    """A module whose attributes are another module's own: rebinding the
    module's `np` or `torch` to it turns the native paths off."""

    def __init__(self, target):
        super().__init__("forward_" + target.__name__)
        self._target = target

    def __getattr__(self, name):
        return getattr(self._target, name)


def general(fn, *args):
    saved_np, saved_torch = su.np, su.torch
    su.np, su.torch = Forward(np), Forward(torch)
    try:
        return outcome(fn, *args)
    finally:
        su.np, su.torch = saved_np, saved_torch


def outcome(fn, *args):
    """What a call gives, in a form that compares exactly: kind, dtype, shape, bytes; or the error."""
    try:
        r = fn(*args)
    except Exception as e:  # noqa: BLE001 - the very exception is compared
        return ("raised", type(e), str(e))
    if isinstance(r, torch.Tensor):
        grad_fn = type(r.grad_fn).__name__ if r.grad_fn else None
        return (type(r), r.dtype, tuple(r.shape), r.device, grad_fn, r.detach().numpy().tobytes())
    if isinstance(r, np.ndarray):
        data = repr(r.tolist()) if r.dtype == object else r.tobytes()
        return (type(r), r.dtype, r.shape, r.flags.c_contiguous, data)
    return r


# -- the same steps written directly in Python ------------------------------


def py_numpy(o):
    if isinstance(o, np.ndarray):
        return o
    if isinstance(o, torch.Tensor):
        return torch.flatten(o).detach().numpy()
    if isinstance(o, (dict, su.NestedDict)):
        return np.concatenate([py_numpy(o[k]) for k in o.keys()], axis=None)
    if isinstance(o, (tuple, list)):
        return np.concatenate([py_numpy(m) for m in o], axis=None)
    raise ValueError("Unsupported object type: " + str(type(o)))


def py_torch(o, batch=False):
    kw, cat = ({"start_dim": 1}, {"dim": 1}) if batch else ({}, {})
    if isinstance(o, np.ndarray):
        return torch.flatten(torch.from_numpy(o), **kw)
    if isinstance(o, torch.Tensor):
        return torch.flatten(o, **kw)
    if isinstance(o, (dict, su.NestedDict)):
        return torch.cat([py_torch(o[k], batch) for k in o.keys()], **cat)
    if isinstance(o, (tuple, list)):
        return torch.cat([py_torch(m, batch) for m in o], **cat)
    raise ValueError("Unsupported object type: " + str(type(o)))


def py_unknown(space, x):
    if isinstance(x, np.ndarray):
        return x.flatten()
    if isinstance(x, dict):
        subs = space.spaces if isinstance(space, ks.Dict) else {}
        return np.concatenate([py_unknown(subs.get(k), x[k]) for k, _ in x.items()])
    if isinstance(x, tuple):
        return np.concatenate([py_unknown(s, m) for m, s in zip(x, space.spaces)])
    return None


# -- random nested values -----------------------------------------------------

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.int32, np.int64, np.uint64, np.longlong,
          np.float16, np.float32, np.float64, np.complex64, np.dtype(">f4"), np.dtype("<U2"), object]


@st.composite
def leaves(draw, batch=None, dtypes=DTYPES):
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    dims = draw(hnp.array_shapes(min_dims=0 if batch is None else draw(st.sampled_from([1, 2, 2, 2])),
                                 max_dims=3, min_side=0, max_side=3))
    if batch is not None:
        dims = (batch,) + dims[1:]
    elements = st.sampled_from(["a", "bc"]) if dtype.kind == "U" else st.integers(-3, 3) if dtype == object else None
    a = draw(hnp.arrays(dtype, dims, elements=elements))
    twist = draw(st.sampled_from(["plain"] * 4 + ["transposed", "strided", "readonly"]))
    if twist == "transposed" and a.ndim > 1:
        a = a.T if batch is None else a.swapaxes(1, -1)
    elif twist == "strided" and a.ndim > 0 and batch is None:
        a = np.repeat(a, 2, axis=0)[::2]
    elif twist == "readonly":
        a.flags.writeable = False
    return a


def nested(leaf, min_size=0):
    def extend(children):
        keys = st.text(alphabet="abcd", min_size=1, max_size=2)
        return st.one_of(
            st.dictionaries(keys, children, min_size=min_size, max_size=4),
            st.lists(children, min_size=min_size, max_size=4),
            st.lists(children, min_size=min_size, max_size=4).map(tuple),
            st.dictionaries(keys, children, min_size=1, max_size=3).map(collections.OrderedDict),
            st.tuples(children, children).map(lambda t: Point(*t)),
            *([st.dictionaries(keys, children, min_size=1, max_size=3).map(NestedDict)] if NestedDict else []),
        )

    return st.recursive(leaf, extend, max_leaves=10)


def one_dtype(dtypes, batch=None):
    """Nested values whose numpy leaves share one dtype (the gathered paths take them)."""
    return st.sampled_from(dtypes).flatmap(lambda d: nested(leaves(batch=batch, dtypes=[d]), min_size=1))


def tensors(batch=None):
    """Tensor leaves: shared with numpy, of their own dtype, or needing grad."""
    return st.one_of(leaves(batch=batch, dtypes=[np.float32]).map(torch.from_numpy),
                     leaves(batch=batch, dtypes=[np.float64, np.int64]).map(torch.tensor),
                     leaves(batch=batch, dtypes=[np.float32]).map(lambda a: torch.tensor(a, requires_grad=True)))


PROPERTY = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

numeric = [d for d in DTYPES if np.dtype(d).kind in "biufc"]
torch_ok = [np.bool_, np.int8, np.uint8, np.int16, np.int32, np.int64, np.float16, np.float32, np.float64]


@PROPERTY
@given(st.one_of(one_dtype(numeric), nested(st.one_of(
    leaves(), tensors(), st.sampled_from([3, None, np.float32(1)])))))
def test_numpy_native_paths_match_general_path_and_python(value):
    got = outcome(su.flatten_object_numpy, value)
    assert got == general(su.flatten_object_numpy, value)
    assert got == outcome(py_numpy, value)


@PROPERTY
@given(st.one_of(one_dtype(torch_ok + [np.longlong]),
                 nested(st.one_of(leaves(dtypes=numeric), tensors()))))
def test_torch_paths_match_general_path_and_python(value):
    got = outcome(su.flatten_object_torch, value)
    assert got == general(su.flatten_object_torch, value)
    assert got == outcome(py_torch, value)


@PROPERTY
@given(st.integers(0, 3).flatmap(lambda b: st.one_of(
    one_dtype(torch_ok, batch=b),
    nested(st.one_of(leaves(batch=b, dtypes=torch_ok + [np.uint64, np.complex64]), tensors(batch=b))))))
def test_batch_paths_match_general_path_and_python(value):
    got = outcome(su.flatten_object_batch, value)
    assert got == general(su.flatten_object_batch, value)
    assert got == outcome(py_torch, value, True)


@st.composite
def valued_spaces(draw, depth=0):
    kind = draw(st.sampled_from(["box", "tuple", "dict"] if depth < 3 else ["box"]))
    if kind == "box":
        a = draw(leaves(dtypes=numeric))
        return ks.Box(-1, 1, (1,)), a
    members = [draw(valued_spaces(depth + 1)) for _ in range(draw(st.integers(0, 3)))]
    if kind == "tuple":
        spaces = [s for s, _ in members][: draw(st.integers(0, len(members)))]
        return ks.Tuple(spaces), tuple(v for _, v in members)
    keys = [f"k{i}" for i in range(len(members))]
    return ks.Dict({k: s for k, (s, _) in zip(keys, members)}), {k: v for k, (_, v) in zip(keys, members)}


@PROPERTY
@given(valued_spaces())
def test_flatten_unknown_matches_general_path_and_python(space_and_value):
    space, value = space_and_value
    got = outcome(su._flatten_unknown, space, value)
    assert got == general(su._flatten_unknown, space, value)
    assert got == outcome(py_unknown, space, value)


@PROPERTY
@given(st.sampled_from([None, ks.Box(0, 1, (1,)), ks.Discrete(2), ks.Tuple([]), ks.Dict({})]),
       st.one_of(one_dtype(numeric), nested(leaves(dtypes=numeric))))
def test_flatten_unknown_without_a_dict_space_matches_general_path_and_python(space, value):
    # Every member of a dict goes with None when the space is not a Dict.
    got = outcome(su._flatten_unknown, space, value)
    assert got == general(su._flatten_unknown, space, value)
    assert got == outcome(py_unknown, space, value)


# -- the batch join at scale ----------------------------------------------------


@pytest.mark.parametrize("widths", [
    [4] * 16, [8] * 5, [16] * 3, [32] * 4, [64] * 16,  # one piece width throughout
    [1, 2, 3, 5, 7, 9, 15, 17, 31, 33, 63, 65, 100, 300],  # every size class of piece
    [40, 0, 24],  # a leaf without features
])
@pytest.mark.parametrize("rows", [1, 37])
def test_batch_join_lays_rows_side_by_side(widths, rows):
    rng = np.random.default_rng(len(widths) * rows)
    value = {f"k{i}": rng.integers(-100, 100, (rows, w), dtype=np.int8) for i, w in enumerate(widths)}
    assert outcome(su.flatten_object_batch, value) == outcome(py_torch, value, True)


@pytest.mark.parametrize("twist", ["plain", "transposed", "sliced"])
def test_batch_join_of_many_megabytes(twist):
    # Large enough for the huge-page advice; one leaf may be laid out otherwise.
    rng = np.random.default_rng(1)
    value = [rng.random((70000, 16), dtype=np.float32) for _ in range(4)]
    if twist == "transposed":
        value[1] = np.ascontiguousarray(value[1].T).T
    elif twist == "sliced":
        value[2] = rng.random((70000, 32), dtype=np.float32)[:, ::2]
    got = su.flatten_object_batch({"a": value[:2], "b": tuple(value[2:])})
    assert torch.equal(got, torch.cat([torch.from_numpy(v) for v in value], dim=1))


CHANGES = {
    "retyped": lambda a: setattr(a, "dtype", np.int32),
    "read-only": lambda a: setattr(a.flags, "writeable", False),
    # (an array laid out as a transpose takes a shape only where no copy is needed)
    "reshaped": lambda a: setattr(a, "shape", (2, 3) if a.flags.c_contiguous else (3, 1, 2)),
    "resized": lambda a: a.resize((40, 2), refcheck=False),
}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("middle", ["contiguous", "transposed"])
def test_batch_join_rereads_leaves_changed_while_torch_allocates(change, middle):
    # A finalizer run by the collection that torch's allocation sets off
    # changes a leaf; the join must follow the leaf as it is afterwards.
    # (A dict: a list would be tested against NestedDict first, which runs
    # Python code and the finalizer before the scan.)
    leaves = [np.ones((3, 2), np.float32) for _ in range(3)]
    if middle == "transposed":
        leaves[1] = np.asfortranarray(leaves[1])  # owns its data, laid out as a transpose
    value = dict(zip("abc", leaves))
    late = []

    class Change:
        def __del__(self):
            CHANGES[change](leaves[1])
            # From 3.12 on the collection waits for the next bytecode boundary:
            # one in outcome's own frame came after the call had returned.
            late.append(sys.version_info >= (3, 12) and sys._getframe(1).f_code is outcome.__code__)

    saved = gc.get_threshold()
    gc.disable()
    try:
        cycle = Change()
        cycle.me = cycle
        del cycle
        gc.set_threshold(1)
        gc.enable()
        got = outcome(su.flatten_object_batch, value)
    finally:
        gc.set_threshold(*saved)
        gc.enable()
    assert late, "the call made no collection"
    if late[0]:
        pytest.skip("the collection came only after the call (torch's allocation runs no Python code)")
    assert got == outcome(py_torch, value, True)


# -- edge cases ---------------------------------------------------------------


def test_numpy_array_comes_back_itself_and_containers_flatten():
    a = np.arange(6).reshape(2, 3)
    assert su.flatten_object_numpy(a) is a and a.shape == (2, 3)
    assert su.flatten_object_numpy({"a": a}).shape == (6,)
    got = su.flatten_object_numpy({"x": np.zeros(2), "y": (np.ones(1), [np.ones((1, 2))])})
    assert got.tolist() == [0, 0, 1, 1, 1]


@pytest.mark.parametrize("value, order", [
    (collections.OrderedDict([("b", np.array([1])), ("a", np.array([2]))]), [1, 2]),
    (Point(np.array([3]), np.array([4])), [3, 4]),
    pytest.param(NestedDict and NestedDict({"b": np.array([5]), "a": {"c": np.array([6])}}), [5, 6],
                 marks=needs_nested_dict),
    ([np.array([7]), (np.array([8]),)], [7, 8]),
])
@pytest.mark.parametrize("fn", [su.flatten_object_numpy, su.flatten_object_torch])
def test_containers_flatten_in_their_order(fn, value, order):
    assert fn(value).tolist() == order


def test_batch_keeps_the_first_dimension():
    got = su.flatten_object_batch({"a": np.zeros((4, 2)), "b": np.ones((4, 3, 1))})
    assert got.shape == (4, 5) and got[:, :2].sum() == 0 and got[:, 2:].sum() == 12


@pytest.mark.parametrize("fn, value, name", [
    (su.flatten_object_numpy, 3, "int"), (su.flatten_object_torch, None, "NoneType"),
    (su.flatten_object_batch, "s", "str"), (su.flatten_object_numpy, {"a": np.ones(1), "b": (1.5,)}, "float"),
])
def test_unsupported_values_are_named(fn, value, name):
    with pytest.raises(ValueError, match=rf"^Unsupported object type: <class '{name}'>$"):
        fn(value)


@pytest.mark.parametrize("fn", [su.flatten_object_numpy, su.flatten_object_torch, su.flatten_object_batch])
@pytest.mark.parametrize("empty", [{}, (), [], {"a": []}])
def test_empty_containers_raise_the_library_error(fn, empty):
    expected = outcome(py_numpy if fn is su.flatten_object_numpy else py_torch, empty)
    assert outcome(fn, empty) == expected and expected[0] == "raised"


@pytest.mark.parametrize("fn", [su.flatten_object_numpy, su.flatten_object_torch, su.flatten_object_batch,
                                lambda v: su._flatten_unknown(None, v)])
def test_deep_nesting_raises_recursion_error(fn):
    value = np.ones((1, 1))
    for _ in range(100000):
        value = {"a": value}
    with pytest.raises(RecursionError):
        fn(value)


def test_members_go_through_the_module_global(monkeypatch):
    seen = []
    original = su.flatten_object_numpy

    def spy(member):
        seen.append(member)
        return original(member)

    monkeypatch.setattr(su, "flatten_object_numpy", spy)
    a, b = np.ones(1), np.zeros(2)
    assert original({"a": a, "b": (b,)}).tolist() == [1, 0, 0]
    assert [type(m) for m in seen] == [np.ndarray, tuple, np.ndarray] and seen[0] is a


def test_rebound_concatenate_is_called(monkeypatch):
    calls = []
    proxy = Forward(np)
    proxy.concatenate = lambda pieces, **kw: calls.append(kw) or np.concatenate(pieces, **kw)
    monkeypatch.setattr(su, "np", proxy)
    su.flatten_object_numpy({"a": np.ones(1), "b": (np.ones(2),)})
    su._flatten_unknown(None, {"a": np.ones(1)})
    assert calls == [{"axis": None}, {"axis": None}, {}]


def test_value_based_promotion_happens_level_by_level():
    # A nested 0-d int64 holding 300 joins its tuple as int64, not as the int16
    # that one join of all leaves gives under numpy 1.x's value-based casting.
    value = {"a": np.zeros(2, np.int8), "b": (np.array(300),)}
    assert su.flatten_object_numpy(value).dtype == np.int64
    flat = [np.zeros(2, np.int8), np.array(300)]
    assert su.flatten_object_numpy(flat).dtype == np.concatenate(flat, axis=None).dtype


def test_torch_fast_path_gives_plain_cpu_tensors():
    value = {"a": np.ones(2, np.float32), "b": (np.zeros(1, np.float32),)}
    with torch.device("meta"):
        assert su.flatten_object_torch(value).device.type == "cpu"
    with torch.inference_mode():
        assert su.flatten_object_torch(value).is_inference()
    out = su.flatten_object_torch(value)
    out.resize_(10)  # a storage of its own, as torch.cat gives
    assert not out.requires_grad


@pytest.mark.parametrize("fn", [su.flatten_object_numpy,
                                lambda v: su._flatten_unknown(ks.Dict({"a": ks.Box(0, 1, (2,))}), v)])
def test_array_subclasses_keep_their_own_joining(fn):
    # np.concatenate defers to the masked array's own implementation.
    got = fn({"a": np.ma.array([1.0, 2.0], mask=[False, True]), "b": np.zeros(1)})
    assert type(got) is np.ma.MaskedArray and got.tolist() == [1.0, 2.0, 0.0]


def test_tensor_leaves_are_detached_for_numpy():
    t = torch.ones(2, 2, requires_grad=True)
    assert su.flatten_object_numpy({"t": t, "a": np.zeros(1, np.float32)}).tolist() == [1, 1, 1, 1, 0]


def test_flatten_unknown_walks_value_and_space():
    tup = ks.Tuple([ks.Box(0, 1, (1,)), ks.Box(0, 1, (1,))])
    space = ks.Dict({"t": tup, "a": ks.Box(0, 1, (2,))})
    value = {"a": np.ones(2), "t": (np.zeros(1), np.full(1, 2.0), np.full(1, 9.0))}
    assert su._flatten_unknown(space, value).tolist() == [1, 1, 0, 2]  # zip drops the third member
    assert su._flatten_unknown(ks.Box(0, 1, (1,)), {"a": np.ones((1, 2))}).tolist() == [1, 1]
    a = np.ones((2, 3))
    assert su._flatten_unknown(None, a).shape == (6,) and a.shape == (2, 3)


@pytest.mark.parametrize("value", [[np.ones(1)], torch.ones(1), 5, "s", None, types.MappingProxyType({})])
def test_flatten_unknown_gives_none_for_other_kinds(value):
    assert su._flatten_unknown(None, value) is None


@pytest.mark.parametrize("space, value, error", [
    (None, (np.ones(1),), AttributeError),  # a tuple needs its space's sub-spaces
    (ks.Dict({}), {"t": (np.ones(1),)}, AttributeError),  # no sub-space for "t"
    (ks.Tuple([]), (np.ones(1),), ValueError),  # nothing left to join
])
def test_flatten_unknown_errors(space, value, error):
    assert outcome(su._flatten_unknown, space, value)[:2] == ("raised", error)


@pytest.mark.parametrize(
    "widths, dtype",
    [
        ((16,) * 16, np.float32),  # rows of 64-byte pieces
        ((4, 64, 12, 8), np.float64),  # mixed multiples of 16 bytes
        ((16, 3, 16), np.float32),  # one 12-byte piece
    ],
)
def test_batch_join_past_cache_size(widths, dtype):
    # Large enough for the join to write around the caches.
    rows = (5 << 20) // (sum(widths) * np.dtype(dtype).itemsize) + 1
    rng = np.random.default_rng(1)
    obs = {f"k{i}": rng.random((rows, w)).astype(dtype) for i, w in enumerate(widths)}
    got = su.flatten_object_batch(obs)
    want = torch.cat([torch.from_numpy(v) for v in obs.values()], dim=1)
    assert got.dtype == want.dtype and torch.equal(got, want)
