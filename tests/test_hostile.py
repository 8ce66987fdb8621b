"""Hostile callbacks: Python code that changes the inputs while a call runs.

Collections forced at every allocation run finalizers that resize, reshape
and retype arrays, swap dict entries, clear lists and close coroutines; ABC
hooks, __eq__, __hash__ and __index__ change what is being walked; a second
thread changes the inputs while torch has released the lock. Whatever they
do, a call ends in a Python exception or a correct result: never a crash,
never an error set behind a returned value (SystemError)."""

import collections
import contextlib
import gc
import sys
import threading

import numpy as np
import pytest
import torch
from ray.rllib.utils.nested_dict import NestedDict

import kestrelix_core.spaces as ks
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su


class Hostility:
    """While `active`, each collection runs `action` (at most `times` times):
    every run leaves a new garbage cycle whose finalizer does it again."""

    def __init__(self, action, times):
        self.action, self.left, self.active, self.fired, self.errors = action, times, False, 0, []

    def arm(self):
        _Bomb(self)

    def call(self, fn, *args):
        """fn(*args) with the hostility active: ("ok", result) or ("raised", exc)."""
        self.active = True
        try:
            result = fn(*args)
        except Exception as e:  # a Python exception is a fine outcome, but not this one:
            assert not isinstance(e, SystemError), repr(e)
            return "raised", e
        finally:
            self.active = False
        return "ok", result


class _Bomb:
    def __init__(self, hostility):
        self.hostility, self.cycle = hostility, self

    def __del__(self):
        h = self.hostility
        if h.left <= 0:
            return
        if h.active:
            h.left -= 1
            h.fired += 1
            try:
                h.action()
            except BaseException as e:  # noqa: BLE001 (reported by the test)
                h.errors.append(e)
        if h.left > 0:
            _Bomb(h)


@contextlib.contextmanager
def collections_running(action, times=1):
    """Collections at every allocation, each running `action` inside calls
    made through the yielded Hostility's `call`."""
    h = Hostility(action, times)
    threshold = gc.get_threshold()
    gc.collect()
    h.arm()
    gc.set_threshold(1)
    try:
        yield h
    finally:
        h.left = 0
        gc.set_threshold(*threshold)
        gc.collect()
    assert not h.errors, h.errors


def same(a, b):
    if isinstance(a, torch.Tensor):
        return isinstance(b, torch.Tensor) and a.dtype == b.dtype and a.shape == b.shape and torch.equal(a, b)
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


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
    if target in ("torch", "batch"):
        assert h.fired


# ---------------------------------------------------------------------------
# ABC hooks that change the dict being flattened
# ---------------------------------------------------------------------------


@pytest.fixture
def nested_dict_hook():
    """Sets `hook.action` to run whenever isinstance(<list or tuple>,
    NestedDict) asks NestedDict's subclasses (an ABC's __subclasshook__)."""

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
            if type(obj) is list and len(obj) == 5 and obj[4] == 1 and obj.count(0) == 4:
                type(self).change(obj)
        return True


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda mask: mask.__setitem__(1, "x"), ValueError),
        (lambda mask: mask.__setitem__(1, 3), [1, 3, 0, 0, 1]),
        (lambda mask: mask.append(1), [1, 0, 0, 0, 1, 1]),
        (lambda mask: mask.clear(), IndexError),
    ],
    ids=["not-an-int", "other-int", "longer", "emptied"],
)
def test_selector_mask_list_changed_by_a_callback(change, expected):
    ReachingSkill.change = staticmethod(change)
    skill = ReachingSkill(["a", "b", "c", "d", "e"], fixed_order=True, repeat=True)
    if isinstance(expected, type):
        with pytest.raises(expected):
            su.compute_selector_action_mask(4, skill)
    else:
        out = su.compute_selector_action_mask(4, skill)
        assert out.dtype == np.int8 and out.tolist() == expected
