"""make_np_array's trace line: written natively when `print` is the built-in.

Each check runs make_np_array twice with sys.stdout set to a stream that
records its write() calls: once as it is (the built-in print, so the module
writes the line itself), once with the module's `print` bound to a Python
function that calls the built-in (so numpy's own printer makes the text).
The two recordings must be equal, call for call.
"""

import builtins
import collections
import contextlib
import gc
import importlib
import io
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kestrelix_train.utils import space_utils as su

NUMPY = np.lib.NumpyVersion(np.__version__)
NUMPY2 = NUMPY >= "2.0.0"
ARRAYPRINT = importlib.import_module("numpy._core.arrayprint" if NUMPY2 else "numpy.core.arrayprint")

class Recorder(io.TextIOBase):
    def __init__(self, log=None):
        super().__init__()
        self.calls = []
        self.log = log if log is not None else []

    def writable(self):
        return True

    def write(self, text):
        self.calls.append(text)
        return len(text)

    def flush(self):
        self.log.append("flush")


def via_python_print(*args):
    return builtins.print(*args)


@contextlib.contextmanager
def stdout(stream):
    saved = sys.stdout
    sys.stdout = stream
    try:
        yield stream
    finally:
        sys.stdout = saved


def recorded(x, reference, dtype=object):
    """The write() calls of make_np_array(x, dtype), then the error's type if it raised."""
    if reference:
        su.print = via_python_print
    try:
        with stdout(Recorder()) as rec:
            try:
                su.make_np_array(x, dtype)
            except Exception as e:  # noqa: BLE001 - compared between the two runs
                rec.calls.append(type(e).__name__)
    finally:
        if reference:
            del su.print
    return rec.calls


def assert_same_trace(x, dtype=object):
    native = recorded(x, reference=False, dtype=dtype)
    assert native == recorded(x, reference=True, dtype=dtype)
    return native


# -- values -------------------------------------------------------------------

INT_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "q", "Q", "l", "L"]
FLOAT_DTYPES = ["float16", "float32", "float64"]
DTYPES = ["bool"] + INT_DTYPES + FLOAT_DTYPES


HARD_FLOATS = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e-4, 1e8, 999.99, 1000.0, 0.1, 1 / 3, 2 / 3, 0.5, 1.5, 1e-5,
               99999999.0, 100000000.5, 0.001953125, 0.000123456785, 123.456789125, 9.999999995, 0.99999999,
               65504.0, 99999992.0, 2.0**-20, 2.0**-6]


def hard_floats(dtype):
    """Values at the edges of numpy's float printing, as `dtype` holds them."""
    info = np.finfo(dtype)
    limits = [info.max, -info.max, info.tiny, info.smallest_subnormal, info.eps]
    with np.errstate(over="ignore"):
        return [float(dtype(v)) for v in HARD_FLOATS + [float(v) for v in limits]]


def float_values(dtype):
    width = {"float16": 16, "float32": 32, "float64": 64}[dtype]
    return st.one_of(
        st.floats(width=width),
        st.sampled_from(hard_floats(np.dtype(dtype).type)),
        # few significant digits: positional text, ties at the 8th decimal
        st.builds(lambda m, e: m * 10.0**e, st.integers(-99_999_999, 99_999_999), st.integers(-12, 9)),
        st.builds(lambda m, e: m / 2.0**e, st.integers(-(2**20), 2**20), st.integers(0, 40)),
        st.floats(min_value=0.5, max_value=600.0, width=width),
    )


def elements(dtype):
    dt = np.dtype(dtype)
    if dt.kind == "f":
        return float_values(dtype)
    if dt.kind == "b":
        return st.booleans()
    info = np.iinfo(dt)
    edges = [int(info.min), int(info.max), int(info.min) + 1, int(info.max) - 1, 0, 1, 10, 99, 100, 999]
    return st.one_of(st.integers(int(info.min), int(info.max)),
                     st.sampled_from([v for v in edges if info.min <= v <= info.max]))


