"""Checks of the local core-library stand-in that the extension module relies on."""
from collections import OrderedDict

import numpy as np
import pytest

from kestrelix_core import spaces as S
from kestrelix_core.agent.sensor import Sensor
from kestrelix_core.utils import sensor_util

INF_BOX = dict(low=-np.inf, high=np.inf)


def _nested():
    inner = S.Dict({"z": S.Box(shape=(2, 3), **INF_BOX), "a": S.MultiDiscrete([3, 2])})
    return S.Tuple((S.Discrete(4), inner, S.MultiBinary(5)))


@pytest.mark.parametrize(
    "space, size",
    [
        (S.Box(shape=(2, 3), **INF_BOX), 6),
        (S.Box(shape=(), **INF_BOX), 1),
        (S.Box(shape=(0,), **INF_BOX), 0),
        (S.Discrete(5), 5),
        (S.MultiDiscrete([3, 2, 4]), 9),
        (S.MultiBinary([2, 3]), 6),
        (S.Tuple((S.Discrete(2), S.Box(shape=(3,), **INF_BOX))), 5),
        (S.Dict({"b": S.Discrete(2), "a": S.MultiBinary(3)}), 5),
        (_nested(), 4 + (6 + 5) + 5),
    ],
)
def test_size_is_flat_logits_width(space, size):
    assert space.size == size
    assert type(space.size) is int
    # a member's flat slice is reshaped to its shape, so the two must agree
    assert int(np.prod(space.shape)) == size


def test_dict_keeps_insertion_order_of_plain_dict():
    d = S.Dict({"zeta": S.Discrete(2), "alpha": S.Discrete(3), "mid": S.Discrete(4)})
    d["beta"] = S.Discrete(5)
    assert list(d) == ["zeta", "alpha", "mid", "beta"]
    assert list(d.spaces) == ["zeta", "alpha", "mid", "beta"]
    assert list(d.sample()) == ["zeta", "alpha", "mid", "beta"]
    assert d.size == 14


@pytest.mark.parametrize("key, expected", [("a", True), ("b", True), ("c", False)])
def test_dict_in_tests_keys(key, expected):
    d = S.Dict({"a": S.Discrete(2), "b": S.Dict({"c": S.Discrete(2)})})
    assert (key in d) is expected


def test_nested_dict_membership_of_samples_still_works():
    d = S.Dict({"outer": S.Dict({"x": S.Discrete(3)}), "md": S.MultiDiscrete([3, 2])})
    assert d.contains(d.sample())
    assert not d.contains({"outer": {"x": 7}, "md": np.array([0, 0])})


def test_multidiscrete_index_gives_own_discrete():
    md = S.MultiDiscrete([3, 2])
    subs = [md[0], md[1]]
    assert all(isinstance(s, S.Discrete) for s in subs)
    assert [s.n for s in subs] == [3, 2]
    assert md.contains(np.array([2, 1])) and not md.contains(np.array([3, 0]))


@pytest.fixture
def sim_space():
    return S.SimSensorSpace(
        {
            "speed": S.Box(shape=(1,), **INF_BOX),
            "gear": S.Discrete(4),
            "pos": S.Box(shape=(3,), **INF_BOX),
        }
    )


def test_sim_space_sample_is_laid_out_like_sim_values(sim_space):
    sample = sim_space.sample()
    assert list(sample) == ["speed", "gear", "pos"]
    assert sample["pos"].shape == (3,)


def test_sim_space_convert_follows_sensor_order(sim_space):
    sensors = [Sensor("pos"), Sensor("speed")]
    space = sim_space.convert_to_kestrelix_space(sensors)
    assert isinstance(space, S.Dict)
    assert list(space) == ["pos", "speed"]
    assert space["pos"] is sim_space["pos"]
    # the result takes further entries without touching the sensor space
    space["extra"] = S.Box(shape=(1,), **INF_BOX)
    assert "extra" not in sim_space


def test_sim_space_sample_as_sensors(sim_space):
    sim = OrderedDict(speed=np.array([1.5]), gear=2, pos=np.zeros(3))
    values = sim_space.get_sample_as_kestrelix_sensors(sim, [Sensor("gear"), Sensor("speed")])
    assert type(values) is dict
    assert list(values) == ["gear", "speed"]
    assert values["speed"] is sim["speed"] and values["gear"] == 2


@pytest.mark.parametrize(
    "sensor, expected",
    [
        (Sensor("speed"), 3.0),
        (Sensor("double", lambda obs: obs["speed"] * 2), 6.0),
    ],
)
def test_sensor_sense(sensor, expected):
    assert sensor.sense({"speed": 3.0}) == expected


def test_sensor_util_splits_in_order():
    a, b, c, d = Sensor("a"), Sensor("b", len), Sensor("c"), Sensor("d", len)
    assert sensor_util.get_unmapped_sensors([a, b, c, d]) == [a, c]
    assert sensor_util.get_mapped_sensors([a, b, c, d]) == [b, d]
