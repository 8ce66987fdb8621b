"""The example drone trained with RLlib's PPO (the new API stack: an RLModule,
connector pipelines, env runners and a learner), torch, on Ray.

    python examples/train_drone.py --engine rllib --workers 2

The same simulator, agent and skills as the example's own learner, with the
module on the same road:

    DroneEnv (each env runner)   convert_sim_sensors_to_kestrelix_sensors and
                                 filter_sample per step, on an event loop that
                                 lives as long as the environment; the
                                 observation space is get_kestrelix_space_info
                                 cut down by filter_space
    DroneModule (env runners     flatten_object_batch, the policy,
    and the learner)             unpack_logits, the action mask
                                 (compute_selector_action_mask, combine_masks,
                                 mask_all_zero) and apply_mask
    DroneActionDistribution      unpack_logits cuts the distribution inputs
                                 into the action space's structure
    DroneActions (module-to-env  unsquash_action_batch, and action_fits_mask
    connector piece)             for every action before it goes to the env

The learner runs in this process on the CPU (RLlib's PPO loss, KL term
included); it counts every gradient that is not finite. This module imports
Ray, so train_drone.py imports it only when this engine is chosen; each env
runner (a Ray actor) imports it, and the package, by itself.
"""

from __future__ import annotations

import asyncio
import dataclasses
import importlib
import logging
import os
import sys
import time
from collections import OrderedDict
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, TextIO, cast

import gymnasium
import numpy as np
import torch
from kestrelix_core import spaces
from torch import nn
from tqdm import tqdm

import drone_sim
import train_drone
from drone_agent import DroneAgent
from drone_sim import EpisodeStats
from kestrelix_train.utils import space_utils as su

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
# Ray is optional (imported by name, so that type checks pass without it)
ray: Any = importlib.import_module("ray")
Columns: Any = importlib.import_module("ray.rllib.core.columns").Columns
_rl_module: Any = importlib.import_module("ray.rllib.core.rl_module.rl_module")
_torch_rl_module: Any = importlib.import_module("ray.rllib.core.rl_module.torch")
_value_function_api: Any = importlib.import_module("ray.rllib.core.rl_module.apis.value_function_api")
_distributions: Any = importlib.import_module("ray.rllib.core.distribution.torch.torch_distribution")
_connectors: Any = importlib.import_module("ray.rllib.connectors.connector_v2")
_module_to_env: Any = importlib.import_module("ray.rllib.connectors.module_to_env")
_ppo: Any = importlib.import_module("ray.rllib.algorithms.ppo")
_ppo_learner: Any = importlib.import_module("ray.rllib.algorithms.ppo.torch.ppo_torch_learner")
_env_runner: Any = importlib.import_module("ray.rllib.env.single_agent_env_runner")

DEFAULT_MODULE_ID = "default_policy"
MASKED_PARTS = ("skill", "gear", "altitude")

# What the policy network puts out, cut by unpack_logits: the selector's and
# the gear's logits and the altitude's mean (before tanh).
POLICY_OUTPUT_SPACE = spaces.Dict(
    {
        "skill": spaces.Discrete(2),
        "gear": spaces.Discrete(len(drone_sim.GEARS)),
        "altitude": spaces.Box(-np.inf, np.inf, shape=(1,), dtype=np.float32),
    }
)
# The action distribution's inputs: the masked logits, and the altitude's
# mean and log standard deviation side by side.
DISTRIBUTION_INPUT_SPACE = spaces.Dict(
    {
        "skill": spaces.Discrete(2),
        "gear": spaces.Discrete(len(drone_sim.GEARS)),
        "altitude": spaces.Box(-np.inf, np.inf, shape=(2,), dtype=np.float32),
    }
)


@dataclasses.dataclass
class PPOSettings:
    """PPO's own settings for the drone (the learning rate is the
    example's --lr; the rest are RLlib's defaults, the KL term of the loss
    among them)."""

    minibatch_size: int = 128
    num_epochs: int = 8
    lambda_: float = 0.95
    entropy_coeff: float = 0.01
    vf_loss_coeff: float = 0.5
    hidden: int = 64
    initial_std: float = 0.5  # of the altitude, in the policy's range -1..1