def scalar(dtype, value):
    with np.errstate(over="ignore", invalid="ignore"):
        return np.dtype(dtype).type(value)


def cast(values, dtype):
    with np.errstate(over="ignore", invalid="ignore"):
        return np.array(values, dtype=np.float64 if np.dtype(dtype).kind == "f" else object).astype(dtype)


@st.composite
def arrays(draw, dtypes=DTYPES, max_side=8):
    dtype = draw(st.sampled_from(dtypes))
    shape = draw(st.one_of(
        hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=max_side),
        # around and past the summarization threshold (1000 elements)
        st.sampled_from([(1000,), (1001,), (7, 143), (8, 126), (2, 3, 167), (11, 10, 10), (1, 1001), (2000, 1)]),
    ))
    size = int(np.prod(shape))
    pool = draw(st.lists(elements(dtype), min_size=1, max_size=24))
    picks = draw(st.lists(st.integers(0, len(pool) - 1), min_size=size, max_size=size)) if size <= 64 else \
        list(np.random.default_rng(draw(st.integers(0, 2**32 - 1))).integers(0, len(pool), size))
    a = cast([pool[i] for i in picks], dtype).reshape(shape)
    layout = draw(st.sampled_from(["c", "transposed", "reversed", "strided", "fortran"]))
    if layout == "transposed":
        a = a.T
    elif layout == "reversed" and a.ndim:
        a = a[::-1]
    elif layout == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif layout == "fortran":
        a = np.asfortranarray(a)
    return a


