"""Sensor values into numpy form and into spaces; nested values into arrays of one dtype."""

import collections
import types
import warnings

import numpy as np
import pytest
import torch
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import kestrelix_core.spaces as ks
from kestrelix_train.utils import space_utils as su

INF = float("inf")


@pytest.mark.parametrize(
    "value,dtype,shape,content",
    [
        (3, np.float32, (1,), [3.0]),
        (True, np.float32, (1,), [1.0]),
        (np.float64(2.5), np.float32, (1,), [2.5]),
        ([1, 2], np.float32, (1, 2), [[1.0, 2.0]]),
        (np.array(7, dtype=np.int64), np.int64, (1,), [7]),
    ],
)
def test_sensor_value_to_array(value, dtype, shape, content):
    out = su._convert_sensor_to_numpy_array(value)
    assert type(out) is np.ndarray and out.dtype == dtype and out.shape == shape
    assert out.tolist() == content


@pytest.mark.parametrize("arr", [np.zeros(3, dtype=np.int16), np.ones((2, 3)), np.zeros((0,))])
def test_sensor_array_of_one_or_more_dimensions_is_passed_through(arr):
    assert su._convert_sensor_to_numpy_array(arr) is arr


def test_sensor_dict_becomes_plain_nested_dict_in_order():
    value = collections.OrderedDict([("z", 1), ("a", collections.OrderedDict([("y", np.zeros(2)), ("b", 2.0)]))])
    out = su._convert_sensor_to_numpy_array(value)
    assert type(out) is dict and list(out) == ["z", "a"]
    assert type(out["a"]) is dict and list(out["a"]) == ["y", "b"]
    assert out["a"]["y"] is value["a"]["y"]
    assert su._convert_sensor_to_numpy_array({}) == {}


@pytest.mark.parametrize("bad", ["abc", object()])
def test_sensor_value_numpy_refuses_passes_through(bad):
    with pytest.raises((TypeError, ValueError)) as info:
        su._convert_sensor_to_numpy_array(bad)
    with pytest.raises(type(info.value)) as expected:
        np.array([bad], dtype=np.float32)
    assert str(info.value) == str(expected.value)


def box_of(space):
    assert type(space) is ks.Box
    assert np.all(space.low == -INF) and np.all(space.high == INF)
    return space.shape


@pytest.mark.parametrize(
    "value,shape",
    [
        (7, (1,)),
        (2.5, (1,)),
        (True, (1,)),
        (np.int64(7), (1,)),
        (np.float32(1.5), (1,)),
        (np.array(3.0), (1,)),
        (np.zeros(5), (5,)),
        (np.zeros((0,)), (0,)),
        # an array is described by its full shape, so the space contains it
        (np.zeros((3, 4)), (3, 4)),
        (np.zeros((2, 1, 3)), (2, 1, 3)),
    ],
)
def test_value_to_unbounded_box(value, shape):
    space = su._convert_value_to_gym_space(value)
    assert box_of(space) == shape
    if isinstance(value, np.ndarray) and value.ndim >= 1:
        assert space.contains(value.astype(np.float32))


def test_value_dict_to_dict_space_in_order():
    space = su._convert_value_to_gym_space(collections.OrderedDict([("b", np.zeros(2)), ("a", 1), ("c", {})]))
    assert type(space) is ks.Dict and list(space.spaces) == ["b", "a", "c"]
    assert box_of(space["b"]) == (2,) and box_of(space["a"]) == (1,)
    assert type(space["c"]) is ks.Dict and len(space["c"].spaces) == 0
    assert list(su._convert_value_to_gym_space({}).spaces) == []


@pytest.mark.parametrize("value", [[1, 2], "s", None, (1,), torch.zeros(2), {"a": {"b": [1]}}])
def test_value_of_unsupported_kind(value):
    bad = value
    while isinstance(bad, dict):
        bad = next(iter(bad.values()))
    with pytest.raises(NotImplementedError) as info:
        su._convert_value_to_gym_space(value)
    assert info.value.args == (f"Unable to convert value ({bad}) to gym space!, got type {type(bad)}",)


def test_space_errors_pass_through(monkeypatch):
    error = RuntimeError("box refused")

    class Spaces:
        Dict = ks.Dict

        def Box(self, **kwargs):
            assert list(kwargs) == ["low", "high", "shape"]
            raise error

    monkeypatch.setattr(su, "kestrelix_spaces", Spaces())
    with pytest.raises(RuntimeError) as info:
        su._convert_value_to_gym_space(1)
    assert info.value is error


# --------------------------------------------------------------------------
# make_np_array
# --------------------------------------------------------------------------