# ---------------------------------------------------------------------------
# What each process saw (an env runner's episodes and checks, drained by the
# driver after each iteration)
# ---------------------------------------------------------------------------


@dataclasses.dataclass
class RoadLog:
    episodes: List[EpisodeStats] = dataclasses.field(default_factory=list)
    forbidden_actions: int = 0  # counted by the simulators
    checked_actions: int = 0  # tested with action_fits_mask
    traces: List[train_drone.TraceLog] = dataclasses.field(default_factory=list)


ROAD = RoadLog()


def drain(runner: Any = None) -> Dict[str, Any]:
    """This process's episodes and counts since the last call."""
    report = {
        "episodes": ROAD.episodes,
        "forbidden_actions": ROAD.forbidden_actions,
        "checked_actions": ROAD.checked_actions,
        "trace_lines": sum(trace.lines for trace in ROAD.traces),
        "trace_files": [trace.path for trace in ROAD.traces],
        "module": su.__file__,
        "cpu": time.process_time(),  # this process's, since it started
    }
    ROAD.episodes, ROAD.forbidden_actions, ROAD.checked_actions = [], 0, 0
    return report


# ---------------------------------------------------------------------------
# The simulator as a gymnasium environment
# ---------------------------------------------------------------------------


def as_gymnasium(space: Any) -> Any:
    """A core-library space rebuilt from gymnasium's own classes, in the same
    key order."""
    if isinstance(space, gymnasium.spaces.Dict):
        return gymnasium.spaces.Dict(OrderedDict((key, as_gymnasium(sub)) for key, sub in space.spaces.items()))
    if isinstance(space, gymnasium.spaces.Discrete):
        return gymnasium.spaces.Discrete(int(space.n))
    if isinstance(space, gymnasium.spaces.Box):
        return gymnasium.spaces.Box(space.low, space.high, space.shape, cast(Any, space.dtype))
    raise NotImplementedError(f"no gymnasium space for {space}")


