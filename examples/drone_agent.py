"""The example agent: sensors, a perceptor and two skills under a fixed-order
skill selector, with a small torch policy that is trained to drive the
selector, the gear and the altitude.

Every observation, action and mask on the way between the simulator and the
policy goes through `kestrelix_train.utils.space_utils` (imported as `su`):

    once     get_kestrelix_space_info, filter_space
    per step convert_sim_sensors_to_kestrelix_sensors, filter_sample,
             flatten_object_batch, the policy, unpack_logits,
             compute_selector_action_mask, combine_masks, mask_all_zero,
             apply_mask, unsquash_action_batch (unsquash_action per row),
             action_fits_mask
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt
import torch
from kestrelix_core import spaces
from kestrelix_core.agent.perceptor.perceptor import Perceptor
from kestrelix_core.agent.sensor import Sensor
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from torch import nn

import drone_sim
from kestrelix_train.utils import space_utils as su

LOW_BATTERY = 0.3  # below this the agent forbids itself to boost


# ---------------------------------------------------------------------------
# Sensors, perceptor and skills
# ---------------------------------------------------------------------------


def terrain_level(observation: Mapping[str, Any]) -> float:
    """Mapped sensor: the terrain under the drone, scaled to 0..1."""
    return float(np.asarray(observation["terrain"]).reshape(-1)[0]) / drone_sim.TERRAIN_HIGH


class RangePerceptor(Perceptor):  # type: ignore[misc]
    """Distances from the drone to the pickup and drop-off points, scaled to
    the size of the field."""

    async def perceive(self, space: Any, sensors: Mapping[str, Any]) -> Dict[str, float]:
        position = np.asarray(sensors["position"], dtype=np.float64)
        return {
            "pickup_range": _distance(sensors["pickup"], position) / drone_sim.FIELD,
            "dropoff_range": _distance(sensors["dropoff"], position) / drone_sim.FIELD,
        }


class HeadingSkill:
    """Skill processor that steers towards one point of the observation: its
    value is a unit heading in the space Box(-1, 1, (2,))."""

    def __init__(self, name: str, target_sensor: str) -> None:
        self._name = name
        self._target = target_sensor
        self._space = spaces.Box(-1.0, 1.0, shape=(2,), dtype=np.float32)

    def get_skill_name(self) -> str:
        return self._name

    def get_action_space(self) -> Any:
        return self._space

    async def _execute(self, sensors: Mapping[str, Any]) -> npt.NDArray[np.float32]:
        offset = np.asarray(sensors[self._target], np.float32) - np.asarray(sensors["position"], np.float32)
        norm = float(np.linalg.norm(offset))
        return (offset / norm if norm > 1e-6 else np.zeros(2)).astype(np.float32)


def _distance(a: Any, b: npt.NDArray[np.float64]) -> float:
    return float(np.linalg.norm(np.asarray(a, dtype=np.float64) - b))


# ---------------------------------------------------------------------------
# Policy
# ---------------------------------------------------------------------------


class Policy(nn.Module):
    """A small MLP from the flat observation to the flat logits of the
    agent's action space, plus a learned log standard deviation for the
    continuous part."""

    def __init__(self, observation_size: int, logits_size: int, hidden: int = 64) -> None:
        super().__init__()
        self.net = nn.Sequential(
            nn.Linear(observation_size, hidden),
            nn.Tanh(),
            nn.Linear(hidden, hidden),
            nn.Tanh(),
            nn.Linear(hidden, logits_size),
        )
        self.log_std = nn.Parameter(torch.full((1,), math.log(0.5)))

    def forward(self, observation: torch.Tensor) -> torch.Tensor:
        out: torch.Tensor = self.net(observation)
        return out


class ActionDistribution:
    """Categoricals for the selector and the gear, a normal distribution for
    the altitude (in the policy's range -1..1), over masked logits."""

    def __init__(self, masked: Mapping[str, torch.Tensor], log_std: torch.Tensor) -> None:
        self.skill = torch.distributions.Categorical(logits=masked["skill"])
        self.gear = torch.distributions.Categorical(logits=masked["gear"])
        mean = torch.tanh(masked["altitude"])
        self.altitude = torch.distributions.Normal(mean, log_std.exp().expand_as(mean))

    def sample(self) -> Dict[str, torch.Tensor]:
        return {"skill": self.skill.sample(), "gear": self.gear.sample(), "altitude": self.altitude.sample()}

    def log_prob(self, action: Mapping[str, torch.Tensor]) -> torch.Tensor:
        log_prob: torch.Tensor = (
            self.skill.log_prob(action["skill"])
            + self.gear.log_prob(action["gear"])
            + self.altitude.log_prob(action["altitude"]).sum(-1)
        )
        return log_prob

    def entropy(self) -> torch.Tensor:
        """Of the discrete parts (the altitude's spread is learned freely)."""
        entropy: torch.Tensor = self.skill.entropy() + self.gear.entropy()
        return entropy


# ---------------------------------------------------------------------------
# The agent
# ---------------------------------------------------------------------------

NumpyMask = Dict[str, npt.NDArray[np.int8]]


@dataclass
class StepDecision:
    """What the agent decided for a batch of observations."""

    observation: torch.Tensor  # [n, observation size], flat
    masks: Dict[str, torch.Tensor]  # per action part, [n, width], 1 allowed / 0 forbidden
    actions: Dict[str, torch.Tensor]  # raw policy actions per part
    sim_actions: List[Dict[str, Any]]  # ready for the simulator
    skills: List[int]  # the selector's choice per observation


class DroneAgent:
    """Sensors, a perceptor and two skills under a fixed-order selector.

    The skill being trained, "courier", drives the selector (which child skill
    steers the drone), the gear and the altitude. The selector may keep its
    current child or move on to the next one, never back: once it hands over
    to "deliver" it cannot fetch again, so handing over before the parcel is
    on board loses the episode."""

    # what the courier skill observes of the enriched space
    observation_keys = ["carrying", "battery", "terrain_level", "pickup_range", "dropoff_range", "fetch", "deliver"]

    def __init__(self) -> None:
        self.sensor_space_spec = drone_sim.sensor_space_spec()
        # five sensors read straight from the simulator, one computed from the whole observation
        self.sensors = [
            Sensor("position"),
            Sensor("pickup"),
            Sensor("dropoff"),
            Sensor("carrying"),
            Sensor("battery"),
            Sensor("terrain_level", terrain_level),
        ]
        self.perceptors = [RangePerceptor("ranges")]
        self.skill_processors = [HeadingSkill("fetch", "pickup"), HeadingSkill("deliver", "dropoff")]
        self.selector = SkillSelector(["fetch", "deliver"], fixed_order=True, repeat=False)
        self.action_space = spaces.Dict(
            {
                "skill": spaces.Discrete(2),
                "gear": spaces.Discrete(len(drone_sim.GEARS)),
                "altitude": spaces.Box(drone_sim.ALTITUDE_LOW, drone_sim.ALTITUDE_HIGH, shape=(1,), dtype=np.float32),
            }
        )
        self.enriched_space: Any = None
        self.observation_space: Any = None

    async def setup(self) -> None:
        """Builds the enriched observation space and cuts it down to the keys
        of the skill being trained."""
        self.enriched_space = await su.get_kestrelix_space_info(
            self.sensor_space_spec, self.sensors, self.perceptors, self.skill_processors
        )
        self.observation_space = su.filter_space(self.enriched_space, self.observation_keys)

    @property
    def observation_size(self) -> int:
        return int(self.observation_space.size)

    @property
    def logits_size(self) -> int:
        return int(self.action_space.size)

    def make_policy(self) -> Policy:
        return Policy(self.observation_size, self.logits_size)

    async def sense(self, sim_observation: Dict[str, Any]) -> Dict[str, Any]:
        """The agent's sensor values for one simulator observation."""
        values: Dict[str, Any] = await su.convert_sim_sensors_to_kestrelix_sensors(
            sim_observation, self.sensor_space_spec, self.sensors, self.perceptors, self.skill_processors
        )
        return values

    def action_mask(self, sim_mask: NumpyMask, battery: float, previous_skill: Optional[int]) -> NumpyMask:
        """The mask of the courier's action: the selector's mask, the
        simulator's gear mask combined with the agent's own rule, and the
        continuous altitude, which is never masked."""
        selector_mask = np.asarray(su.compute_selector_action_mask(previous_skill, self.selector), np.int8)
        own = {"gear": np.array([1, 1, 0 if battery < LOW_BATTERY else 1], dtype=np.int8)}
        gear = su.combine_masks(sim_mask, own)
        if su.mask_all_zero(gear):
            # the agent's own rule never leaves it without a choice
            gear = sim_mask
        return {"skill": selector_mask, "gear": gear["gear"], "altitude": np.ones(1, dtype=np.int8)}

    def distribution(
        self, policy: Policy, observation: torch.Tensor, masks: Dict[str, torch.Tensor]
    ) -> ActionDistribution:
        """Flat logits, unpacked into the action space and masked."""
        logits = policy(observation)
        parts = su.unpack_logits(logits, self.action_space)
        masked = su.apply_mask(parts, masks)
        return ActionDistribution(masked, policy.log_std)

    async def act(
        self,
        policy: Policy,
        sim_observations: Sequence[Dict[str, Any]],
        sim_masks: Sequence[NumpyMask],
        previous_skills: Sequence[Optional[int]],
    ) -> StepDecision:
        """One step for a batch of simulator observations (one per running
        episode): sense, filter, flatten, decide, unsquash, check."""
        samples = []
        heading_options = []
        masks = []
        for sim_observation, sim_mask, previous in zip(sim_observations, sim_masks, previous_skills):
            values = await self.sense(sim_observation)
            samples.append(su.filter_sample(values, self.observation_keys))
            heading_options.append([values[name] for name in self.selector.get_children_names()])
            masks.append(self.action_mask(sim_mask, float(values["battery"]), previous))

        observation = su.flatten_object_batch(_stack(samples)).to(torch.float32)
        mask_batch = {key: torch.from_numpy(np.stack([m[key] for m in masks])).float() for key in masks[0]}
        with torch.no_grad():
            actions = self.distribution(policy, observation, mask_batch).sample()

        unsquashed = su.unsquash_action_batch(actions, dict(self.action_space.spaces))
        sim_actions = []
        skills = []
        for row, (mask, headings) in enumerate(zip(masks, heading_options)):
            action = {key: unsquashed[key][row] for key in unsquashed}
            if not su.action_fits_mask(action, mask, self.action_space):
                raise RuntimeError(f"the policy chose a forbidden action: {action} under the mask {mask}")
            skill = int(action["skill"])
            skills.append(skill)
            sim_actions.append(
                {"gear": int(action["gear"]), "heading": headings[skill], "altitude": action["altitude"]}
            )
        return StepDecision(observation, mask_batch, actions, sim_actions, skills)


def _stack(samples: Sequence[Mapping[str, Any]]) -> Dict[str, npt.NDArray[Any]]:
    """One batch out of several samples of the same keys: [n, features] per key."""
    n = len(samples)
    return {key: np.stack([np.asarray(s[key]) for s in samples]).reshape(n, -1) for key in samples[0]}