def test_make_np_array_nested_value_and_trace(trace_lines):
    value = {"a": [1, 2], "b": (3, np.zeros(2))}
    with trace_lines() as lines:
        out = su.make_np_array(value)
    assert type(out) is dict and list(out) == ["a", "b"]
    assert out["a"].dtype == np.float32 and out["a"].tolist() == [1.0, 2.0]
    assert type(out["b"]) is tuple
    assert out["b"][0].shape == () and out["b"][0].dtype == np.float32 and out["b"][0] == 3
    assert out["b"][1].dtype == np.float32 and out["b"][1].tolist() == [0.0, 0.0]
    assert lines == [
        f"x=== {value} <class 'dict'>",
        "x=== [1, 2] <class 'list'>",
        f"x=== {value['b']} <class 'tuple'>",
        "x=== 3 <class 'int'>",
        "x=== [0. 0.] <class 'numpy.ndarray'>",
    ]


@pytest.mark.parametrize(
    "call",
    [lambda x: su.make_np_array(x, np.int8), lambda x: su.make_np_array(x, dtype=np.int8),
     lambda x: su.make_np_array(x=x, dtype="int8")],
)
def test_make_np_array_dtype_reaches_every_leaf(call, trace_lines):
    Point = collections.namedtuple("Point", "x y")
    with trace_lines():
        out = call(collections.OrderedDict([("p", Point(np.arange(3), 2.7)), ("q", {"r": [1]})]))
    assert type(out) is dict and type(out["p"]) is tuple
    assert [leaf.dtype for leaf in (out["p"][0], out["p"][1], out["q"]["r"])] == [np.int8] * 3
    assert out["p"][1] == 2


def test_make_np_array_array_goes_through_astype(trace_lines):
    arr = np.arange(6, dtype=np.int64).reshape(2, 3)
    with trace_lines() as lines:
        out = su.make_np_array(arr)
    assert out is not arr and out.dtype == np.float32 and out.shape == (2, 3)
    assert "\n".join(lines) == f"x=== {arr} <class 'numpy.ndarray'>"
    with trace_lines() as lines:
        assert su.make_np_array({}) == {} and su.make_np_array(()) == ()
    assert lines == ["x=== {} <class 'dict'>", "x=== () <class 'tuple'>"]


# numpy 2 warns that torch's Tensor.__array__ takes no `copy` keyword: a
# matter between the two libraries, which np.array(tensor) meets as well
@pytest.mark.filterwarnings("ignore:__array__ implementation doesn't accept a copy keyword:DeprecationWarning")
def test_make_np_array_tensor_goes_to_numpy_whole(trace_lines):
    with trace_lines():
        out = su.make_np_array(torch.tensor([1.5, 2.5]))
    assert out.dtype == np.float32 and out.tolist() == [1.5, 2.5]


def test_make_np_array_children_go_through_the_module_global(monkeypatch, trace_lines):
    original = su.make_np_array
    calls = []
    monkeypatch.setattr(su, "make_np_array", lambda x, dtype: calls.append((x, dtype)) or "leaf")
    with trace_lines():
        assert original({"a": 1, "b": (2,)}, np.int16) == {"a": "leaf", "b": "leaf"}
    assert calls == [(1, np.int16), ((2,), np.int16)]


def _members(x):
    """Every member of a nested value, by identity, with where it sits."""
    if isinstance(x, dict):
        return [(type(x), k, id(v), _members(v)) for k, v in x.items()]
    if isinstance(x, tuple):
        return [(type(x), i, id(v), _members(v)) for i, v in enumerate(x)]
    return []


# a member that numpy cannot convert, with members on either side of it
FAILING_IN_THE_MIDDLE = {
    "dict": lambda bad: {"a": 1, "b": bad, "c": 2},
    "tuple": lambda bad: (1, bad, 2),
    "nested": lambda bad: collections.OrderedDict(a=(1, {"b": bad, "c": np.zeros(2)}), d=3),
}


@pytest.mark.parametrize("make", FAILING_IN_THE_MIDDLE.values(), ids=FAILING_IN_THE_MIDDLE)
def test_make_np_array_stops_at_the_first_failure_and_leaves_the_input_alone(make, trace_lines):
    value = make("x")
    members = _members(value)
    with trace_lines() as lines:
        with pytest.raises(ValueError, match="could not convert string to float"):
            su.make_np_array(value)
    # the failing member is the last node visited: nothing after it is
    # converted, and no member of the input was replaced
    assert lines[-1] == "x=== x <class 'str'>"
    assert _members(value) == members


