"""A small parcel-delivery simulator for the example agent.

A drone flies over a 10 x 10 field: it has to reach a pickup point, collect a
parcel there, and carry it to a drop-off point, while holding a safe altitude
above the terrain and keeping an eye on its battery. The simulator needs only
numpy and the core library's spaces.

Observation (a dict of sensors, as the simulator's sensor space declares it):
    position, pickup, dropoff, wind   vectors of two float32 values
    carrying, battery, terrain        scalars (Python floats)

Action (a dict): a discrete part and two continuous parts
    gear       Discrete(3): slow, cruise or boost
    heading    Box(-1, 1, (2,)): flight direction
    altitude   Box(20, 120, (1,)): flight altitude in metres

Action mask: each step the simulator forbids one gear. In a gust boosting is
forbidden; in calm air flying slowly is (the corridor has a minimum speed).
Cruise is always allowed. A forbidden gear that is sent anyway is counted in
`forbidden_actions` and flown as cruise.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, Tuple

import numpy as np
import numpy.typing as npt
from kestrelix_core import spaces

FloatArray = npt.NDArray[np.float32]
Mask = Dict[str, npt.NDArray[np.int8]]
Observation = Dict[str, Any]

FIELD = 10.0
GEARS = ("slow", "cruise", "boost")
GEAR_SPEED = (0.3, 0.6, 1.0)
GEAR_DRAIN = (0.004, 0.008, 0.02)
ALTITUDE_LOW, ALTITUDE_HIGH = 20.0, 120.0
CLEARANCE = 30.0  # safe height above the terrain
TERRAIN_HIGH = 60.0
REACH = 0.6  # distance at which a parcel is collected or handed over
GUST_PROBABILITY = 0.3

# rewards
STEP_COST = 0.01
PROGRESS_REWARD = 0.1  # per unit of distance gained on the current target
PICKUP_REWARD = 0.5
DELIVERY_REWARD = 1.0
EMPTY_BATTERY_PENALTY = 1.0
ALTITUDE_PENALTY = 0.002  # per metre off the safe altitude, per step


def terrain_height(position: FloatArray) -> float:
    """Height of the ground (0 to 60 m) under a point of the field."""
    x, y = float(position[0]), float(position[1])
    return 30.0 + 25.0 * math.sin(0.6 * x) * math.cos(0.4 * y)


def sensor_space_spec() -> spaces.SimSensorSpace:
    """The simulator's sensor space: one space per sensor, keyed by name."""
    vec = dict(shape=(2,), dtype=np.float32)
    one = dict(shape=(1,), dtype=np.float32)
    return spaces.SimSensorSpace(
        {
            "position": spaces.Box(0.0, FIELD, **vec),
            "pickup": spaces.Box(0.0, FIELD, **vec),
            "dropoff": spaces.Box(0.0, FIELD, **vec),
            "wind": spaces.Box(-1.0, 1.0, **vec),
            "carrying": spaces.Box(0.0, 1.0, **one),
            "battery": spaces.Box(0.0, 1.0, **one),
            "terrain": spaces.Box(0.0, TERRAIN_HIGH, **one),
        }
    )


def action_space() -> spaces.Dict:
    return spaces.Dict(
        {
            "gear": spaces.Discrete(len(GEARS)),
            "heading": spaces.Box(-1.0, 1.0, shape=(2,), dtype=np.float32),
            "altitude": spaces.Box(ALTITUDE_LOW, ALTITUDE_HIGH, shape=(1,), dtype=np.float32),
        }
    )


@dataclass
class EpisodeStats:
    episode_return: float = 0.0
    steps: int = 0
    picked_up: bool = False
    delivered: bool = False
    battery_empty: bool = False


