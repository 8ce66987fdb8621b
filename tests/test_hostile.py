"""Hostile callbacks: Python code that changes the inputs while a call runs.

Collections forced at every allocation run finalizers that resize, reshape
and retype arrays, swap dict entries, clear lists and close coroutines; ABC
hooks, __eq__, __hash__ and __index__ change what is being walked; a second
thread changes the inputs while torch has released the lock. Whatever they
do, a call ends in a Python exception or a correct result: never a crash,
never an error set behind a returned value (SystemError)."""

import builtins
import collections
import contextlib
import copy
import gc
import sys
import threading
import warnings

import numpy as np
import pytest
import torch
from conftest import NestedDict

import kestrelix_core.spaces as ks
from kestrelix_core.agent.sensor import Sensor
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su

# An exception in a finalizer (a change that a test meant to make) fails the test.
pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


# Only the youngest generation is collected (where the bombs are): full
# collections at this pace would take minutes.
HELD = 1 << 30

# From 3.12 on, a collection that an allocation asks for waits for the next
# bytecode boundary: one that runs in Hostility.call's own frame came after the
# function returned, too late to change anything the call saw.
LATE = sys.version_info >= (3, 12)


class Hostility:
    """While `active`, collections after the first `skip` ones run `action`
    (at most `times` times): every collection leaves a new garbage cycle whose
    finalizer is the next one's."""

    def __init__(self, action, times, skip):
        self.action, self.left, self.skip = action, times, skip
        self.active, self.fired, self.late, self.errors = False, 0, 0, []

    def call(self, fn, *args):
        """fn(*args) with the hostility active: ("ok", result) or ("raised", exc).
        The first collection comes at the call's first allocation."""
        gc.set_threshold(HELD, HELD, HELD)
        pad = _Pad()  # (an allocation no free list serves: the count read below is at least 1)
        count = gc.get_count()[0]
        self.active = True
        gc.set_threshold(count, HELD, HELD)
        try:
            result = fn(*args)
        except Exception as e:  # a Python exception is a fine outcome, but not this one:
            assert not isinstance(e, SystemError), repr(e)
            return "raised", e
        finally:
            self.active = False
            del pad
        return "ok", result

    def require_change(self, required=True):
        """Skips a test whose change never came while the call ran; with
        `required`, fails it instead where the collection would have run inside."""
        if self.fired > self.late:
            return
        assert not required or LATE, "the call made no collection"
        pytest.skip("no collection came while the call ran (it runs no Python code)")


class _Pad:
    pass


class _Bomb:
    def __init__(self, hostility):
        self.hostility, self.cycle = hostility, self

    def __del__(self):
        h = self.hostility
        if h.left <= 0:
            return
        gc.set_threshold(1, HELD, HELD)  # from now on at every other allocation
        if h.active and h.skip > 0:
            h.skip -= 1
        elif h.active:
            h.left -= 1
            h.fired += 1
            h.late += LATE and sys._getframe(1).f_code is Hostility.call.__code__
            try:
                h.action()
            except BaseException as e:  # noqa: BLE001 (reported by the test)
                h.errors.append(e)
        _Bomb(h)


@contextlib.contextmanager
def collections_running(action, times=1, skip=0):
    """Collections at every allocation, each running `action` inside calls
    made through the yielded Hostility's `call`."""
    h = Hostility(action, times, skip)
    threshold = gc.get_threshold()
    _Bomb(h)
    gc.set_threshold(1, HELD, HELD)
    try:
        yield h
    finally:
        h.left = 0
        gc.set_threshold(*threshold)
    assert not h.errors, h.errors


def same(a, b):
    """Equal values of equal kinds, arrays and tensors included, nested."""
    if isinstance(a, torch.Tensor):
        return isinstance(b, torch.Tensor) and a.dtype == b.dtype and a.shape == b.shape and torch.equal(a, b)
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    if isinstance(a, dict):
        return type(a) is type(b) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------
# Arrays that change size, shape or dtype while a result is being allocated
# ---------------------------------------------------------------------------

FLATTENERS = {
    "numpy": su.flatten_object_numpy,
    "torch": su.flatten_object_torch,
    "batch": su.flatten_object_batch,
    "unknown": lambda x: su._flatten_unknown(ks.Dict({k: ks.Box(-1, 1, (1,)) for k in x}), x),
}


def grow(a):
    n = a.shape[0] if a.ndim > 1 else 1
    a.resize((n, 1 << 17) if a.ndim > 1 else (1 << 17,), refcheck=False)


def retype(a):
    a.dtype = np.float32  # same bytes, twice the elements