class DroneEnv(gymnasium.Env):  # type: ignore[type-arg]
    """The delivery simulator behind the agent's sensors. The observation is
    what the module makes of the simulator's values (the courier skill's cut
    of the agent's sensor values), the simulator's gear mask and the
    selector's previous choice (-1 before the first); the action is the
    courier's (skill, gear, altitude), and the chosen skill's heading is
    flown."""

    def __init__(self, env_config: Optional[Mapping[str, Any]] = None) -> None:
        # RLlib passes an EnvContext: the settings, and which env runner this is
        worker = int(getattr(env_config, "worker_index", 0) or 0)
        env_config = dict(env_config or {})
        self._loop = asyncio.new_event_loop()
        if not env_config.get("trace", True):
            train_drone.silence_trace()
        output = Path(env_config.get("output", train_drone.DEFAULT_OUTPUT))
        name = "trace.log" if worker == 0 else f"trace.runner{worker}.log"
        self._trace = train_drone.TraceLog(output / name, int(env_config.get("trace_max_bytes", 4 << 20)))
        ROAD.traces.append(self._trace)
        self.agent = DroneAgent()
        self._run(self.agent.setup())
        self.sim = drone_sim.DroneDeliverySim(
            seed=int(env_config.get("seed", 0)) * 100_003 + worker, max_steps=int(env_config.get("max_steps", 40))
        )
        # The spaces as gymnasium's own classes (the core library's discrete
        # and composite spaces give the flat logits' shape as theirs)
        observations = as_gymnasium(self.agent.observation_space)
        self.observation_space = gymnasium.spaces.Dict(
            OrderedDict(
                observations=observations,
                gear_mask=gymnasium.spaces.Box(0, 1, shape=(len(drone_sim.GEARS),), dtype=np.int8),
                previous_skill=gymnasium.spaces.Box(-1, 1, shape=(1,), dtype=np.int8),
            )
        )
        self.action_space = as_gymnasium(self.agent.action_space)
        self._observation_spaces: Dict[str, Any] = dict(observations.spaces)
        self._headings: List[Any] = []
        self._previous: Optional[int] = None

    def _run(self, coroutine: Any) -> Any:
        # make_np_array's trace lines go to this environment's log
        saved = sys.stdout
        sys.stdout = cast(TextIO, self._trace)
        try:
            return self._loop.run_until_complete(coroutine)
        finally:
            sys.stdout = saved

    def _observe(self, sim_observation: Dict[str, Any], sim_mask: Dict[str, Any]) -> Dict[str, Any]:
        values = self._run(self.agent.sense(sim_observation))
        self._headings = [values[name] for name in self.agent.selector.get_children_names()]
        sample = su.filter_sample(values, self.agent.observation_keys)
        # a scalar sensor's value is a 0-d array; its space has shape (1,)
        shapes = self._observation_spaces
        return {
            "observations": {key: np.reshape(value, shapes[key].shape) for key, value in sample.items()},
            "gear_mask": np.asarray(sim_mask["gear"], dtype=np.int8),
            "previous_skill": np.array([-1 if self._previous is None else self._previous], dtype=np.int8),
        }

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> tuple[Dict[str, Any], Dict[str, Any]]:
        if seed is not None:
            self.sim.rng = np.random.default_rng(seed)
        self._previous = None
        observation, mask = self.sim.reset()
        return self._observe(observation, mask), {}

    def step(self, action: Dict[str, Any]) -> tuple[Dict[str, Any], float, bool, bool, Dict[str, Any]]:
        skill = int(action["skill"])
        forbidden = self.sim.forbidden_actions
        observation, mask, reward, done = self.sim.step(
            {"gear": int(action["gear"]), "heading": self._headings[skill], "altitude": action["altitude"]}
        )
        ROAD.forbidden_actions += self.sim.forbidden_actions - forbidden
        self._previous = skill
        terminated = self.sim.stats.delivered or self.sim.stats.battery_empty
        if done:
            ROAD.episodes.append(dataclasses.replace(self.sim.stats))
        return self._observe(observation, mask), float(reward), terminated, done and not terminated, {}

    def close(self) -> None:
        self._trace.close()
        if self._trace in ROAD.traces:
            ROAD.traces.remove(self._trace)
        if not self._loop.is_closed():
            self._loop.close()


class DroneEnvRunner(_env_runner.SingleAgentEnvRunner):  # type: ignore[misc]
    """An env runner that samples whole episodes, its share of the
    iteration's episodes each time PPO asks it for a sample (PPO asks again
    while the iteration holds fewer steps than one minibatch)."""

    def sample(self, *, num_timesteps: Optional[int] = None, num_episodes: Optional[int] = None, **kwargs: Any) -> Any:
        if num_timesteps is None and num_episodes is None:
            shares = self.config.env_config["episodes"]
            num_episodes = shares[max(0, (self.worker_index or 0) - 1)]
        return super().sample(num_timesteps=num_timesteps, num_episodes=num_episodes, **kwargs)


# ---------------------------------------------------------------------------
# The action distribution and the RLModule
# ---------------------------------------------------------------------------


class DroneActionDistribution(_distributions.TorchMultiDistribution):  # type: ignore[misc]
    """Categoricals for the selector and the gear, a diagonal Gaussian for the
    altitude (in the policy's range -1..1), over the masked inputs that
    unpack_logits cuts into the action space's structure."""

    @classmethod
    def from_logits(cls, logits: torch.Tensor, **kwargs: Any) -> "DroneActionDistribution":
        parts = su.unpack_logits(logits, DISTRIBUTION_INPUT_SPACE)
        return cls(
            {
                "skill": _distributions.TorchCategorical(logits=parts["skill"]),
                "gear": _distributions.TorchCategorical(logits=parts["gear"]),
                "altitude": _distributions.TorchDiagGaussian.from_logits(parts["altitude"]),
            }
        )