# -- arrays and scalars ------------------------------------------------------------


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(arrays())
def test_array_str_and_repr_match_numpy(a):
    # the tuple prints repr(a) inside its own repr, then its member prints str(a)
    trace = assert_same_trace((a,))
    assert trace[2] == f"({a!r},)" and trace[8] == str(a)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_float_digits_match_numpy(data):
    """Rows of one float dtype: the digit cut, ties, and exponent notation."""
    dtype = data.draw(st.sampled_from(FLOAT_DTYPES))
    values = data.draw(st.lists(float_values(dtype), min_size=1, max_size=6))
    a = cast(values, dtype)
    assert_same_trace((a, a[0]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("values", [
    [1e-4, 1.0], [1e-4, 0.1], [9.9999e-5, 1.0], [1e8, 1.0], [99999999.0, 1.0], [1.0, 1000.0], [1.0, 1000.5],
    [0.001, 1.0], [0.001, 1.001], [0.0, -0.0], [-0.0], [np.nan], [np.nan, -np.inf], [np.inf, 1.5],
    [np.nan, 1e-7], [1e-300, 1e300], [0.001953125, 3.0], [5e-324, 1.0], [999.5, 1000.0], [999999.94, 1.0], [1e-4], [1e-4, 0.05],
    [1e6], [1e15, 1.0],
])
def test_float_edges_match_numpy(dtype, values):
    a = cast(values, dtype)
    assert_same_trace((a, a.reshape(-1, 1), a[-1]))


def test_every_float16_value():
    values = np.arange(2**16, dtype=np.uint16).view(np.float16)
    # every value as a scalar, and in rows of 16 neighbours
    assert_same_trace([list(values), list(values.reshape(-1, 16))])


@pytest.mark.parametrize("dtype", DTYPES)
def test_scalars_at_type_limits(dtype):
    dt = np.dtype(dtype)
    if dt.kind == "f":
        values = cast(hard_floats(dt.type), dtype)
    elif dt.kind == "b":
        values = np.array([True, False])
    else:
        info = np.iinfo(dt)
        values = np.array([info.min, info.max, 0, info.max // 2], dtype=dt)
    scalars = list(values)
    assert_same_trace((values, {"scalars": scalars}, *scalars))


# -- containers ----------------------------------------------------------------------


class Named:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


leaves = st.one_of(
    arrays(max_side=4),
    st.sampled_from(DTYPES).flatmap(lambda d: elements(d).map(lambda v: scalar(d, v))),
    st.integers(), st.floats(), st.none(), st.text(max_size=5), st.booleans(),
    st.builds(Named, st.sampled_from(["é", "\ud800", "multi\nline", ""])),
    st.just(torch.zeros(2)), st.just(np.array([1 + 2j])), st.just(np.zeros(2, ">f4")),
)
containers = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=3),
    st.lists(inner, max_size=3).map(tuple),
    st.dictionaries(st.one_of(st.text(max_size=3), st.integers()), inner, max_size=3),
    st.dictionaries(st.text(max_size=3), inner, max_size=3).map(collections.OrderedDict),
), max_leaves=8)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(containers)
def test_nested_containers_match_the_interpreter(x):
    assert_same_trace([x])


def self_referencing():
    d = {"a": np.zeros(2, np.float32)}
    d["self"] = d
    lst = [np.ones(1)]
    lst.append(lst)
    od = collections.OrderedDict(a=np.ones(2))
    od["self"] = od
    od.move_to_end("a")
    holder = Named("")
    t = (holder, np.int8(3))
    holder.text = "<holds a tuple>"
    return [d, lst, od, t, [d, lst, od]]


@pytest.mark.parametrize("x", self_referencing(), ids=["dict", "list", "ordered_dict", "tuple", "nested"])
def test_self_reference_is_elided_as_the_interpreter_does(x):
    with stdout(Recorder()) as rec:
        try:
            su.make_np_array([x], object)
        except Exception:  # noqa: BLE001 - numpy may refuse the value itself
            pass
    assert rec.calls[2] == str([x])


class Mutating:
    """A repr that changes the container holding it, as it is being written."""

    def __init__(self, container):
        self.container = container

    def __repr__(self):
        if isinstance(self.container, list):
            self.container.clear()
        else:
            self.container.pop("z", None)
            self.container["w"] = np.zeros(1)
        return "M"


@pytest.mark.parametrize("kind", [list, dict])
def test_container_changed_while_written_reads_as_the_interpreter_reads(kind):
    def make():
        if kind is list:
            lst = [np.ones(2)]
            lst.append(Mutating(lst))
            lst.append(np.zeros(2))
            return lst
        d = {"a": np.ones(2)}
        d["m"] = Mutating(d)
        d["z"] = np.zeros(2)
        return d

    with stdout(Recorder()) as rec:
        su.make_np_array(make(), object)
    assert rec.calls[2] == str(make())


# -- writing as the built-in print writes --------------------------------------------------


class Logged:
    def __init__(self, log):
        self.log = log

    def __str__(self):
        self.log.append("str")
        return "L"


class LoggingStream(Recorder):
    def __getattribute__(self, name):
        if name == "write":
            object.__getattribute__(self, "log").append("lookup write")
        return object.__getattribute__(self, name)

    def write(self, text):
        self.log.append(("write", text))
        return len(text)


@pytest.mark.parametrize("reference", [False, True], ids=["native", "python print"])
def test_write_calls_lookups_and_no_flush(reference):
    if reference:
        su.print = via_python_print
    log = []
    stream = LoggingStream(log)
    try:
        with stdout(stream):
            su.make_np_array(Logged(log), object)
    finally:
        if reference:
            del su.print
    assert log == ["lookup write", ("write", "x==="), "lookup write", ("write", " "),
                   "lookup write", "str", ("write", "L"), "lookup write", ("write", " "),
                   "lookup write", ("write", f"<class '{__name__}.Logged'>"), "lookup write", ("write", "\n")]


class Loud(type):
    def __repr__(cls):
        Loud.log.append("class repr")
        return "<loud>"


class LoudClass(metaclass=Loud):
    pass


class InstanceWrite(Recorder):
    """`write` bound on the instance, shadowing the class's method."""

    def __init__(self, log):
        super().__init__(log)
        self.write = lambda text: log.append(("own write", text))


@pytest.mark.parametrize("stream_class", [LoggingStream, InstanceWrite])
@pytest.mark.parametrize("x", [np.float32(1.5), 2.5, {"a": np.zeros(2)}, LoudClass(), (1, "t")],
                         ids=["numpy scalar", "float", "dict", "metaclass repr", "tuple"])
def test_each_write_goes_where_print_sends_it(stream_class, x):
    logs = []
    for reference in (False, True):
        if reference:
            su.print = via_python_print
        Loud.log = log = []
        try:
            with stdout(stream_class(log)):
                su.make_np_array(x, object)
        finally:
            if reference:
                del su.print
        logs.append(log)
    assert logs[0] == logs[1]


def test_stdout_none_writes_nothing_and_formats_nothing():
    log = []
    with stdout(None):
        su.make_np_array(Logged(log), object)
    assert log == []


def test_missing_stdout_raises_the_built_ins_error():
    saved = sys.stdout
    del sys.stdout
    try:
        with pytest.raises(RuntimeError, match="^lost sys.stdout$"):
            su.make_np_array(np.zeros(2))
    finally:
        sys.stdout = saved


class Boom(Exception):
    pass


class Failing:
    def __repr__(self):
        raise Boom("repr")


class FailingStream(Recorder):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def write(self, text):
        if len(self.calls) == 2:
            raise self.error
        return super().write(text)


def test_errors_pass_through_as_the_same_object():
    error = Boom("write")
    with stdout(FailingStream(error)), pytest.raises(Boom) as info:
        su.make_np_array(np.zeros(2))
    assert info.value is error
    with stdout(Recorder()) as rec, pytest.raises(Boom, match="repr"):
        su.make_np_array({"a": np.zeros(2), "b": Failing()})
    assert rec.calls == ["x===", " "]


def test_other_print_is_called_as_before(monkeypatch):
    calls = []
    monkeypatch.setattr(su, "print", lambda *args, **kwargs: calls.append((args, kwargs)), raising=False)
    x = {"a": np.zeros(2)}
    with stdout(Recorder()) as rec:
        su.make_np_array(x)
    assert rec.calls == [] and calls[0] == (("x===", x, dict), {})
    monkeypatch.setattr(builtins, "print", lambda *args: calls.append(args))
    monkeypatch.delattr(su, "print")
    su.make_np_array(np.ones(1))
    assert calls[-1][0] == "x==="


# -- falling back to numpy's own printer ------------------------------------------------

ARRAY = np.array([1 / 3, 2e-5, 12345.678, np.nan, -np.inf], np.float32)
SAMPLE = {"a": ARRAY, "b": [np.float32(1 / 3), np.arange(2000), np.arange(10)]}


@pytest.mark.parametrize("options", [
    dict(precision=3), dict(threshold=4), dict(edgeitems=1, threshold=10), dict(linewidth=20), dict(suppress=True),
    dict(floatmode="fixed"), dict(sign="+"), dict(legacy="1.13"), dict(formatter={"float": "{:.1f}".format}),
    dict(nanstr="NaN"), dict(infstr="Inf"),
    *([dict(legacy="1.25")] if NUMPY2 else []), *([dict(override_repr=lambda a: "A")] if NUMPY >= "2.1.0" else []),
    *([dict(legacy="2.1")] if NUMPY >= "2.3.0" else []),  # 2.2 cannot give it back
])
def test_print_options_in_force_are_followed(options):
    default = recorded(SAMPLE, reference=False)
    with np.printoptions(**options):
        changed = assert_same_trace(SAMPLE)
    assert changed != default
    assert recorded(SAMPLE, reference=False) == default


def test_set_printoptions_and_back_to_the_defaults():
    default = recorded(ARRAY, reference=False)
    np.set_printoptions(precision=2)
    try:
        assert assert_same_trace(ARRAY) != default
    finally:
        np.set_printoptions(precision=8)
    assert assert_same_trace(ARRAY) == default


def test_a_changed_printer_module_is_followed(monkeypatch):
    class Shouting(ARRAYPRINT.FloatingFormat):
        def __call__(self, x):
            return super().__call__(x).upper() + "!"

    monkeypatch.setattr(ARRAYPRINT, "FloatingFormat", Shouting)
    trace = assert_same_trace((np.array([np.inf, 1.5]),))
    assert "INF!" in trace[2]


def printer_calls(x):
    """The Python functions of numpy's printer that ran while make_np_array traced x."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == ARRAYPRINT.__file__:
            calls.append(frame.f_code.co_name)

    with stdout(Recorder()):
        sys.setprofile(profile)
        try:
            su.make_np_array(x, object)
        finally:
            sys.setprofile(None)
    return calls


# The numpy lines whose text the module makes; numpy makes it on any other.
NATIVE_LINES = ("1.26.", "2.0.", "2.1.", "2.2.", "2.3.", "2.4.", "2.5.")


def test_numpy_text_is_made_natively_on_known_lines_only():
    x = (np.arange(3.0), [np.float32(1.5)])
    assert (printer_calls(x) == []) == np.__version__.startswith(NATIVE_LINES)
    with np.printoptions(precision=3):
        assert printer_calls(x)


def test_an_unknown_numpy_line_makes_its_own_text():
    code = (
        "import sys, numpy as np\n"
        "from kestrelix_train.utils import space_utils as su\n"
        "np.__version__ = '9.9.0'  # before the first trace line\n"
        "seen = []\n"
        "sys.setprofile(lambda f, e, a: e == 'call' and 'arrayprint' in f.f_code.co_filename and seen.append(1))\n"
        "su.make_np_array(np.arange(3.0))\n"
        "sys.setprofile(None)\n"
        "assert seen\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, stdout=subprocess.DEVNULL)


def current_options():
    return ARRAYPRINT.format_options.get() if hasattr(ARRAYPRINT, "format_options") else ARRAYPRINT._format_options


def install_options(options):
    if hasattr(ARRAYPRINT, "format_options"):
        ARRAYPRINT.format_options.set(options)
    else:
        ARRAYPRINT._format_options = options


class ChangesDtype(str):
    """An options key whose finalizer changes the dtype of an array to one numpy alone prints."""

    def __del__(self):
        self.target.dtype = np.complex64


def test_a_finalizer_run_while_options_are_checked_may_change_the_array():
    a = np.array([1.5, 2.5], np.float32)
    original = current_options()
    key = ChangesDtype("edgeitems")
    key.target = a
    options = {key if k == "edgeitems" else k: v for k, v in original.items()}
    del key
    try:
        install_options(options)
        recorded(np.zeros(1), reference=False)  # seen once at the defaults, then replaced
        del options
        install_options(dict(original))
        trace = recorded(a, reference=False)
    finally:
        install_options(original)
    assert a.dtype == np.complex64 and trace[2] == str(a)


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("x", [
    np.zeros(3).view(Sub), np.array([1 + 2j, np.nan]), np.array([1.5], np.longdouble), np.array(["a", "b"]),
    np.zeros(2, ">f8"), np.zeros(2, [("a", "f4")]), np.array([None, 1], object), np.complex64(1j),
    torch.tensor([1.5, 2.0]), np.datetime64("2020-01-01"), np.zeros((2, 2), dtype=np.dtype("f4", metadata={"m": 1})),
], ids=lambda x: type(x).__name__ + "-" + str(getattr(x, "dtype", "")))
# numpy 2 warns that torch's __array__ takes no copy argument; the module's
# np.array(tensor) passes that on as the Python code does.
@pytest.mark.filterwarnings("ignore:__array__ implementation doesn't accept a copy keyword:DeprecationWarning")
def test_other_values_keep_their_own_text(x):
    assert_same_trace((x,))


# -- no leaks ------------------------------------------------------------------------------


def test_native_trace_does_not_leak():
    value = {"a": np.arange(6, dtype=np.float32).reshape(2, 3), "b": (np.float16(1.5), [1, None]),
             "c": collections.OrderedDict(d=np.array([np.nan, 1e-9]))}
    value["self"] = [value]
    watched = [value, value["a"], value["b"], value["c"]]

    def run():
        with stdout(Recorder()):
            su.make_np_array([value], object)

    for _ in range(200):
        run()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        gc.collect()
        base, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            run()
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert (after - base) / 2000 < 4
