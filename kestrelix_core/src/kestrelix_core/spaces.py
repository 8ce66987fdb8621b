"""Observation and action spaces of the agent platform.

The classes extend the gymnasium spaces with `size`, the width that a space
takes in a flat logits vector. For the discrete and composite spaces `shape`
is the shape of those flat logits, `(size,)`, so that the product of `shape`
equals `size` for every space; `Box` and `MultiBinary` keep their own shape,
whose product already is their size.
"""
from __future__ import annotations

from collections import OrderedDict
from collections.abc import Mapping
from typing import Any, Iterable

import gymnasium.spaces as gym_spaces
import numpy as np

__all__ = [
    "Space",
    "Box",
    "Discrete",
    "MultiDiscrete",
    "MultiBinary",
    "Tuple",
    "Dict",
    "SimSensorSpace",
]


class Space(gym_spaces.Space):
    """Common base of the platform's spaces."""

    @property
    def size(self) -> int:
        """Number of entries the space takes in a flat logits vector."""
        raise NotImplementedError


class Box(gym_spaces.Box, Space):
    @property
    def size(self) -> int:
        return int(np.prod(self.shape, dtype=np.int64))


class MultiBinary(gym_spaces.MultiBinary, Space):
    @property
    def size(self) -> int:
        return int(np.prod(self.shape, dtype=np.int64))


class Discrete(gym_spaces.Discrete, Space):
    @property
    def size(self) -> int:
        # one logit per choice
        return int(self.n)

    @property
    def shape(self) -> tuple[int, ...]:
        return (self.size,)


class MultiDiscrete(gym_spaces.MultiDiscrete, Space):
    @property
    def size(self) -> int:
        # each sub-choice takes nvec[i] logits
        return int(np.sum(self.nvec))

    @property
    def shape(self) -> tuple[int, ...]:
        return (self.size,)

    def contains(self, x: Any) -> bool:
        # samples keep the shape of nvec, not the flat logits shape
        if isinstance(x, (list, tuple)):
            x = np.array(x)
        return bool(
            isinstance(x, np.ndarray)
            and x.shape == self.nvec.shape
            and x.dtype != object
            and np.all(0 <= x)
            and np.all(x < self.nvec)
        )

    def __getitem__(self, index):
        nvec = self.nvec[index]
        if nvec.ndim == 0:
            subspace = Discrete(nvec)
        else:
            subspace = MultiDiscrete(nvec, self.dtype)
        subspace.np_random.bit_generator.state = self.np_random.bit_generator.state
        return subspace


class Tuple(gym_spaces.Tuple, Space):
    @property
    def size(self) -> int:
        return sum(space.size for space in self.spaces)

    @property
    def shape(self) -> tuple[int, ...]:
        return (self.size,)


class Dict(gym_spaces.Dict, Space):
    """Dictionary of spaces that keeps the insertion order of its keys.

    `key in space` tests the keys, as for a dict; `contains()` still tests
    whether a value is a member of the space.
    """

    def __init__(self, spaces=None, seed=None, **spaces_kwargs):
        # the base class sorts the keys of anything but an OrderedDict
        if isinstance(spaces, Mapping) and not isinstance(spaces, OrderedDict):
            spaces = OrderedDict(spaces.items())
        super().__init__(spaces, seed, **spaces_kwargs)

    @property
    def size(self) -> int:
        return sum(space.size for space in self.spaces.values())

    @property
    def shape(self) -> tuple[int, ...]:
        return (self.size,)

    def __contains__(self, key: Any) -> bool:
        return key in self.spaces

    def contains(self, x: Any) -> bool:
        return bool(
            isinstance(x, dict)
            and x.keys() == self.spaces.keys()
            and all(space.contains(x[key]) for key, space in self.spaces.items())
        )


class SimSensorSpace(Dict):
    """The simulator's sensor space: one space per sensor, keyed by sensor name.

    `sample()` gives a value laid out like the simulator's sensor values.
    """

    def convert_to_kestrelix_space(self, sensors: Iterable[Any]) -> Dict:
        """The spaces of the given (unmapped) sensors, in the sensors' order."""
        return Dict({sensor.name: self.spaces[sensor.name] for sensor in sensors})

    def get_sample_as_kestrelix_sensors(self, sim_sensors: Mapping, sensors: Iterable[Any]) -> dict:
        """The simulator values of the given (unmapped) sensors, keyed by name."""
        return {sensor.name: sim_sensors[sensor.name] for sensor in sensors}
