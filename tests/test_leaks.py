"""Repeated calls leave reference counts and traced memory flat, on success and on error paths."""

import collections
import contextlib
import gc
import sys
import tracemalloc

import numpy as np
import pytest
import torch
from ray.rllib.utils.nested_dict import NestedDict

import kestrelix_core.spaces as ks
from kestrelix_core.agent.perceptor.perceptor import Perceptor
from kestrelix_core.agent.sensor import Sensor
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su


class _Null:
    def write(self, s):
        return len(s)

    def flush(self):
        pass


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


class Skill:
    def __init__(self, name):
        self.name = name

    def get_skill_name(self):
        return self.name

    def get_action_space(self):
        return ks.Discrete(3)

    async def _execute(self, sensors):
        return len(sensors)


SPACE = ks.SimSensorSpace({"pos": ks.Box(-1, 1, shape=(3,)), "vel": ks.Box(-1, 1, shape=(2,))})
SENSORS = [Sensor("pos"), Sensor("vel"), Sensor("speed", lambda obs: float(np.abs(obs["vel"]).sum()))]
PERCEPTORS = [Doubler("a"), Doubler("b")]
SKILLS = [Skill("left"), Skill("right")]
OBS = collections.OrderedDict(pos=np.zeros(3, np.float32), vel=np.ones(2, np.float32))

NESTED = {"a": np.arange(4.0), "b": (np.ones((2, 2)), [np.zeros(3)]), "c": {"d": np.ones(1)}}
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


def raises(fn, *args):
    def call():
        try:
            fn(*args)
        except Exception:
            pass
        else:  # pragma: no cover - the case is meant to fail
            raise AssertionError("expected an error")

    return call


CASES = {
    "sensor_to_array": lambda: su._convert_sensor_to_numpy_array({"a": 1, "b": np.zeros(2), "c": np.float64(3)}),
    "value_to_space": lambda: su._convert_value_to_gym_space({"a": 1, "b": np.zeros((2, 2))}),
    "value_to_space_error": raises(su._convert_value_to_gym_space, {"a": [1]}),
    "space_info": lambda: drive(su.get_kestrelix_space_info(SPACE, SENSORS, PERCEPTORS, SKILLS)),
    "sim_to_sensors": lambda: drive(su.convert_sim_sensors_to_kestrelix_sensors(OBS, SPACE, SENSORS, PERCEPTORS,
                                                                               SKILLS)),
    "unawaited_coroutine": lambda: su._get_perceptor_space([], SPACE).close(),
    "type_check_error": raises(su.filter_sample, collections.OrderedDict(), []),
    "filter_space": lambda: su.filter_space(ks.Dict({"a": ks.Discrete(2), "b": ks.Discrete(3)}), ["b"]),
    "filter_sample": lambda: su.filter_sample({"a": 1, "b": 2}, ["a"]),
    "flatten_unknown": lambda: su._flatten_unknown(ks.Tuple([ks.Discrete(2)] * 2), (np.ones(2), np.zeros(3))),
    "flatten_numpy": lambda: su.flatten_object_numpy(NESTED),
    "flatten_numpy_nested_dict": lambda: su.flatten_object_numpy(NestedDict({"a": np.ones(2), "b": np.zeros(1)})),
    "flatten_numpy_error": raises(su.flatten_object_numpy, {"a": np.ones(2), "b": 3.0}),
    "flatten_torch": lambda: su.flatten_object_torch(NESTED_T),
    "flatten_torch_from_numpy": lambda: su.flatten_object_torch(NESTED),
    "flatten_batch": lambda: su.flatten_object_batch(BATCH),
    "make_np_array": lambda: su.make_np_array({"a": [1, 2], "b": (3, np.zeros(2))}),
    "unsquash": lambda: su.unsquash_action((1, np.array([0.5, -0.5], np.float32)), ACT_SPACE),
    "unsquash_batch": lambda: su.unsquash_action_batch({"aim": torch.zeros(3, 2)}, DICT_SPACE),
    "unpack_logits": lambda: su.unpack_logits(torch.zeros(4, 3 + 2), ks.Tuple([ks.Discrete(3), ks.Discrete(2)])),
    "unpack_logits_dict": lambda: su.unpack_logits(torch.zeros(2, 7), DICT_SPACE),
    "selector_mask": lambda: su.compute_selector_action_mask(1, SELECTOR),
    "fits_mask": lambda: su.action_fits_mask((1, None), (np.array([0, 1, 1]), None), ACT_SPACE),
    "fits_mask_error": raises(su.action_fits_mask, 1, [1], None),
    "combine": lambda: su.combine_masks(MASK, MASK),
    "combine_torch": lambda: su.combine_masks(MASK_T, MASK_T),
    "combine_error": raises(su.combine_masks, {"a": np.ones(1)}, {"b": np.ones(1)}),
    "all_zero": lambda: su.mask_all_zero(MASK),
    "all_zero_torch": lambda: su.mask_all_zero(MASK_T),
    "apply_torch": lambda: su.apply_mask(LOGITS_T, MASK_T),
    "apply_numpy": lambda: su.apply_mask(LOGITS_NP, MASK),
    "apply_numpy_mask_torch_logits": lambda: su.apply_mask(LOGITS_T, MASK_COPIED),
    "apply_torch_mask_numpy_logits": lambda: su.apply_mask(LOGITS_NP, MASK_T_COPIED),
    # error paths whose messages do not make numpy format arrays (numpy's
    # printing keeps caches of its own that would blur the measure)
    "apply_conversion_error": raises(su.apply_mask, "ab", 5),
    "apply_keys_error": raises(su.apply_mask, {"x": np.zeros(3)}, {"y": np.ones(3)}),
}


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_do_not_leak(name, monkeypatch):
    fn = CASES[name]
    # make_np_array's trace lines would have numpy format arrays on every
    # call, and numpy's printing keeps caches of its own: measure the module.
    monkeypatch.setattr(su, "print", lambda *args: None, raising=False)
    watched = [SPACE, OBS, NESTED, NESTED_T, BATCH, MASK, MASK_T, MASK_COPIED, MASK_T_COPIED, LOGITS_T, ACT_SPACE,
               DICT_SPACE, SELECTOR, MASK_COPIED["x"], *MASK_COPIED["y"], *SENSORS, *PERCEPTORS, *SKILLS,
               *NESTED.values(), *MASK.values()]
    with contextlib.redirect_stdout(_Null()):
        for _ in range(300):  # warm caches (interned names, numpy/torch internals)
            fn()
        gc.collect()
        refs_before = [sys.getrefcount(o) for o in watched]
        objects_before = len(gc.get_objects())
        tracemalloc.start()
        growth = []
        try:
            for _ in range(200):
                fn()
            rounds = 1000
            for _phase in range(3):
                gc.collect()
                base, _ = tracemalloc.get_traced_memory()
                for _ in range(rounds):
                    fn()
                gc.collect()
                after, _ = tracemalloc.get_traced_memory()
                growth.append((after - base) / rounds)
        finally:
            tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs_before
    assert len(gc.get_objects()) - objects_before < 50
    # A leak of even one small object per call shows as >= 16 bytes per call
    # in every phase; caches that numpy or torch fill once do not repeat.
    assert min(growth) < 4, f"bytes per call in three phases: {growth}"