def reshape(a):
    a.shape = (a.size,) if a.ndim > 1 else (2, a.size // 2)


@pytest.mark.parametrize("change", [grow, retype, reshape])
@pytest.mark.parametrize("target", FLATTENERS)
def test_leaf_changed_while_the_result_is_allocated(target, change):
    # The first collection comes in the middle of the call (for torch, while
    # the tensor that the leaves are copied into is allocated).
    shape = (2, 4) if target == "batch" else (8,)
    leaf = np.arange(8.0).reshape(shape).copy()  # (owning its data, so that it can be resized)
    value = {"a": leaf, "b": np.ones(shape[:-1] + (3,))}
    flatten = FLATTENERS[target]
    before = flatten(value)
    with collections_running(lambda: change(leaf)) as h:
        kind, out = h.call(flatten, value)
    if kind == "ok":
        # Either the value as it was, or as it is now.
        assert same(out, before) or same(out, flatten(value))
    h.require_change(target in ("torch", "batch"))


# ---------------------------------------------------------------------------
# ABC hooks that change the dict being flattened
# ---------------------------------------------------------------------------


@pytest.fixture
def nested_dict_hook():
    """Sets `hook.action` to run whenever isinstance(<list or tuple>,
    NestedDict) asks NestedDict's subclasses (an ABC's __subclasshook__)."""
    if NestedDict is None:
        pytest.skip("RLlib's NestedDict is not available (no Ray, or a Ray without it)")

    class Hook(NestedDict):
        action = None

        @classmethod
        def __subclasshook__(cls, other):
            if cls.action and other in (list, tuple):
                action, cls.action = cls.action, None
                action()
            return NotImplemented

    NestedDict._abc_caches_clear()
    yield Hook
    del Hook
    gc.collect()
    NestedDict._abc_caches_clear()


@pytest.mark.parametrize("target", ["numpy", "torch", "batch"])
def test_dict_grown_by_an_abc_hook_during_the_walk(nested_dict_hook, target):
    value = {"a": np.zeros((2, 2)), "b": [np.ones((2, 2))], "c": np.ones((2, 1))}
    nested_dict_hook.action = lambda: value.__setitem__("z", np.zeros((2, 2)))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        FLATTENERS[target](value)


@pytest.mark.parametrize("target", ["numpy", "torch", "batch"])
def test_dict_entry_swapped_by_an_abc_hook_during_the_walk(nested_dict_hook, target):
    # As a for loop over the dict would, the walk goes on to the new entry.
    value = {"a": np.zeros((2, 2)), "b": [np.ones((2, 2))], "c": np.ones((2, 1))}
    nested_dict_hook.action = lambda: (value.pop("c"), value.__setitem__("z", np.full((2, 3), 7.0)))
    out = FLATTENERS[target](value)
    assert same(out, FLATTENERS[target](value))


# ---------------------------------------------------------------------------
# The selector mask list reached from a skill's callback
# ---------------------------------------------------------------------------


class ReachingSkill(SkillSelector):
    """A fixed-order skill whose is_repeat() finds the mask list being built
    (any Python code can, through the collector) and changes it."""

    change = None

    def is_repeat(self):
        for obj in gc.get_objects():
            if type(obj) is list and len(obj) == 7 and obj[6] == 1 and obj.count(0) == 6:
                type(self).change(obj)
        return True


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda mask: mask.__setitem__(1, "x"), ValueError),
        (lambda mask: mask.__setitem__(1, 3), [1, 3, 0, 0, 0, 0, 1]),
        (lambda mask: mask.append(1), [1, 0, 0, 0, 0, 0, 1, 1]),
        (lambda mask: mask.clear(), IndexError),
    ],
    ids=["not-an-int", "other-int", "longer", "emptied"],
)
def test_selector_mask_list_changed_by_a_callback(change, expected):
    ReachingSkill.change = staticmethod(change)
    skill = ReachingSkill("abcdefg", fixed_order=True, repeat=True)
    if isinstance(expected, type):
        with pytest.raises(expected):
            su.compute_selector_action_mask(6, skill)
    else:
        out = su.compute_selector_action_mask(6, skill)
        assert out.dtype == np.int8 and out.tolist() == expected


# ---------------------------------------------------------------------------
# Every function, with a finalizer that changes one of its inputs at one of
# its first collections. Each change is made once, to one place, so a correct
# result is the one for the inputs as they were before the call or as they
# are after it.
# ---------------------------------------------------------------------------


def owned(*shape, dtype=np.float64):
    """An array that owns its data (so that it may be resized)."""
    return np.arange(float(np.prod(shape))).reshape(shape).astype(dtype)


def resize(a, *shape):
    return lambda: a.resize(shape, refcheck=False)


def swap(d, old, new, value):
    """Replaces the entry `old` by `new` (the dict keeps its size)."""

    def change():
        if old in d:
            del d[old]
            d[new] = value

    return change


