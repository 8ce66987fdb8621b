"""Hostile callers: objects that rewrite what the module is walking or holding
while it runs, reference cycles through odd attribute values, unusual paths."""

import contextlib
import gc
import io
import os
import shutil
import subprocess
import sys
import threading
import weakref
from pathlib import Path

import numpy as np
import pytest

import kestrelix_core
import kestrelix_core.spaces as ks
from kestrelix_train.utils import space_utils as su


class Churn:
    """Each run swaps the first key of `d` for a new one, keeping its size."""

    def __init__(self, d, value=lambda: 0, limit=200):
        self.d, self.value, self.left = d, value, limit

    def __call__(self):
        if self.left:
            self.left -= 1
            del self.d[next(iter(self.d))]
            self.d[f"new{self.left}"] = self.value()


class EqChurn:
    """A member of `keys` whose comparison churns the dict being filtered."""

    def __init__(self, churn):
        self.churn = churn

    def __eq__(self, other):
        self.churn()
        return False

    __hash__ = None


class ShapeChurn(np.ndarray):
    """An array whose `shape` read churns the dict that holds it."""

    churn = None

    @property
    def shape(self):
        type(self).churn()
        return super().shape


class Row:
    def __init__(self, churn):
        self.churn = churn

    def numpy(self):
        self.churn()
        return np.zeros(2)


class Spaces:
    def __init__(self, spaces):
        self.spaces = spaces


def churning_array():
    return np.zeros(2).view(ShapeChurn)


def filter_sample_case():
    d = {"a": 1, "b": 2}
    return lambda: su.filter_sample(d, [EqChurn(Churn(d))])


def filter_space_case():
    d = {"a": ks.Discrete(2), "b": ks.Discrete(3)}
    return lambda: su.filter_space(Spaces(d), [EqChurn(Churn(d, lambda: ks.Discrete(2)))])


class AnySpace(dict):
    def __missing__(self, key):
        return ks.Discrete(2)


def unsquash_batch_case():
    d = {}
    churn = Churn(d, lambda: [Row(churn)])
    d.update(a=[Row(churn)], b=[Row(churn)])
    return lambda: su.unsquash_action_batch(d, AnySpace())


def convert_case(fn):
    def make():
        d = {"a": churning_array(), "b": churning_array()}
        ShapeChurn.churn = Churn(d, churning_array)
        return lambda: fn(d)

    return make


@pytest.mark.parametrize(
    "make",
    [
        filter_sample_case,
        filter_space_case,
        unsquash_batch_case,
        convert_case(su._convert_sensor_to_numpy_array),
        convert_case(su._convert_value_to_gym_space),
    ],
    ids=["filter_sample", "filter_space", "unsquash_action_batch", "sensor_to_array", "value_to_space"],
)
def test_keys_swapped_during_a_walk_are_refused_like_a_for_loop(make):
    # A plain dict whose keys are replaced (size unchanged) while it is walked
    # must not be walked on past its original length.
    with pytest.raises(RuntimeError, match="dictionary keys changed during iteration"):
        make()()


def test_default_outlives_defaults_replaced_during_the_call():
    fn = su.make_np_array
    saved = fn.__defaults__

    class DType:  # numpy takes any object with a `.dtype` as a dtype
        def __init__(self, name):
            self.dtype = np.dtype(name)

    junk = []

    class Value(float):
        def __str__(self):  # runs while the trace line is printed
            fn.__defaults__ = saved  # drops the only reference to the default
            junk.extend(DType("int8") for _ in range(50))  # reuse its memory
            return "value"

    fn.__defaults__ = (DType("float64"),)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            out = fn(Value(1.5))
    finally:
        fn.__defaults__ = saved
    assert out.dtype == np.float64 and out == 1.5


class Name(str):
    pass


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_coroutine_named_by_an_object_that_refers_back_is_collected(attr):
    coro = su._get_perceptor_space([], None)
    coro.close()
    name = Name("named")
    name.coro = coro
    setattr(coro, attr, name)
    ref = weakref.ref(coro)
    del coro, name
    gc.collect()
    assert ref() is None


def test_import_from_a_directory_whose_name_is_not_utf8(tmp_path):
    if sys.getfilesystemencoding() != "utf-8":
        pytest.skip("needs a UTF-8 file system encoding")
    if sys.version_info >= (3, 12):
        pytest.skip("from 3.12 on the interpreter loads no extension module from such a directory")
    root = tmp_path / os.fsdecode(b"site_\xff")
    try:
        root.mkdir()
    except (OSError, UnicodeEncodeError):
        pytest.skip("the file system refuses undecodable names")
    package = Path(su.__file__).resolve().parents[1]
    shutil.copytree(package, root / package.name, ignore=shutil.ignore_patterns("__pycache__"))
    core_root = Path(kestrelix_core.__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(root), str(core_root)]))
    code = (
        "import inspect\n"
        "from kestrelix_train.utils import space_utils as su\n"
        "assert su.filter_space.__code__.co_filename == su.__file__\n"
        "print(inspect.signature(su.filter_space))\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "(space: 'kestrelix_spaces.Dict', keys: 'List[str]') -> 'kestrelix_spaces.Space'"


class Rewriter:
    """Kept in a reference cycle: each run of the collector (at any allocation) reinterprets the action's
    bytes under another dtype and replaces the box's bounds, then leaves another such object behind."""

    left = 0

    def __init__(self, action, space):
        self.me, self.action, self.space = self, action, space

    def __del__(self):
        if Rewriter.left:
            Rewriter.left -= 1
            self.action.dtype = np.int32 if self.action.dtype == np.float32 else np.float32
            self.space.low = np.full(4, -float(Rewriter.left % 3), np.float64)
            Rewriter(self.action, self.space)


def test_native_rescale_survives_inputs_rewritten_by_the_collector():
    action, space = np.zeros(4, np.float32), ks.Box(-1.0, 1.0, (4,), np.float32)
    saved = gc.get_threshold()
    Rewriter.left = 400
    Rewriter(action, space)
    gc.set_threshold(1)
    try:
        for _ in range(200):
            out = su.unsquash_action(action, space)
            assert out.shape == (4,) and out.dtype in (np.float32, np.float64)
    finally:
        gc.set_threshold(*saved)
        Rewriter.left = 0
        gc.collect()


def test_unpack_logits_while_a_second_thread_resizes_them():
    # torch's subscript lets other threads run: each piece is as one slice of
    # the logits as they were then leaves it, or the reshape reports it
    torch = pytest.importorskip("torch")
    space = ks.Dict({f"m{i}": ks.Discrete(2) for i in range(32)})
    logits, done = torch.randn(4, 64), threading.Event()

    def flip():
        while not done.is_set():
            logits.resize_(2 if logits.shape[0] == 4 else 4, 64)

    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=flip)
    thread.start()
    try:
        for _ in range(3000):
            with contextlib.suppress(RuntimeError):
                assert len({p.shape for p in su.unpack_logits(logits, space).values()}) == 1
    finally:
        done.set()
        thread.join()
        sys.setswitchinterval(saved)
