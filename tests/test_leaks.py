"""Repeated calls leave every reference count, the object heap and the native
heap flat, on success and on error paths, for every function of the module.

Each case calls one function over and over with the same argument objects.
Between phases of calls the check reads:

- the reference count of every object reachable from the arguments (dict
  keys, leaves, nested containers, attributes of plain objects, dtypes and
  types) and of the collaborators a call can touch (numpy, torch, the core
  library and their attributes, the module's own globals and defaults, small
  ints and the singletons);
- the number of blocks the interpreter's small-object allocator holds and
  the number of objects the garbage collector tracks;
- the bytes the C allocator has handed out and not taken back (glibc's
  statistics, or AddressSanitizer's when it owns the heap), which is where
  the module's own C++ and C allocations live.

numpy, torch and the interpreter fill caches of their own now and then, so
one phase that moves proves nothing: a finding counts only when it shows in
every phase, by at least half a reference, block or object, or 8 bytes, per
call (a leak of one reference or one allocation per call always does).

Under LeakSanitizer (scripts/asan.sh) one more test asks for its reports
between calls and names the stack of any allocation of the module that is
left unreachable.
"""

import asyncio
import collections
import contextlib
import ctypes
import functools
import gc
import os
import re
import sys
import types

import numpy as np
import pytest
import torch
from conftest import NestedDict

import kestrelix_core.spaces as ks
from kestrelix_core.agent.perceptor.perceptor import Perceptor
from kestrelix_core.agent.sensor import Sensor
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su

# ---------------------------------------------------------------------------
# Measures
# ---------------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


@functools.cache
def _c_library():
    """The C library the interpreter allocates with: the process's own
    symbols where the loader offers them (POSIX), the universal C runtime on
    Windows (which has no handle for the whole process)."""
    return ctypes.CDLL("ucrtbase") if sys.platform == "win32" else ctypes.CDLL(None)


def _native_heap_reader():
    """Bytes in use on the C heap: AddressSanitizer's count when it replaced
    the allocator, else glibc's (ordinary chunks plus mmapped ones)."""
    process = _c_library()
    asan = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if asan is not None:
        asan.restype = ctypes.c_size_t
        return asan
    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is None:  # pragma: no cover - not glibc
        return None
    mallinfo2.restype = _MallInfo2

    def read():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return read


NATIVE_HEAP = _native_heap_reader()

# Objects a call can touch without finding them in its arguments.
_SINGLETONS = [None, True, False, Ellipsis, NotImplemented, (), "", b"", *range(-5, 257)]
_DTYPES = [np.dtype(c) for c in "?bBhHiIlLqQefdgFDGO"]


@functools.cache
def _leaked_by_numpy():
    """The dtypes whose references numpy itself leaks (numpy 2.4's random
    generator drops one reference to float64 per call with scalar bounds,
    which sampling a space does): their counts say nothing of the module."""
    rng = np.random.default_rng(0)
    counts = [sys.getrefcount(d) for d in _DTYPES]
    _repeat(lambda: rng.uniform(-1.0, 1.0, size=(1,)), 100)
    return frozenset(id(d) for d, n in zip(_DTYPES, counts) if sys.getrefcount(d) - n >= 100)


@functools.cache
def _collaborators():
    found = list(_SINGLETONS) + _DTYPES
    classes = []
    for name, value in vars(su).items():
        found += [name, value]
        if isinstance(value, types.ModuleType):
            for attr, member in vars(value).items():
                found += [attr, member]
                if isinstance(member, type):
                    classes.append(member)
        elif isinstance(value, type):
            classes.append(value)
        elif callable(value) and hasattr(value, "__defaults__"):
            found += [value.__code__, *(value.__defaults__ or ()), *value.__annotations__.items()]
    for cls in classes:
        for attr, member in vars(cls).items():
            found += [attr, member]
    return tuple(_reachable(found))


def _ids(objects):
    return {id(obj) for obj in objects}