class Emptied:
    """Empties `lst`. A walk of the list that is under way when that happens
    ends early, as a for loop does: its result is that of a prefix of the
    list, which `prefixes` gives."""

    def __init__(self, lst):
        self.lst = lst

    def __call__(self):
        self.lst.clear()

    def prefixes(self, args):
        for k in range(len(self.lst)):
            memo = {}
            copied = copy.deepcopy(args, memo)
            del memo[id(self.lst)][k:]
            yield copied


def drive(make):
    """A coroutine function as a plain one: runs the coroutine by hand."""

    def run(*args):
        coro = make(*args)
        while True:
            try:
                coro.send(None)
            except StopIteration as stop:
                return stop.value

    return run


class Doubler:
    def __init__(self, name):
        self.name = name

    def get_name(self):
        return self.name

    async def perceive(self, space, sensors):
        return {"double_" + self.name: np.float32(2.0)}


class Skill:
    def __init__(self, name):
        self.name = name

    def get_skill_name(self):
        return self.name

    def get_action_space(self):
        return ks.Discrete(3)

    async def _execute(self, sensors):
        return len(sensors)


def _flatten_cases():
    a = owned(4)
    yield "numpy: a leaf grows", su.flatten_object_numpy, ({"a": a, "b": [owned(3)]},), resize(a, 64)
    a = owned(4)
    x = collections.OrderedDict(a=a, b=(owned(2), owned(3)))
    yield "numpy, general path: a leaf grows", su.flatten_object_numpy, (x,), resize(a, 64)
    if NestedDict:
        x = NestedDict({"a": owned(2), "b": {"c": owned(3)}})
        yield "numpy, NestedDict: an entry swapped", su.flatten_object_numpy, (x,), swap(x, "a", "z", owned(5))
    a = owned(4)
    yield "torch: a leaf retyped", su.flatten_object_torch, ({"a": a, "b": owned(3)},), lambda: retype(a)
    inner = [owned(2), owned(3)]
    x = collections.OrderedDict(a=owned(4), b=inner)
    yield "torch, general path: a list emptied", su.flatten_object_torch, (x,), Emptied(inner)
    t = torch.arange(6.0)
    yield "torch: a tensor leaf resized", su.flatten_object_torch, ({"a": owned(2), "t": t},), lambda: t.resize_(
        40
    ).fill_(1.0)  # (filled: what resize_ adds is uninitialized, NaNs included)
    a = owned(2, 4)
    yield "batch: a leaf reshaped", su.flatten_object_batch, ({"a": a, "b": owned(2, 3)},), lambda: reshape(a)
    a = owned(2, 4)
    yield "batch: a leaf retyped", su.flatten_object_batch, ([a, owned(2, 1)],), lambda: retype(a)


def _mask_cases():
    m = {"a": torch.zeros(3), "b": np.zeros(2, np.int8)}
    yield "mask_all_zero: an entry swapped", su.mask_all_zero, (m,), swap(m, "b", "z", np.ones(1))
    # (a tensor first: the change comes as torch.any allocates its result; an
    # exact ndarray is tested without allocating anything)
    m = [torch.zeros(3), np.zeros(2)]
    yield "mask_all_zero: the list emptied", su.mask_all_zero, (m,), Emptied(m)
    a = np.zeros(3, np.int8)
    yield "mask_all_zero: a leaf grows", su.mask_all_zero, ([torch.zeros(2), a],), resize(a, 300)
    m1 = {"a": np.ones(3, np.int8), "b": np.ones(2, bool)}
    m2 = {"a": np.array([1, 0, 1], np.int8), "b": np.array([0, 1], bool)}
    yield "combine_masks: an entry swapped", su.combine_masks, (m1, m2), swap(m2, "b", "z", np.ones(2, bool))
    a = owned(3, dtype=np.int8)
    yield "combine_masks: a leaf grows", su.combine_masks, ([a, np.ones(2, bool)], [a, np.ones(2, bool)]), resize(a, 9)
    logits = {"a": np.zeros(3, np.float32), "b": np.zeros(2, np.float32)}
    mask = {"a": np.array([1, 0, 1], np.int8), "b": np.array([0, 1], np.int8)}
    yield "apply_mask: an entry swapped", su.apply_mask, (logits, mask), swap(mask, "a", "z", np.ones(3, np.int8))
    a = np.array([1, 0, 1], np.int8)
    yield "apply_mask: a numpy mask for torch logits grows", su.apply_mask, (torch.zeros(3), a), resize(a, 9)
    t = torch.arange(4.0)
    mask = torch.tensor([1.0, 0.0, 1.0, 1.0])
    yield "apply_mask: torch logits resized", su.apply_mask, (t, mask), lambda: t.resize_(2)
    logits = torch.arange(4.0).reshape(2, 2)
    yield "apply_mask: torch logits turned in place", su.apply_mask, (logits, mask.reshape(2, 2)), lambda: logits.t_()
    t = torch.arange(4.0)
    yield "apply_mask: torch logits retyped", su.apply_mask, (t, mask), lambda: setattr(t, "data", t.data.double())
    m = torch.tensor([1.0, 0.0, 1.0, 1.0])
    yield "apply_mask: a torch mask refilled", su.apply_mask, (torch.zeros(4), m), lambda: m.resize_(4).fill_(0.5)
    space = ks.Dict({"move": ks.Discrete(3), "aim": ks.MultiDiscrete([2, 2])})
    mask = {"move": [0, 1, 1], "aim": [np.array([1, 0], np.int8), np.array([1, 1], np.int8)]}
    action = {"move": 1, "aim": [0, 1]}
    yield "action_fits_mask: an entry swapped", su.action_fits_mask, (action, mask, space), swap(
        mask, "move", "z", [1]
    )
    yield "action_fits_mask: a list emptied", su.action_fits_mask, (action, mask, space), Emptied(action["aim"])
    t = torch.tensor([0, 1, 1])
    yield "action_fits_mask: the mask shrinks", su.action_fits_mask, (2, t, ks.Discrete(3)), lambda: t.resize_(1)