class DroneDeliverySim:
    """One drone, one parcel per episode. `reset()` and `step()` return the
    observation, the action mask for the next step and (for `step`) the
    reward and whether the episode is over."""

    def __init__(self, seed: int = 0, max_steps: int = 40) -> None:
        self.rng = np.random.default_rng(seed)
        self.max_steps = max_steps
        self.forbidden_actions = 0
        self.stats = EpisodeStats()
        self._position = np.zeros(2, np.float32)
        self._pickup = np.zeros(2, np.float32)
        self._dropoff = np.zeros(2, np.float32)
        self._wind = np.zeros(2, np.float32)
        self._carrying = False
        self._battery = 1.0
        self._gust = False
        self._done = True

    # -- episode ------------------------------------------------------------

    def reset(self) -> Tuple[Observation, Mask]:
        self._position, self._pickup, self._dropoff = self._point(), self._point(), self._point()
        while np.linalg.norm(self._pickup - self._position) < 3.0:
            self._pickup = self._point()
        while np.linalg.norm(self._dropoff - self._pickup) < 3.0:
            self._dropoff = self._point()
        self._carrying = False
        self._battery = float(self.rng.uniform(0.35, 1.0))
        self._done = False
        self.stats = EpisodeStats()
        self._weather()
        return self._observation(), self.action_mask()

    def step(self, action: Dict[str, Any]) -> Tuple[Observation, Mask, float, bool]:
        if self._done:
            raise RuntimeError("step() called on a finished episode; call reset() first")
        gear = int(action["gear"])
        if not 0 <= gear < len(GEARS):
            raise ValueError(f"gear must be 0 to {len(GEARS) - 1}, got {gear}")
        if self.action_mask()["gear"][gear] != 1:
            self.forbidden_actions += 1
            gear = GEARS.index("cruise")

        heading = np.asarray(action["heading"], dtype=np.float32).reshape(2)
        norm = float(np.linalg.norm(heading))
        if norm > 1.0:
            heading = heading / norm
        altitude = float(np.asarray(action["altitude"], dtype=np.float64).reshape(-1)[0])

        before = self._distance_to_target()
        drift = 0.05 * self._wind
        self._position = np.clip(self._position + GEAR_SPEED[gear] * heading + drift, 0.0, FIELD)
        self._position = self._position.astype(np.float32)
        self._battery = max(0.0, self._battery - GEAR_DRAIN[gear])

        reward = -STEP_COST + PROGRESS_REWARD * (before - self._distance_to_target())
        safe = terrain_height(self._position) + CLEARANCE
        reward -= ALTITUDE_PENALTY * abs(altitude - safe)

        if not self._carrying and np.linalg.norm(self._pickup - self._position) < REACH:
            self._carrying = True
            self.stats.picked_up = True
            reward += PICKUP_REWARD
        elif self._carrying and np.linalg.norm(self._dropoff - self._position) < REACH:
            self.stats.delivered = True
            reward += DELIVERY_REWARD
            self._done = True
        if not self._done and self._battery <= 0.0:
            self.stats.battery_empty = True
            reward -= EMPTY_BATTERY_PENALTY
            self._done = True
        self.stats.steps += 1
        if self.stats.steps >= self.max_steps:
            self._done = True
        self.stats.episode_return += reward

        self._weather()
        return self._observation(), self.action_mask(), reward, self._done

    def action_mask(self) -> Mask:
        """1 allows a gear, 0 forbids it, for the coming step."""
        if self._gust:
            return {"gear": np.array([1, 1, 0], dtype=np.int8)}
        return {"gear": np.array([0, 1, 1], dtype=np.int8)}

    # -- internals ----------------------------------------------------------

    def _point(self) -> FloatArray:
        return self.rng.uniform(0.5, FIELD - 0.5, 2).astype(np.float32)

    def _distance_to_target(self) -> float:
        target = self._dropoff if self._carrying else self._pickup
        return float(np.linalg.norm(target - self._position))

    def _weather(self) -> None:
        self._gust = bool(self.rng.random() < GUST_PROBABILITY)
        strength = 1.0 if self._gust else 0.3
        self._wind = (strength * self.rng.uniform(-1.0, 1.0, 2)).astype(np.float32)

    def _observation(self) -> Observation:
        return {
            "position": self._position.copy(),
            "pickup": self._pickup.copy(),
            "dropoff": self._dropoff.copy(),
            "wind": self._wind.copy(),
            "carrying": 1.0 if self._carrying else 0.0,
            "battery": self._battery,
            "terrain": terrain_height(self._position),
        }