def _reachable(roots, skip=frozenset()):
    """Every object reachable from the roots through containers, array and
    tensor metadata and instance attributes; types, modules and functions
    are counted but not walked (what they hold is the collaborators')."""
    seen = {}
    stack = list(roots)
    while stack:
        obj = stack.pop()
        if id(obj) in seen or id(obj) in skip:
            continue
        seen[id(obj)] = obj
        stack.append(type(obj))
        if isinstance(obj, (type, types.ModuleType, types.FunctionType, types.BuiltinFunctionType, types.MethodType)):
            continue
        if isinstance(obj, dict):
            stack += obj.keys()
            stack += obj.values()
        elif isinstance(obj, (list, tuple, set, frozenset)):
            stack += obj
        elif isinstance(obj, np.ndarray):
            stack += [obj.dtype, obj.base, obj.shape, obj.strides]
        elif isinstance(obj, torch.Tensor):
            stack += [obj.dtype, obj.device]
        elif hasattr(obj, "__dict__"):
            stack.append(vars(obj))
    return list(seen.values())


def _describe(obj):
    if isinstance(obj, (np.ndarray, torch.Tensor)):
        return f"{type(obj).__name__} of shape {tuple(obj.shape)} at {id(obj):#x}"
    try:
        text = repr(obj)
    except Exception:  # noqa: BLE001 - a name for a report line only
        text = object.__repr__(obj)
    return f"{type(obj).__name__} {text[:80]}"