class ListingSelector(SkillSelector):
    """A selector with a method of its own (so the general path asks it)."""

    def get_children_names(self):
        return list(self.children_names)


def _action_cases():
    # (within one tree.map_structure call, a change is the tree library's own affair)
    action = [np.zeros(2, np.float32), 1, {"b": np.ones(1, np.float32)}]
    space = ks.Tuple([ks.Box(-2.0, 6.0, (2,), np.float32), ks.Discrete(3), ks.Dict({"b": ks.Box(0.0, 4.0, (1,))})])
    yield "unsquash_action: the actions emptied", su.unsquash_action, (action, space), Emptied(action)
    batch = {"a": [torch.zeros(2), torch.ones(2)], "b": [torch.zeros(2)]}
    space = {"a": ks.Box(-2.0, 6.0, (2,), np.float32), "b": ks.Box(0.0, 1.0, (2,), np.float32)}
    yield "unsquash_action_batch: a list emptied", su.unsquash_action_batch, (batch, space), Emptied(batch["a"])
    logits = torch.arange(10.0).reshape(2, 5)
    space = ks.Dict({"a": ks.Box(-1, 1, (2,)), "b": ks.Discrete(3)})
    yield "unpack_logits: the logits resized", su.unpack_logits, (logits, space), lambda: logits.resize_(2, 2)
    skill = ListingSelector(["a", "b", "c", "d"], fixed_order=True, repeat=True)
    yield "compute_selector_action_mask: children removed", su.compute_selector_action_mask, (
        1,
        skill,
    ), Emptied(skill.children_names)


def _description_cases():
    a = owned(3)
    yield "_convert_value_to_gym_space: a value grows", su._convert_value_to_gym_space, ({"a": a, "b": 1.0},), resize(
        a, 7
    )
    spaces = {"a": ks.Discrete(2), "b": ks.Discrete(3), "c": ks.Discrete(4)}
    space = ks.Dict(spaces)
    yield "filter_space: an entry swapped", su.filter_space, (space, ["a", "c", "z"]), swap(
        space.spaces, "a", "z", ks.Discrete(5)
    )
    x = {"a": owned(3), "b": (owned(2), {"c": [1.0, 2.0]})}
    yield "make_np_array: an entry swapped", su.make_np_array, (x,), swap(x, "a", "z", owned(1))
    spec = ks.SimSensorSpace({"pos": ks.Box(-1, 1, shape=(3,)), "vel": ks.Box(-1, 1, shape=(2,))})
    sensors = [Sensor("pos"), Sensor("vel"), Sensor("speed", lambda obs: float(np.abs(obs["vel"]).sum()))]
    perceptors = [Doubler("a"), Doubler("b")]
    yield "get_kestrelix_space_info: perceptors removed", drive(su.get_kestrelix_space_info), (
        spec,
        sensors,
        perceptors,
        [Skill("left")],
    ), Emptied(perceptors)
    obs = {"pos": np.zeros(3, np.float32), "vel": np.ones(2, np.float32)}
    yield "convert_sim_sensors_to_kestrelix_sensors: an observation swapped", drive(
        su.convert_sim_sensors_to_kestrelix_sensors
    ), (obs, spec, list(sensors), [Doubler("a")], [Skill("left")]), swap(obs, "pos", "z", np.ones(3))


CASE_GROUPS = (_flatten_cases, _mask_cases, _action_cases, _description_cases)
CASES = [name for cases in CASE_GROUPS for name, *_ in cases()]
# Calls that may allocate nothing the collector counts and run no Python code
# (under numpy 2 the fast path's one allocation is its result array): there,
# no change can come mid-call.
UNTRACKED = {"numpy: a leaf grows"}


def fresh_case(name):
    """The function, its arguments (made anew) and the change, of one case."""
    return next((fn, args, change) for cases in CASE_GROUPS for n, fn, args, change in cases() if n == name)