class DroneModule(_torch_rl_module.TorchRLModule, _value_function_api.ValueFunctionAPI):  # type: ignore[misc]
    """The courier's policy and value function. Both read the observation
    flattened by flatten_object_batch; the policy's logits are cut by
    unpack_logits and masked by apply_mask with the agent's action mask,
    built per row from the selector's previous choice, the simulator's gear
    mask and the battery. The mask goes out with the distribution inputs, so
    that the module-to-env piece checks each action against it."""

    def setup(self) -> None:
        settings = PPOSettings(**(self.model_config or {}).get("ppo", {}))
        self.agent = DroneAgent()
        features = gymnasium.spaces.flatdim(self.observation_space["observations"])
        width = gymnasium.spaces.flatdim(POLICY_OUTPUT_SPACE)

        def mlp(out: int) -> nn.Sequential:
            return nn.Sequential(
                nn.Linear(features, settings.hidden),
                nn.Tanh(),
                nn.Linear(settings.hidden, settings.hidden),
                nn.Tanh(),
                nn.Linear(settings.hidden, out),
            )

        self.pi = mlp(width)
        self.vf = mlp(1)
        self.log_std = nn.Parameter(torch.full((1,), float(np.log(settings.initial_std))))

    def action_masks(self, observation: Mapping[str, Any], device: torch.device) -> Dict[str, torch.Tensor]:
        gear = np.asarray(observation["gear_mask"].cpu(), dtype=np.int8)
        battery = np.asarray(observation["observations"]["battery"].cpu(), dtype=np.float64).reshape(len(gear), -1)
        previous = np.asarray(observation["previous_skill"].cpu()).reshape(-1)
        rows = [
            self.agent.action_mask({"gear": gear[i]}, float(battery[i, 0]), None if previous[i] < 0 else int(previous[i]))
            for i in range(len(gear))
        ]
        return {key: torch.from_numpy(np.stack([row[key] for row in rows])).to(device) for key in MASKED_PARTS}

    def _forward(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        observation = batch[Columns.OBS]
        features = su.flatten_object_batch(observation["observations"]).to(torch.float32)
        logits = self.pi(features)
        masks = self.action_masks(observation, logits.device)
        masked = su.apply_mask(su.unpack_logits(logits, POLICY_OUTPUT_SPACE), masks)
        mean = torch.tanh(masked["altitude"])
        inputs = torch.cat([masked["skill"], masked["gear"], mean, self.log_std.expand_as(mean)], dim=-1)
        return {Columns.ACTION_DIST_INPUTS: inputs, "action_mask": masks}

    def compute_values(self, batch: Dict[str, Any], embeddings: Optional[Any] = None) -> torch.Tensor:
        features = su.flatten_object_batch(batch[Columns.OBS]["observations"]).to(torch.float32)
        values: torch.Tensor = self.vf(features).squeeze(-1)
        return values

    def get_inference_action_dist_cls(self) -> Any:
        return DroneActionDistribution

    def get_exploration_action_dist_cls(self) -> Any:
        return DroneActionDistribution

    def get_train_action_dist_cls(self) -> Any:
        return DroneActionDistribution


# ---------------------------------------------------------------------------
# Connector piece: from the module's actions to the environment's
# ---------------------------------------------------------------------------


class DroneActions(_connectors.ConnectorV2):  # type: ignore[misc]
    """Unsquashes the altitude into its bounds with unsquash_action_batch and
    checks every action against the mask it was sampled under with
    action_fits_mask; an action that does not fit stops the run."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.space = DroneAgent().action_space
        self.space_struct = dict(self.space.spaces)

    def __call__(self, *, batch: Dict[str, Any], **kwargs: Any) -> Any:
        masks = {key: value.cpu().numpy() for key, value in batch.pop("action_mask").items()}
        actions = batch[Columns.ACTIONS]
        unsquashed = su.unsquash_action_batch(actions, self.space_struct)
        rows = len(next(iter(unsquashed.values())))
        for row in range(rows):
            action = {key: unsquashed[key][row] for key in unsquashed}
            mask = {key: masks[key][row] for key in masks}
            if not su.action_fits_mask(action, mask, self.space):
                raise RuntimeError(f"the policy chose a forbidden action: {action} under the mask {mask}")
        ROAD.checked_actions += rows
        batch[Columns.ACTIONS_FOR_ENV] = {key: np.stack(values) for key, values in unsquashed.items()}
        return batch


def module_to_env_pipeline(env: Any = None, spaces: Any = None) -> List[Any]:
    """RLlib's module-to-env pieces with DroneActions where the actions are
    still one batch of tensors (RLlib's own unsquashing and clipping left
    out)."""
    m2e = _module_to_env
    return [
        m2e.GetActions(),
        DroneActions(),
        m2e.TensorToNumpy(),
        m2e.UnBatchToIndividualItems(),
        m2e.RemoveSingleTsTimeRankFromBatch(),
        m2e.ListifyDataForVectorEnv(),
    ]


# ---------------------------------------------------------------------------
# The learner: RLlib's PPO, counting gradients that are not finite
# ---------------------------------------------------------------------------


class DroneLearner(_ppo_learner.PPOTorchLearner):  # type: ignore[misc]
    gradients_checked = 0
    non_finite_gradients = 0

    def compute_gradients(self, loss_per_module: Any, **kwargs: Any) -> Any:
        # RLlib turns a non-finite gradient into zeros (with a warning) before
        # applying it; count them here, before that.
        gradients = super().compute_gradients(loss_per_module, **kwargs)
        for gradient in gradients.values():
            if gradient is not None:
                self.gradients_checked += 1
                self.non_finite_gradients += int(not bool(torch.isfinite(gradient).all()))
        return gradients


def _learner_health(learner: Any, **kwargs: Any) -> Dict[str, Any]:
    module = learner.module[DEFAULT_MODULE_ID]
    return {
        "gradients_checked": learner.gradients_checked,
        "non_finite_gradients": learner.non_finite_gradients,
        "parameters_finite": all(bool(torch.isfinite(p).all()) for p in module.parameters()),
    }


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


def build_config(config: train_drone.Config, settings: PPOSettings) -> Any:
    env_config = {
        "episodes": train_drone.split(config.episodes_per_iteration, max(1, config.workers)),
        "seed": config.seed,
        "max_steps": config.max_steps,
        "output": str(config.output),
        "trace": config.trace,
        "trace_max_bytes": config.trace_max_bytes,
    }
    return (
        _ppo.PPOConfig()
        .framework("torch")
        .environment(DroneEnv, env_config=env_config)
        .env_runners(
            env_runner_cls=DroneEnvRunner,
            num_env_runners=config.workers,
            num_envs_per_env_runner=1,
            batch_mode="complete_episodes",
            rollout_fragment_length="auto",
            module_to_env_connector=module_to_env_pipeline,
            add_default_connectors_to_module_to_env_pipeline=False,
        )
        .learners(num_learners=0, learner_class=DroneLearner)
        .fault_tolerance(restart_failed_env_runners=False)
        .rl_module(
            rl_module_spec=importlib.import_module("ray.rllib.core.rl_module.rl_module").RLModuleSpec(
                module_class=DroneModule, model_config={"ppo": dataclasses.asdict(settings)}
            )
        )
        .training(
            lr=config.learning_rate,
            gamma=config.gamma,
            lambda_=settings.lambda_,
            # the iteration's size is its episodes (DroneEnvRunner); PPO samples
            # again only while it holds fewer steps than one minibatch
            train_batch_size_per_learner=settings.minibatch_size,
            minibatch_size=settings.minibatch_size,
            num_epochs=settings.num_epochs,
            entropy_coeff=settings.entropy_coeff,
            vf_loss_coeff=settings.vf_loss_coeff,
        )
        .debugging(seed=config.seed, log_level="ERROR")
    )


def _init_ray(config: train_drone.Config) -> None:
    import kestrelix_train

    # Env runners import this example and the package like the driver does.
    paths = [str(train_drone.EXAMPLES), str(Path(kestrelix_train.__path__[0]).resolve().parent)]
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    runtime_env: Dict[str, Any] = {
        "env_vars": {"PYTHONPATH": os.pathsep.join(paths), "RAY_USAGE_STATS_ENABLED": "0"}
    }
    if config.worker_setup:
        runtime_env["worker_process_setup_hook"] = config.worker_setup
    ray.init(
        num_cpus=max(1, config.workers),
        include_dashboard=False,
        log_to_driver=False,
        logging_level=logging.ERROR,
        runtime_env=runtime_env,
    )
    # RLlib's notes on its own deprecations and defaults are not the run's
    for name in ("ray", "ray.rllib"):
        logging.getLogger(name).setLevel(logging.ERROR)


def _drain_runners(algo: Any, config: train_drone.Config) -> List[Dict[str, Any]]:
    if config.workers == 0:
        return [drain()]
    reports: List[Dict[str, Any]] = algo.env_runner_group.foreach_env_runner(drain, local_env_runner=False)
    return reports


def train(config: train_drone.Config, settings: Optional[PPOSettings] = None) -> train_drone.TrainResult:
    start = time.perf_counter()
    settings = settings or PPOSettings()
    torch.manual_seed(config.seed)
    torch.set_num_threads(1)
    config.output.mkdir(parents=True, exist_ok=True)
    if not config.trace:
        train_drone.silence_trace()
    result = train_drone.TrainResult(non_finite_gradients=0)
    trace_files: List[Path] = []
    _init_ray(config)
    try:
        algo = build_config(config, settings).build_algo()
        result.setup_seconds = time.perf_counter() - start
        runners_cpu = sum(r["cpu"] for r in _drain_runners(algo, config))
        cpu = time.process_time()
        progress = tqdm(
            total=config.iterations, unit="iteration", file=sys.stderr, disable=not config.progress, dynamic_ncols=True
        )
        try:
            for _ in range(config.iterations):
                algo.train()
                reports = _drain_runners(algo, config)
                episodes = [e for report in reports for e in report["episodes"]]
                result.episodes.extend(episodes)
                result.forbidden_actions += sum(r["forbidden_actions"] for r in reports)
                result.checked_actions += sum(r["checked_actions"] for r in reports)
                result.trace_lines = sum(r["trace_lines"] for r in reports)
                trace_files = [path for r in reports for path in r["trace_files"]]
                result.runner_modules = [r["module"] for r in reports]
                health = [r.get() for r in algo.learner_group.foreach_learner(_learner_health)]
                result.gradients_checked = sum(h["gradients_checked"] for h in health)
                result.non_finite_gradients = sum(h["non_finite_gradients"] for h in health)
                if not all(h["parameters_finite"] for h in health):
                    raise RuntimeError("a parameter of the policy is no longer finite")
                # processor time of the iterations, here and in the env runners
                result.cpu_seconds = time.process_time() - cpu
                if config.workers > 0:
                    result.cpu_seconds += sum(r["cpu"] for r in reports) - runners_cpu
                progress.update(1)
                progress.set_postfix(
                    {
                        "return": f"{np.mean([e.episode_return for e in episodes]):+.2f}",
                        "delivered": f"{np.mean([e.delivered for e in episodes]):.0%}",
                    }
                )
        finally:
            progress.close()
            algo.stop()
    finally:
        ray.shutdown()
    result.trace_files = train_drone.trace_files(trace_files)
    result.trace_lines_kept = train_drone.count_lines(result.trace_files)
    result.seconds = time.perf_counter() - start
    if config.plot:
        result.plot = train_drone.plot_learning_curve(result, config, config.output / "learning_curve.png")
    return result