def leak_findings(call, roots, calls=100, phases=6, warm=50):
    """What grows (or shrinks) in every one of `phases` phases, the first of
    `calls` calls and each next one twice as long as the one before; a list
    of lines, empty when nothing leaks.

    Most calls show nothing in their first phase. A cache that numpy, torch or
    the interpreter fills over the first thousands of calls shows in a few
    phases and then falls behind their growing length; a leak keeps pace."""
    collaborators = _collaborators()
    universe = [*collaborators, *_reachable(roots, skip=_ids(collaborators))]
    universe = [obj for obj in universe if id(obj) not in _leaked_by_numpy()]
    before, after = np.empty(len(universe) + 3, np.int64), np.empty(len(universe) + 3, np.int64)
    _repeat(call, warm)
    gc.collect()
    # what exists now is not the subject: set it aside, so each collection
    # below only looks at what the calls made
    gc.freeze()
    try:
        suspects = None
        for phase in range(phases):
            length = calls << phase
            _measure(universe, before)
            _repeat(call, length)
            gc.collect()
            _measure(universe, after)
            grown = after - before
            # one leaked reference, object or allocation per call (the
            # smallest allocation being 16 bytes) shows at least this much
            limits = np.full(len(grown), length // 2)
            limits[-1] = 8 * length
            found = {int(i): int(grown[i]) for i in np.flatnonzero(np.abs(grown) >= limits)}
            suspects = found if suspects is None else {i: d for i, d in found.items() if i in suspects}
            if not suspects:
                return []
    finally:
        gc.unfreeze()
    names = [_describe(obj) for obj in universe] + ["blocks", "tracked objects", "native heap bytes"]
    return [f"{names[i]}: {d:+d} in {length} calls" for i, d in suspects.items()]


def _repeat(call, times):
    # a function of its own, so no loop counter outlives the calls
    for _ in range(times):
        call()


def _measure(universe, out):
    """Writes into `out` the reference count of each object of the universe,
    then the blocks of the small-object allocator, the objects the collector
    tracks and the bytes in use on the C heap (last, so what the other
    counts allocated is gone again)."""
    out[:-3] = np.fromiter(map(sys.getrefcount, universe), np.int64, len(universe))
    out[-3] = sys.getallocatedblocks()
    out[-2] = len(gc.get_objects())
    out[-1] = NATIVE_HEAP() if NATIVE_HEAP else 0


# ---------------------------------------------------------------------------
# The cases: every function, on success and on error paths
# ---------------------------------------------------------------------------


def drive(coro):
    """Runs a coroutine that never really suspends, without an event loop."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


class Doubler(Perceptor):
    async def perceive(self, space, sensors):
        return {"double_" + self.get_name(): np.float32(2.0)}


class Sleepy(Perceptor):
    """Suspends once before it answers, as a perceptor waiting on I/O does."""

    async def perceive(self, space, sensors):
        await asyncio.sleep(0)
        return {"seen_" + self.get_name(): np.zeros(3), "count_" + self.get_name(): len(sensors)}


class Silent(Perceptor):
    async def perceive(self, space, sensors):
        return None


class Unequal:
    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = object.__hash__


class Skill:
    def __init__(self, name):
        self.name = name

    def get_skill_name(self):
        return self.name

    def get_action_space(self):
        return ks.Discrete(3)

    async def _execute(self, sensors):
        await asyncio.sleep(0)
        return np.full(2, len(sensors))


SPACE = ks.SimSensorSpace({"pos": ks.Box(-1, 1, shape=(3,)), "vel": ks.Box(-1, 1, shape=(2,))})
SENSORS = [Sensor("pos"), Sensor("vel"), Sensor("speed", lambda obs: float(np.abs(obs["vel"]).sum()))]
PERCEPTORS = [Doubler("a"), Doubler("b")]
SKILLS = [Skill("left"), Skill("right")]
OBS = collections.OrderedDict(pos=np.zeros(3, np.float32), vel=np.ones(2, np.float32))

# (a key made at run time: from 3.12 on a literal's string is immortal, and a
# reference to it changes no count)
NESTED = {"a": np.arange(4.0), "b": (np.ones((2, 2)), [np.zeros(3)]), "c": {"".join("dx"): np.ones(1)}}
NESTED_T = {"a": torch.arange(4.0), "b": (torch.ones(2, 2), [torch.zeros(3)])}
BATCH = {"a": np.ones((4, 2), np.float32), "b": (np.zeros((4, 3), np.float32),)}
MASK = {"x": np.array([1, 0, 1], np.int8), "y": (np.array([0, 1], np.int8),)}
MASK_T = {"x": torch.tensor([1.0, 0.0, 1.0]), "y": (torch.tensor([0.0, 1.0]),)}
LOGITS_T = {"x": torch.zeros(3), "y": (torch.zeros(2),)}
LOGITS_NP = {"x": np.zeros(3, np.float32), "y": (np.zeros(2, np.float32),)}
# masks the other library cannot read as they are: each is brought over by a copy
MASK_COPIED = {"x": np.array([1, 0, 1], ">i4")[::-1], "y": (np.array([0, 1], np.longdouble),)}
MASK_T_COPIED = {"x": torch.tensor([1.0, 0.0, 1.0], dtype=torch.bfloat16),
                 "y": (torch.tensor([0, 1]).to(torch.float8_e5m2),)}
ACT_SPACE = ks.Tuple([ks.Discrete(3), ks.Box(-2.0, 6.0, shape=(2,), dtype=np.float32)])
DICT_SPACE = ks.Dict({"move": ks.MultiDiscrete([3, 2]), "aim": ks.Box(-1.0, 1.0, shape=(2,), dtype=np.float32)})
SELECTOR = SkillSelector(["a", "b", "c"], fixed_order=True, repeat=True)


def coroutine(fn):
    return lambda *args: drive(fn(*args))


class Sink:
    """A stream that takes every line and keeps none."""

    def write(self, text):
        return len(text)


class Unwritable:
    def write(self, text):
        raise OSError("stream closed")


SINK = Sink()


def to_stream(fn, stream):
    def call(*args):
        with contextlib.redirect_stdout(stream):
            return fn(*args)

    return call


def with_print(fn, printer):
    """`fn` with the module's `print` replaced for the call."""

    def call(*args):
        su.print = printer
        try:
            return fn(*args)
        finally:
            del su.print

    return call


def fails(exc, fn):
    """`fn` made to raise `exc` (and nothing else) on every call."""

    def call(*args):
        try:
            fn(*args)
        except exc:
            pass
        else:  # pragma: no cover - the case is meant to fail
            raise AssertionError(f"expected {exc.__name__}")

    return call


# name: (function, arguments); the same argument objects serve every call.
# Error paths are chosen whose messages do not make numpy format arrays
# (numpy's printing keeps caches of its own that would blur the measure).
CASES = {
    "sensor_to_array": (su._convert_sensor_to_numpy_array, ({"a": 1, "b": np.zeros(2), "c": np.float64(3)},)),
    "sensor_to_array_error": (fails(ValueError, su._convert_sensor_to_numpy_array), ({"a": "x"},)),
    "value_to_space": (su._convert_value_to_gym_space, ({"a": 1, "b": np.zeros((2, 2))},)),
    "value_to_space_error": (fails(NotImplementedError, su._convert_value_to_gym_space), ({"a": [1]},)),
    "perceptor_space": (coroutine(su._get_perceptor_space), (PERCEPTORS, SPACE)),
    "perceptor_space_error": (fails(AttributeError, coroutine(su._get_perceptor_space)), ([Silent("s")], SPACE)),
    "unawaited_coroutine": (lambda *a: su._get_perceptor_space(*a).close(), (PERCEPTORS, SPACE)),
    "space_info": (coroutine(su.get_kestrelix_space_info), (SPACE, SENSORS, PERCEPTORS, SKILLS)),
    "space_info_error": (fails(Exception, coroutine(su.get_kestrelix_space_info)),
                         (SPACE, SENSORS, [Doubler("a"), Doubler("a")], SKILLS)),
    "sim_to_sensors": (coroutine(su.convert_sim_sensors_to_kestrelix_sensors),
                       (OBS, SPACE, SENSORS, PERCEPTORS, SKILLS)),
    "sim_to_sensors_suspending": (coroutine(su.convert_sim_sensors_to_kestrelix_sensors),
                                  (OBS, SPACE, SENSORS, [Sleepy("a"), Sleepy("b")], SKILLS)),
    "sim_to_sensors_error": (fails(Exception, coroutine(su.convert_sim_sensors_to_kestrelix_sensors)),
                             (OBS, SPACE, SENSORS, [Doubler("a"), Doubler("a")], SKILLS)),
    "type_check_error": (fails(TypeError, su.filter_sample), (collections.OrderedDict(), [])),
    "filter_space": (su.filter_space, (ks.Dict({"a": ks.Discrete(2), "b": ks.Discrete(3)}), ["b"])),
    "filter_space_error": (fails(AttributeError, su.filter_space), (SELECTOR, ["b"])),
    "filter_sample": (su.filter_sample, ({"a": 1, "b": 2}, ["a"])),
    "filter_sample_error": (fails(LookupError, su.filter_sample), ({"a": 1, "b": 2}, [Unequal()])),
    "flatten_unknown": (su._flatten_unknown, (ks.Tuple([ks.Discrete(2)] * 2), (np.ones(2), np.zeros(3)))),
    "flatten_unknown_error": (fails(ValueError, su._flatten_unknown), (ks.Tuple([]), ())),
    "flatten_numpy": (su.flatten_object_numpy, (NESTED,)),
    **({"flatten_numpy_nested_dict": (su.flatten_object_numpy, (NestedDict({"a": np.ones(2), "b": np.zeros(1)}),))}
       if NestedDict else {}),
    "flatten_numpy_error": (fails(ValueError, su.flatten_object_numpy), ({"a": np.ones(2), "b": 3.0},)),
    "flatten_torch": (su.flatten_object_torch, (NESTED_T,)),
    "flatten_torch_from_numpy": (su.flatten_object_torch, (NESTED,)),
    "flatten_torch_error": (fails(ValueError, su.flatten_object_torch), ({"a": torch.ones(2), "b": "s"},)),
    "flatten_batch": (su.flatten_object_batch, (BATCH,)),
    "flatten_batch_error": (fails(ValueError, su.flatten_object_batch), ((np.ones((4, 2)), None),)),
    "make_np_array": (su.make_np_array, ({"a": [1, 2], "b": (3, np.zeros(2))},)),
    # trace lines of every kind the module writes itself: summarized, wrapped
    # and exponent-format arrays, bool and int arrays, numpy scalars
    "make_np_array_text": (su.make_np_array, (collections.OrderedDict(
        f=np.linspace(-1e9, 1e-9, 7), i=np.arange(2000).reshape(40, 50), b=np.array([True, False]),
        h=(np.float16(1.5), np.float32(0.1), np.int64(-3), [np.float64(2.0), 1.5]), e=np.zeros((0, 3))),)),
    "make_np_array_print_replaced": (with_print(su.make_np_array, lambda *args: None), ({"a": [1, 2]},)),
    "make_np_array_error": (fails(ValueError, su.make_np_array), ({"a": 1, "b": ("x",)},)),
    "make_np_array_write_error": (fails(OSError, to_stream(su.make_np_array, Unwritable())), ({"a": np.ones(2)},)),
    "unsquash": (su.unsquash_action, ((1, np.array([0.5, -0.5], np.float32)), ACT_SPACE)),
    "unsquash_nan": (su.unsquash_action, ({"aim": np.array([np.nan, 0.5], np.float32)}, {"aim": DICT_SPACE["aim"]})),
    "unsquash_error": (fails(ValueError, su.unsquash_action), ({"a": 1.0}, {"b": ks.Box(0.0, 1.0)})),
    "unsquash_batch": (su.unsquash_action_batch, ({"aim": torch.zeros(3, 2)}, DICT_SPACE)),
    "unsquash_batch_error": (fails(KeyError, su.unsquash_action_batch), ({"b": torch.zeros(3, 2)}, {})),
    "unpack_logits": (su.unpack_logits, (torch.zeros(4, 3 + 2), ks.Tuple([ks.Discrete(3), ks.Discrete(2)]))),
    "unpack_logits_dict": (su.unpack_logits, (torch.zeros(2, 7), DICT_SPACE)),
    "unpack_logits_boxes": (su.unpack_logits, (torch.zeros(2, 5), ks.Tuple([ks.Box(0, 1, (2,)), ks.Box(0, 1, (3,))]))),
    "unpack_logits_error": (fails(AttributeError, su.unpack_logits), ({"a": 1}, ks.Tuple((ks.Discrete(2),)))),
    "selector_mask": (su.compute_selector_action_mask, (1, SELECTOR)),
    "selector_mask_unordered": (su.compute_selector_action_mask, (None, SkillSelector("ab"))),
    "selector_mask_error": (fails(IndexError, su.compute_selector_action_mask), (3, SELECTOR)),
    "fits_mask": (su.action_fits_mask, ((1, None), (np.array([0, 1, 1]), None), ACT_SPACE)),
    "fits_mask_dict": (su.action_fits_mask, ({"g": 1}, {"g": [0, 1]}, ks.Dict({"g": ks.Discrete(2)}))),
    "fits_mask_error": (fails(NotImplementedError, su.action_fits_mask), (1, [1], None)),
    "combine": (su.combine_masks, (MASK, MASK)),
    "combine_torch": (su.combine_masks, (MASK_T, MASK_T)),
    "combine_error": (fails(ValueError, su.combine_masks), ({"a": np.ones(1)}, {"b": np.ones(1)})),
    "all_zero": (su.mask_all_zero, (MASK,)),
    "all_zero_torch": (su.mask_all_zero, (MASK_T,)),
    "all_zero_error": (fails(ValueError, su.mask_all_zero), ({"x": None},)),
    "apply_torch": (su.apply_mask, (LOGITS_T, MASK_T)),
    "apply_numpy": (su.apply_mask, (LOGITS_NP, MASK)),
    "apply_numpy_mask_torch_logits": (su.apply_mask, (LOGITS_T, MASK_COPIED)),
    "apply_torch_mask_numpy_logits": (su.apply_mask, (LOGITS_NP, MASK_T_COPIED)),
    "apply_conversion_error": (fails(ValueError, su.apply_mask), ("ab", 5)),
    "apply_keys_error": (fails(ValueError, su.apply_mask), ({"x": np.zeros(3)}, {"y": np.ones(3)})),
}


def test_every_function_is_measured_on_success_and_error_paths():
    def covered(errors):
        cases = [call for name, (call, _) in CASES.items() if name.endswith("error") == errors]
        return {fn.__name__ for call in cases for fn in _called(call)}

    functions = {name for name, value in vars(su).items() if isinstance(value, type(su.make_np_array))}
    assert len(functions) == 20
    assert covered(errors=False) >= functions
    assert covered(errors=True) >= functions


def _called(call):
    """The module functions a case calls, found in the closures around it."""
    seen, stack = [], [call]
    while stack:
        fn = stack.pop()
        if isinstance(fn, type(su.make_np_array)):
            seen.append(fn)
        for cell in getattr(fn, "__closure__", None) or ():
            stack.append(cell.cell_contents)
    return seen


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_do_not_leak(name):
    fn, args = CASES[name]
    with contextlib.redirect_stdout(SINK):  # where make_np_array's trace lines go
        findings = leak_findings(lambda: fn(*args), args)
    if findings:
        pytest.fail("grown in every phase:\n" + "\n".join(findings), pytrace=False)


# ---------------------------------------------------------------------------
# The check itself sees each kind of leak
# ---------------------------------------------------------------------------

_incref, _decref = ctypes.pythonapi.Py_IncRef, ctypes.pythonapi.Py_DecRef
_incref.argtypes = _decref.argtypes = [ctypes.py_object]


class _Planted:
    """One fault per call beside a real call of the module, undone after."""

    def __init__(self, kind):
        self.kind, self.done = kind, 0
        self.holders = [object()] * 10_000
        self.kept = [None] * 10_000
        self.blocks = []
        self.libc = _c_library()
        self.libc.malloc.restype = ctypes.c_void_p
        self.libc.free.argtypes = [ctypes.c_void_p]
        self.addresses = np.zeros(10_000, np.uint64)

    def __call__(self):
        su.flatten_object_numpy(NESTED)
        self.done += 1
        if self.kind == "reference to a leaf":
            _incref(NESTED["c"]["dx"])
        elif self.kind == "reference to a dict key":
            _incref(next(iter(NESTED["c"])))
        elif self.kind == "reference to a collaborator":
            _incref(np.concatenate)
        elif self.kind == "reference given back twice":
            _decref(self.holders[0])
        elif self.kind == "object kept":
            self.kept[self.done] = float(self.done)
        elif self.kind == "native allocation":
            self.addresses[self.done] = self.libc.malloc(24)

    def undo(self):
        target = {"reference to a leaf": NESTED["c"]["dx"], "reference to a dict key": next(iter(NESTED["c"])),
                  "reference to a collaborator": np.concatenate}.get(self.kind)
        for _ in range(self.done):
            if target is not None:
                _decref(target)
            elif self.kind == "reference given back twice":
                _incref(self.holders[0])
        for address in self.addresses[self.addresses != 0]:
            self.libc.free(int(address))


@pytest.mark.parametrize("kind, names", [
    ("reference to a leaf", ["ndarray of shape (1,)"]),
    ("reference to a dict key", ["str 'dx'"]),
    ("reference to a collaborator", ["<function concatenate"]),
    ("reference given back twice", ["object <object object"]),
    ("object kept", ["blocks", "native heap bytes"]),
    ("native allocation", ["native heap bytes"]),
])
def test_the_check_sees_each_kind_of_leak(kind, names):
    planted = _Planted(kind)
    try:
        findings = leak_findings(planted, [NESTED, planted.holders])
    finally:
        planted.undo()
    assert any(name in line for line in findings for name in names), findings


# ---------------------------------------------------------------------------
# Under LeakSanitizer: where the module's own allocations leak
# ---------------------------------------------------------------------------

_LSAN_CHECK = getattr(_c_library(), "__lsan_do_recoverable_leak_check", None)
_ASAN_OPTIONS = dict(o.split("=", 1) for o in os.environ.get("ASAN_OPTIONS", "").split(":") if "=" in o)
_LSAN_ON = _LSAN_CHECK is not None and _ASAN_OPTIONS.get("detect_leaks", "1") in ("1", "true")
_LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of \d+ byte\(s\) in (\d+) object\(s\) allocated from:$")


def _lsan_leaks(capfd):
    """Objects LeakSanitizer finds unreachable now, counted by allocation
    stack (frames without their addresses), and the report itself."""
    capfd.readouterr()
    _LSAN_CHECK()
    report = capfd.readouterr().err
    counts = collections.Counter()
    for block in report.split("\n\n"):
        lines = block.strip().splitlines()
        header = _LEAK_HEADER.match(lines[0]) if lines else None
        if header:
            stack = tuple(re.sub(r"0x[0-9a-f]+", "", line).strip() for line in lines[1:])
            counts[stack] += int(header.group(2))
    return counts, report


@pytest.mark.skipif(not _LSAN_ON, reason="needs the AddressSanitizer run with detect_leaks=1 (scripts/asan.sh)")
def test_no_allocation_of_the_module_is_left_unreachable(monkeypatch, capfd):
    # The interpreter and its libraries leave objects unreachable of their
    # own (and never free them); what counts is what grows with the calls
    # and was allocated with one of the module's frames on the stack.
    monkeypatch.setattr(sys, "stdout", SINK)
    libc = _c_library()
    libc.malloc.restype, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_void_p]
    calls = 50
    for fn, args in CASES.values():
        _repeat(lambda: fn(*args), 5)
    gc.collect()
    before, _ = _lsan_leaks(capfd)
    for fn, args in CASES.values():
        _repeat(lambda: fn(*args), calls)
    # a block of a size nothing else asks for, left unreachable on purpose:
    # the second report must show it, or the reports are not being read
    probe = libc.malloc(4093)
    gc.collect()
    after, report = _lsan_leaks(capfd)
    libc.free(probe)
    assert "leak of 4093 byte(s) in 1 object(s)" in report
    grown = after - before
    ours = {stack: n for stack, n in grown.items() if n >= calls and any("space_utils" in f for f in stack)}
    if ours:
        pytest.fail("\n\n".join(f"{n} more objects from:\n" + "\n".join(stack) for stack, n in ours.items()),
                    pytrace=False)