class _Null:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def outcome(fn, args):
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001
        return "raised", e


@pytest.mark.parametrize("skip", [0, 1, 3])
@pytest.mark.parametrize("name", CASES)
def test_an_input_changed_by_a_finalizer(name, skip):
    fn, args, change = fresh_case(name)
    with contextlib.redirect_stdout(_Null()):  # (make_np_array prints a trace line per node)
        # The results the call may give: for the inputs as they are now, as
        # they will be after the change, and as a walk under way sees them.
        possible = [outcome(fn, args)]
        if isinstance(change, Emptied):
            possible += [outcome(fn, variant) for variant in change.prefixes(args)]
        with collections_running(change, skip=skip) as h:
            kind, out = h.call(fn, *args)
        if kind == "ok":
            possible.append(outcome(fn, args))
            assert any(k == "ok" and same(out, v) for k, v in possible), name
    h.require_change(not skip and name not in UNTRACKED)


# ---------------------------------------------------------------------------
# Hooks of the inputs themselves: __eq__, __hash__, __index__, properties,
# and an ABC's __subclasshook__, each changing what is being walked.
# ---------------------------------------------------------------------------


class Key:
    """A dict key whose hash or comparison runs `Key.action` once."""

    action = None

    def __init__(self, name):
        self.name = name

    @classmethod
    def fire(cls):
        if cls.action:
            action, cls.action = cls.action, None
            action()

    def __hash__(self):
        Key.fire()
        return hash(self.name)

    def __eq__(self, other):
        Key.fire()
        return isinstance(other, Key) and other.name == self.name

    def __repr__(self):
        return f"Key({self.name})"


class Index:
    """An action index whose __index__ runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    __int__ = __index__

    def __add__(self, other):
        return self.value + other


def _key_cases():
    a, b, z = Key("a"), Key("b"), Key("z")
    m1 = {a: np.ones(3, np.int8), b: np.ones(2, np.int8)}
    m2 = {a: np.array([1, 0, 1], np.int8), b: np.array([0, 1], np.int8)}
    yield "combine_masks: keys swap the second mask's entries", su.combine_masks, (m1, m2), swap(
        m2, b, z, np.ones(2, np.int8)
    )
    a, b, z = Key("a"), Key("b"), Key("z")
    logits = {a: torch.zeros(3), b: torch.zeros(2)}
    mask = {a: torch.tensor([1.0, 0.0, 1.0]), b: torch.tensor([0.0, 1.0])}
    yield "apply_mask: keys swap the logits' entries", su.apply_mask, (logits, mask), swap(
        logits, b, z, torch.ones(2)
    )
    a, b = Key("a"), Key("b")
    x = collections.OrderedDict([(a, np.zeros(2)), (b, [np.ones(2), np.zeros(1)])])
    yield "flatten_object_numpy: keys empty a member", su.flatten_object_numpy, (x,), Emptied(x[b])


@pytest.mark.parametrize("name", [n for n, *_ in _key_cases()])
def test_keys_whose_hash_or_comparison_change_the_input(name):
    fn, args, change = next((fn, args, change) for n, fn, args, change in _key_cases() if n == name)
    possible = [outcome(fn, args)]
    if isinstance(change, Emptied):
        possible += [outcome(fn, variant) for variant in change.prefixes(args)]
    Key.action = change
    try:
        kind, out = outcome(fn, args)
        fired = Key.action is None
    finally:
        Key.action = None
    assert fired
    assert not isinstance(out, SystemError), repr(out)
    if kind == "ok":
        possible.append(outcome(fn, args))
        assert any(k == "ok" and same(out, v) for k, v in possible), name


@pytest.mark.parametrize("mask_kind", ["list", "tensor"])
def test_action_index_that_changes_the_mask(mask_kind):
    mask = [0, 1, 1] if mask_kind == "list" else torch.tensor([0, 1, 1])
    shrink = mask.clear if mask_kind == "list" else lambda: mask.resize_(1)
    # The entry is read after the index is taken: an index past the end now.
    with pytest.raises(IndexError):
        su.action_fits_mask(Index(2, shrink), mask, ks.Discrete(3))


def test_previous_action_index_that_reaches_the_mask_list():
    def store_text():
        for obj in gc.get_objects():
            if type(obj) is list and len(obj) == 7 and obj.count(0) == 7:
                obj[5] = "x"

    skill = SkillSelector("abcdefg", fixed_order=True, repeat=True)
    with pytest.raises(ValueError, match="invalid literal for int"):
        su.compute_selector_action_mask(Index(1, store_text), skill)


class ResizingSpace(ks.Box):
    """A sub-space whose `size` resizes the logits being unpacked."""

    logits = None

    @property
    def size(self):
        type(self).logits.resize_(1, 1)
        return super().size


def test_sub_space_property_that_resizes_the_logits():
    ResizingSpace.logits = logits = torch.arange(10.0).reshape(2, 5)
    space = ks.Dict({"a": ResizingSpace(-1, 1, (2,)), "b": ks.Box(-1, 1, (3,))})
    kind, out = outcome(su.unpack_logits, (logits, space))
    assert kind == "raised" and not isinstance(out, SystemError), out


class DropsBuiltins:
    """A namespace key with the hash of "np" whose comparison drops the
    namespace's builtins."""

    def __hash__(self):
        return hash("np")

    def __eq__(self, other):
        vars(su).pop("__builtins__", None)
        return False