@pytest.mark.parametrize("make", FAILING_IN_THE_MIDDLE.values(), ids=FAILING_IN_THE_MIDDLE)
def test_make_np_array_child_error_passes_through_unchanged(make, monkeypatch, trace_lines):
    original, seen, err, bad = su.make_np_array, [], LookupError("no conversion"), object()

    def child(x, dtype):
        seen.append(x)
        if x is bad:
            raise err
        return original(x, dtype)

    monkeypatch.setattr(su, "make_np_array", child)
    with trace_lines(), pytest.raises(LookupError) as info:
        original(make(bad))
    assert info.value is err and seen[-1] is bad
    with trace_lines(), pytest.raises(TypeError, match="data type"):
        original(1, dtype="not-a-dtype")


@pytest.mark.parametrize(
    "fn",
    [su.make_np_array, su._convert_sensor_to_numpy_array, su._convert_value_to_gym_space],
)
def test_deep_nesting_raises_recursion_error(fn, trace_lines):
    deep = {}
    node = deep
    for _ in range(100_000):
        node["k"] = {}
        node = node["k"]
    with trace_lines():
        with pytest.raises(RecursionError):
            fn(deep)


def test_dict_changing_size_during_conversion(monkeypatch):
    value = {"a": 1, "b": 2}
    original = su._convert_sensor_to_numpy_array
    monkeypatch.setattr(su, "_convert_sensor_to_numpy_array", lambda v: value.setdefault("c", 3))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        original(value)


# -- numpy's conversions made natively ------------------------------------------


def untraced(x, dtype):
    """make_np_array with its trace line silenced."""
    su.print = lambda *args: None
    try:
        return su.make_np_array(x, dtype)
    finally:
        del su.print


def converted(fn, *args):
    """A call's result in a form that compares exactly (kind, dtype, layout, bytes), its
    warnings, or its error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            r = fn(*args)
        except Exception as e:  # noqa: BLE001 - the very exception is compared
            got = ("raised", type(e), str(e))
        else:
            a = r[0] if isinstance(r, tuple) else r
            got = (type(a), a.dtype, a.shape, a.strides, a.flags.c_contiguous, a.flags.f_contiguous,
                   a.flags.owndata, a.flags.writeable, a.tobytes())
    return got, [(w.category, str(w.message)) for w in caught]


TARGETS = [np.float32, np.float64, np.dtype(np.float32), np.dtype(">f8"), np.int8, "float32"]
SOURCES = [np.bool_, np.int8, np.uint16, np.int32, np.int64, np.uint64, np.float16, np.float32, np.float64,
           np.dtype(">f8"), np.complex64]


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(SOURCES)))
    a = draw(hnp.arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)))
    layout = draw(st.sampled_from(["c", "transposed", "strided", "fortran"]))
    if layout == "transposed":
        a = a.T
    elif layout == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=0)[::2]
    elif layout == "fortran":
        a = np.asfortranarray(a)
    return a


@settings(max_examples=300, deadline=None)
@given(arrays(), st.sampled_from(TARGETS))
def test_array_leaves_convert_as_astype_does(a, dtype):
    # Overflow to infinity in float32 warns; both ways must warn alike.
    assert converted(untraced, a, dtype) == converted(a.astype, dtype)


FLT_MAX = float(np.finfo(np.float32).max)
scalars = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.sampled_from([FLT_MAX, np.nextafter(FLT_MAX, INF), 3.4028235677973366e38, -FLT_MAX * 1.0000001,
                     1e-46, -0.0, 2.0**53, 2.0**53 + 2]),
    st.integers(-(2**70), 2**70), st.sampled_from([2**53, 2**53 + 1, -(2**53) - 1, True, False]),
    st.floats(width=32).map(np.float32), st.floats().map(np.float64),
    st.sampled_from(["1.5", None, np.int64(3), [1.0], np.array(2.0)]))


@settings(max_examples=500, deadline=None)
@given(scalars, st.sampled_from(TARGETS))
def test_scalar_leaves_convert_as_np_array_does(value, dtype):
    assert converted(untraced, value, dtype) == converted(lambda: np.array(value, dtype=dtype))


@settings(max_examples=300, deadline=None)
@given(scalars)
def test_sensor_scalars_convert_as_np_array_does(value):
    if isinstance(value, np.ndarray):
        return  # an array is passed through, not converted
    assert converted(su._convert_sensor_to_numpy_array, value) == converted(
        lambda: np.array([value], dtype=np.float32))


def test_a_replaced_np_array_is_called(monkeypatch):
    calls = []
    proxy = types.ModuleType("np")
    proxy.__dict__.update(np.__dict__)
    proxy.array = lambda *args, **kwargs: calls.append((args, kwargs)) or np.array(*args, **kwargs)
    monkeypatch.setattr(su, "np", proxy)
    monkeypatch.setattr(su, "print", lambda *args: None, raising=False)
    su.make_np_array(1.5)
    su._convert_sensor_to_numpy_array(2.5)
    assert calls == [((1.5,), {"dtype": np.float32}), (([2.5],), {"dtype": np.float32})]