def test_namespace_key_that_drops_the_builtins_being_read():
    ns = vars(su)
    saved = dict(ns)
    np_, key = ns.pop("np"), DropsBuiltins()
    ns["__builtins__"] = dict(vars(builtins), np=np_)  # (held by the namespace alone)
    ns[key] = None
    try:
        with pytest.raises(NameError, match="name 'np' is not defined"):
            su.apply_mask(torch.zeros(2, 3), torch.ones(2, 3))
    finally:
        ns.clear()
        ns.update(saved)  # (in the order of binding)


class Recording(torch.overrides.TorchFunctionMode):
    def __init__(self):
        super().__init__()
        self.seen = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        self.seen.append(getattr(func, "__name__", func))
        return func(*args, **(kwargs or {}))


def _cut_case(name):
    """Logits, space and change of one case of the one cut."""
    dict_space = ks.Dict({"a": ks.Discrete(3), "b": ks.Box(-1, 1, (2, 3))})
    if name == "mode entered":
        mode = Recording()
        return torch.arange(36.0).reshape(4, 9), dict_space, mode, mode.__enter__
    multi = name.startswith("multi")
    shape, new = ((4, 5), (4, 7)) if multi else ((4, 9), (4, 12) if name.endswith("wider") else (2, 2, 9))
    logits = torch.arange(48.0).resize_(*shape)  # (the storage has room for every shape)
    return logits, ks.MultiDiscrete([2, 3]) if multi else dict_space, None, lambda: logits.resize_(*new)


class OneShot:
    """Garbage whose finalizer runs `action` at the next collection."""

    def __init__(self, action):
        self.action, self.cycle = action, self

    def __del__(self):
        self.action()


@contextlib.contextmanager
def idle_thread(present):
    """A second thread waiting while the block runs (the module takes other
    roads where more than one thread exists)."""
    done = threading.Event()
    thread = threading.Thread(target=done.wait, daemon=True) if present else None
    if thread:
        thread.start()
    try:
        yield
    finally:
        done.set()
        if thread:
            thread.join()


@pytest.mark.parametrize("other_thread", [False, True])
@pytest.mark.parametrize("threshold", range(1, 9))
@pytest.mark.parametrize("name", ["dict wider", "dict batch reshaped", "multi wider", "mode entered"])
def test_one_cut_with_a_finalizer_at_its_allocations(name, threshold, other_thread):
    logits, space, mode, change = _cut_case(name)
    with torch.no_grad(), idle_thread(other_thread):
        possible = [su.unpack_logits(logits, space)]
        old = gc.get_threshold()
        gc.collect()
        OneShot(change)
        gc.set_threshold(threshold)  # (the collection comes at that allocation of the call)
        try:
            kind, out = outcome(su.unpack_logits, (logits, space))
        finally:
            gc.set_threshold(*old)
            gc.collect(0)  # (where the call made no collection, the change comes now)
        if mode is not None:
            mode.__exit__(None, None, None)
        possible.append(su.unpack_logits(logits, space))
    assert kind == "ok", out
    assert any(same(out, v) for v in possible), out
    if mode is not None:
        assert "split_with_sizes" not in mode.seen, mode.seen


@contextlib.contextmanager
def tensor_member(name, value):
    """torch.Tensor's `name` replaced by Python code for the block."""
    setattr(torch.Tensor, name, value)
    try:
        yield
    finally:
        delattr(torch.Tensor, name)


def _shapes(out):
    return [tuple(v.shape) for v in (out.values() if isinstance(out, dict) else out)]


_PAIR = ks.Dict({"a": ks.Discrete(3), "b": ks.Discrete(4)})


@pytest.mark.parametrize("other_thread", [False, True])
@pytest.mark.parametrize("grad", [False, True])
@pytest.mark.parametrize("member", ["__getitem__ flattening", "shape lying", "__getitem__ disabling gc"])
def test_one_cut_under_tensor_members_of_python_code(member, grad, other_thread):
    plain_getitem, plain_shape = torch.Tensor.__getitem__, torch._C.TensorBase.shape
    logits = torch.randn(4, 7)
    seen = []

    def disabling(self, index):
        seen.append(gc.isenabled())
        gc.disable()
        return plain_getitem(self, index)

    name, value, want = {
        "__getitem__ flattening": ("__getitem__", lambda t, i: plain_getitem(t, i).flatten(), [(4, 3), (4, 4)]),
        "shape lying": (
            "shape",
            property(lambda t: torch.Size((2, 2, 7)) if t is logits else plain_shape.__get__(t)),
            [(2, 2, 3), (2, 2, 4)],
        ),
        "__getitem__ disabling gc": ("__getitem__", disabling, [(4, 3), (4, 4)]),
    }[member]
    try:
        with torch.set_grad_enabled(grad), idle_thread(other_thread), tensor_member(name, value):
            assert _shapes(su.unpack_logits(logits, _PAIR)) == want
        # the collector as the general path leaves it: disabled by the code it ran
        if seen:
            assert seen[0] and not any(seen[1:]) and not gc.isenabled(), seen
    finally:
        gc.enable()


class FromKernel(Exception):
    pass


@contextlib.contextmanager
def python_kernel(op, calls):
    """A CPU kernel of Python code for torch's operator `op` that raises."""
    lib = torch.library.Library("aten", "IMPL")

    def kernel(*args, **kwargs):
        calls.append(op)
        raise FromKernel(op)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # (torch's note on overriding its own kernel)
        lib.impl(op, kernel, "CPU")
    try:
        yield
    finally:
        lib._destroy()


def _unpacked(space, grad):
    def unpack():
        with torch.set_grad_enabled(grad):
            return _shapes(su.unpack_logits(torch.randn(4, 7), space))

    return unpack


_LEAVES = {"a": np.zeros((2, 2), np.float32), "b": np.ones((2, 3), np.float32)}
_KERNEL_CASES = {
    # an operator the general path never calls: its kernel is never run
    **{f"split {s} grad {g}": ("split_with_sizes", _unpacked(sp, g), [(4, 3), (4, 4)])
       for s, sp in (("dict", _PAIR), ("multi", ks.MultiDiscrete([3, 4]))) for g in (False, True)},
    # operators the general path calls: their kernel's error comes out
    **{f"slice {s} grad {g}": ("slice.Tensor", _unpacked(sp, g), None)
       for s, sp in (("dict", _PAIR), ("multi", ks.MultiDiscrete([3, 4]))) for g in (False, True)},
    "add apply_mask": ("add.Tensor", lambda: su.apply_mask(torch.zeros(2, 3), torch.ones(2, 3)), None),
    "cat flatten_object_torch": ("cat", lambda: su.flatten_object_torch(_LEAVES), None),
    "cat flatten_object_batch": ("cat", lambda: su.flatten_object_batch(_LEAVES), None),
}


@pytest.mark.parametrize("other_thread", [False, True])
@pytest.mark.parametrize("case", list(_KERNEL_CASES))
def test_fast_paths_under_a_python_kernel(case, other_thread):
    op, fn, want = _KERNEL_CASES[case]
    calls = []
    before = fn()
    with idle_thread(other_thread), python_kernel(op, calls):
        kind, out = outcome(fn, ())
    if want is not None:
        assert kind == "ok" and out == want and calls == [], (out, calls)
    else:
        assert kind == "raised" and type(out) is FromKernel, out
    assert same(fn(), before)  # (and the fast path again once the kernel is gone)


class MembersChanging(ks.Tuple):
    """A tuple space whose `spaces` read runs `change`."""

    change = None

    @property
    def spaces(self):
        type(self).change()
        return self.__dict__["spaces"]

    @spaces.setter
    def spaces(self, spaces):
        self.__dict__["spaces"] = spaces


def test_space_property_that_grows_the_value_flattened_along_it():
    MembersChanging.change = lambda: None
    space = ks.Dict({"a": MembersChanging([ks.Box(-1, 1, (2,)), ks.Box(-1, 1, (3,))]), "b": ks.Box(-1, 1, (1,))})
    value = {"a": (np.zeros(2), np.ones(3)), "b": np.ones(1)}
    MembersChanging.change = lambda: value.setdefault("z", np.zeros(1))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        su._flatten_unknown(space, value)


@pytest.mark.parametrize("fn", [su.mask_all_zero, lambda m: su.apply_mask([np.zeros(2), np.zeros(1)], m)])
def test_list_mask_emptied_by_an_abc_hook(nested_dict_hook, fn):
    mask = [np.zeros(2, np.int8), np.ones(1, np.int8)]
    before = outcome(fn, (mask,))
    nested_dict_hook.action = mask.clear
    kind, out = outcome(fn, (mask,))
    assert not isinstance(out, SystemError), repr(out)
    if kind == "ok":
        assert same(out, before[1]) or same(out, fn(mask))


# ---------------------------------------------------------------------------
# A second thread changing the inputs while the call runs (torch lets other
# threads run while it allocates and joins). Each leaf is read in one of its
# states, so the result is the one for some combination of them.
# ---------------------------------------------------------------------------


@contextlib.contextmanager
def thread_running(step):
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            step()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=loop, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("target", ["numpy", "torch", "batch"])
def test_a_second_thread_retypes_and_swaps_while_flattening(target):
    leaf, b = owned(2, 8), owned(2, 3)
    others = (owned(2, 1), owned(2, 2) + 10)
    value = {"a": leaf, "b": b, "c": [others[0]]}
    # Every state of the inputs the thread goes through, and the result for each.
    states = []
    for dtype in (np.float64, np.float32):
        for c in others:
            state = {"a": leaf.copy().view(dtype), "b": b, "c": [c]}
            states.append(outcome(FLATTENERS[target], (state,)))
    flip = iter(range(1 << 62))

    def step():
        leaf.dtype = np.float32 if leaf.dtype == np.float64 else np.float64
        value["c"] = [others[next(flip) % 2]]

    outcomes = []
    with thread_running(step):
        for _ in range(300):
            outcomes.append(outcome(FLATTENERS[target], (value,)))
    for kind, out in outcomes:
        assert not isinstance(out, SystemError), repr(out)
        if kind == "ok":
            assert any(k == "ok" and same(out, v) for k, v in states)
    assert any(kind == "ok" for kind, _ in outcomes)


def test_a_second_thread_retypes_the_mask_while_masking_torch_logits():
    mask = np.array([1, 0, 1, 1], np.int16)
    logits = torch.zeros(4)
    expected = su.apply_mask(logits, mask.copy())

    def step():
        mask.dtype = np.int8 if mask.dtype == np.int16 else np.int16  # 4 entries or 8

    with thread_running(step):
        for _ in range(300):
            kind, out = outcome(su.apply_mask, (logits, mask))
            assert not isinstance(out, SystemError), repr(out)
            if kind == "ok":
                assert same(out, expected)


def test_a_second_thread_turns_torch_logits_while_masking():
    # Turning the logits in place from another thread is a data race (torch
    # changes sizes and strides without the interpreter's lock), so the
    # values are not promised: only that nothing crashes or reads freed
    # memory, and that errors are ordinary ones. The race runs until both
    # sides have done enough of their work, however they are scheduled.
    logits = torch.arange(9.0).reshape(3, 3)
    mask = torch.tensor([[1.0, 0.0, 1.0], [0.0, 1.0, 1.0], [1.0, 1.0, 0.0]])
    turns = [0]

    def turn():
        logits.t_()
        turns[0] += 1

    calls = 0
    with thread_running(turn):
        while calls < 300 or turns[0] < 300:
            out = outcome(su.apply_mask, (logits, mask))[1]
            assert not isinstance(out, SystemError), repr(out)
            calls += 1


# ---------------------------------------------------------------------------
# Coroutines closed or thrown into by finalizers while they run or wait
# ---------------------------------------------------------------------------


class Yields:
    def __init__(self, n):
        self.n = n

    def __await__(self):
        for _ in range(self.n):
            yield


class Slow(Doubler):
    async def perceive(self, space, sensors):
        await Yields(3)
        return await super().perceive(space, sensors)


def run_by_hand(coro):
    """Drives a coroutine; between two steps it allocates, so collections
    (and their finalizers) come while it waits too."""
    while True:
        _Pad(), _Pad()  # (a collection comes every other allocation)
        try:
            coro.send(None)
        except StopIteration as stop:
            return stop.value


@pytest.mark.parametrize("when", [0, 1, 3, 5])
@pytest.mark.parametrize("what", ["close itself", "close what it awaits", "throw into itself"])
def test_coroutine_closed_or_thrown_into_by_a_finalizer(what, when):
    # `when` counts the collections that find the coroutine waiting; whatever
    # a collection finds it doing, running or waiting, the change is tried.
    spec = ks.SimSensorSpace({"pos": ks.Box(-1, 1, shape=(3,))})
    make = lambda: su.get_kestrelix_space_info(spec, [Sensor("pos")], [Slow("a"), Slow("b")], [Skill("s")])
    expected = run_by_hand(make())
    coro = make()
    waits = iter(range(1 << 30))

    def change():
        target = coro if what != "close what it awaits" else coro.cr_await
        if target is None or (not coro.cr_running and next(waits) != when):
            return
        try:
            if what == "throw into itself":
                target.throw(KeyError("thrown"))
            else:
                target.close()
        except (ValueError, KeyError, RuntimeError):  # it runs; or ends with what it was thrown
            pass

    with collections_running(change, times=1 << 30) as h:
        kind, out = h.call(run_by_hand, coro)
    if kind == "ok":
        assert same(out, expected)
    else:
        assert isinstance(out, (RuntimeError, KeyError)), repr(out)
    assert next(waits) > when  # (it was found waiting at that collection)
    assert coro.cr_await is None and not coro.cr_running
