"""The example drone trained with RLlib's PPO (the new API stack: an RLModule,
connector pipelines, env runners and a learner), torch, on Ray.

    python examples/train_drone.py --engine rllib --workers 2

The same simulator, agent and skills as the example's own learner, on the
package's RLlib pieces (kestrelix_train.rllib, through masked_ppo):

    DroneEnv (each env runner)   convert_sim_sensors_to_kestrelix_sensors and
                                 filter_sample per step, on an event loop that
                                 lives as long as the environment, and the
                                 agent's action mask (compute_selector_action_mask,
                                 combine_masks, mask_all_zero) in the
                                 observation's action_mask
    FlattenMaskedObservations    flatten_object_numpy of each observation and
    (env-to-module piece)        of its mask, as they come from the env
    MaskedPPOModule (env runners the policy on the flat batch, unpack_logits
    and the learner)             of the masks read from the batch, apply_mask
                                 of the whole output
    MaskedDistribution           unpack_logits cuts the distribution inputs
                                 into the action space's structure
    MaskedActions (module-to-env unsquash_action of the batch, action_fits_mask
    connector piece)             for every action before it goes to the env

The learner runs in this process on the CPU (RLlib's PPO loss, KL term
included), or with --learners N in N Ray actors (data-parallel); each counts
every gradient that is not finite. This module imports Ray, so
train_drone.py imports it only when this engine is chosen; each env runner
and learner (Ray actors) imports it, and the package, by itself.

Ray: a local instance of this run's own, always, unless an address is given
(--address, or RAY_ADDRESS given to train_drone.py): then the run joins that
cluster, whose every node must have the package installed.

Failed env runners stop the run, unless a run kills one on purpose
(Config.kill_runner_in, scripts/cluster.sh --kill-runner): then RLlib
restarts it, a ledger actor (runner_ledger.py) counts the episodes the
killed runner took with it, and any other failure still stops the run.
"""

from __future__ import annotations

import asyncio
import dataclasses
import importlib
import logging
import os
import signal
import sys
import threading
import time
from collections import OrderedDict
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, TextIO, cast

import gymnasium
import numpy as np
import torch
from tqdm import tqdm

import drone_sim
import train_drone
from drone_agent import DroneAgent
from drone_sim import EpisodeStats
from kestrelix_train.utils import space_utils as su

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
# Ray is optional (imported by name, so that type checks pass without it)
ray: Any = importlib.import_module("ray")
kr: Any = importlib.import_module("kestrelix_train.rllib")
_ppo: Any = importlib.import_module("ray.rllib.algorithms.ppo")
_ppo_learner: Any = importlib.import_module("ray.rllib.algorithms.ppo.torch.ppo_torch_learner")
_env_runner: Any = importlib.import_module("ray.rllib.env.single_agent_env_runner")

DEFAULT_MODULE_ID = "default_policy"
ALL_MODULES = "__all_modules__"  # (RLlib's key of the learners' totals)


@dataclasses.dataclass
class PPOSettings:
    """The PPO settings of the drone's runs, all of them (the learning rate
    is the example's --lr, gamma its 0.99). Where RLlib's PPO has another
    default, it is said: lambda (RLlib 1.0), the entropy coefficient (0.0),
    the value-loss coefficient (1.0), the epochs (1), the minibatch (128 here
    as there), the batch (4000 steps there; here an iteration is its
    episodes, complete episodes, sampled again only while they hold fewer
    steps than one minibatch). Clipping, KL coefficient and target are
    RLlib's (0.3, 0.2, 0.01). The networks: two hidden layers of 64 with
    tanh, policy and value apart, the altitude's standard deviation a free
    parameter starting at 0.5 (RLlib: 256 and 256, from the policy's
    output)."""

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
    layouts: List[bytes] = dataclasses.field(default_factory=list)  # each episode's start and pickup
    forbidden_actions: int = 0  # counted by the simulators
    traces: List[train_drone.TraceLog] = dataclasses.field(default_factory=list)
    ledger: Any = None  # the run's RunnerLedger, where failed env runners are restarted


ROAD = RoadLog()


def _masked_actions(runner: Any) -> Any:
    pipeline = getattr(runner, "_module_to_env", None)
    return next((piece for piece in getattr(pipeline, "connectors", []) if isinstance(piece, kr.MaskedActions)), None)


def drain(runner: Any = None) -> Dict[str, Any]:
    """This process's episodes and counts since the last call."""
    piece = _masked_actions(runner)
    report = {
        "episodes": ROAD.episodes,
        "layouts": ROAD.layouts,
        "forbidden_actions": ROAD.forbidden_actions,
        "checked_actions": piece.sent if piece else 0,
        "discarded_actions": piece.discarded if piece else 0,
        "trace_lines": sum(trace.lines for trace in ROAD.traces),
        "trace_files": [trace.path for trace in ROAD.traces],
        "module": su.__file__,
        "cpu": time.process_time(),  # this process's, since it started
        "pid": os.getpid(),
        "worker": int(getattr(runner, "worker_index", 0) or 0),
        "node": ray.get_runtime_context().get_node_id() if ray.is_initialized() else None,
    }
    ROAD.episodes, ROAD.layouts, ROAD.forbidden_actions = [], [], 0
    if piece:
        piece.sent = piece.discarded = 0
    return report


class _NoNotes(logging.Filter):
    """RLlib's notes on its own deprecations and new defaults are not the
    run's; its warnings (a gradient that is not finite, the KL) are."""

    def filter(self, record: logging.LogRecord) -> bool:
        text = record.getMessage()
        return not ("Deprecat" in text or "new API stack" in text or "gputil" in text)


def quiet_notes() -> None:
    for name in ("ray", "ray.rllib"):
        logger = logging.getLogger(name)
        logger.setLevel(logging.WARNING)
        if not any(isinstance(f, _NoNotes) for f in logger.filters):
            logger.addFilter(_NoNotes())
        for handler in logger.handlers:
            if not any(isinstance(f, _NoNotes) for f in handler.filters):
                handler.addFilter(_NoNotes())


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
    of the agent's sensor values) and the agent's action mask for the coming
    step (the selector's and the gear's); the action is the courier's (skill,
    gear, altitude), and the chosen skill's heading is flown.

    Random streams: each environment draws from a stream of its own, keyed
    by the run's seed, its env runner and its index there (a seed sequence
    of the three, so that different seeds never share a stream; a restarted
    env runner's environments add how many times they were built). RLlib
    resets with the same seed at every sample(): a seed already seen goes on
    with the stream (a new layout every episode); a new one starts a stream
    keyed by it as well."""

    def __init__(self, env_config: Optional[Mapping[str, Any]] = None) -> None:
        # RLlib passes an EnvContext: the settings, and which env runner this is
        worker = int(getattr(env_config, "worker_index", 0) or 0)
        self._key = [int((env_config or {}).get("seed", 0)), worker, int(getattr(env_config, "vector_index", 0) or 0)]
        self._worker = worker
        env_config = dict(env_config or {})
        quiet_notes()
        # this run's ledger, or none (never one left by an earlier run in this process)
        ROAD.ledger = ray.get_actor(env_config["ledger"]) if env_config.get("ledger") else None
        if ROAD.ledger is not None:
            # a restarted env runner's environments draw streams of their own,
            # not their predecessors' layouts again
            built = ray.get(ROAD.ledger.built.remote(worker, self._key[2]))
            self._key += [built] if built > 1 else []
        self._loop = asyncio.new_event_loop()
        if not env_config.get("trace", True):
            train_drone.silence_trace()
        output = Path(env_config.get("output", train_drone.DEFAULT_OUTPUT))
        name = "trace.log" if worker == 0 else f"trace.runner{worker}.log"
        self._trace = train_drone.TraceLog(output / name, int(env_config.get("trace_max_bytes", 4 << 20)))
        ROAD.traces.append(self._trace)
        self.agent = DroneAgent()
        self._run(self.agent.setup())
        self.sim = drone_sim.DroneDeliverySim(max_steps=int(env_config.get("max_steps", 40)))
        self.sim.rng = np.random.default_rng(self._key)
        self._seeds: set[int] = set()
        # The spaces as gymnasium's own classes (the core library's discrete
        # and composite spaces give the flat logits' shape as theirs)
        observations = as_gymnasium(self.agent.observation_space)
        self.action_space = as_gymnasium(self.agent.action_space)
        mask_space = kr.action_mask_space(self.action_space)
        self.observation_space = gymnasium.spaces.Dict(
            OrderedDict(observations=observations, action_mask=mask_space)
        )
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
        mask = self.agent.action_mask(sim_mask, float(values["battery"]), self._previous)
        # a scalar sensor's value is a 0-d array; its space has shape (1,)
        shapes = self._observation_spaces
        return {
            "observations": {key: np.reshape(value, shapes[key].shape) for key, value in sample.items()},
            "action_mask": {key: np.asarray(mask[key], dtype=np.int8) for key in ("skill", "gear")},
        }

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> tuple[Dict[str, Any], Dict[str, Any]]:
        if seed is not None and seed not in self._seeds:
            self._seeds.add(seed)
            self.sim.rng = np.random.default_rng([*self._key, seed])
        self._previous = None
        observation, mask = self.sim.reset()
        ROAD.layouts.append(np.concatenate([observation["position"], observation["pickup"]]).tobytes())
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
            if ROAD.ledger is not None:
                # recorded before the step returns: a kill after this cannot lose the count
                ray.get(ROAD.ledger.ended.remote(self._worker))
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
        try:
            return super().sample(num_timesteps=num_timesteps, num_episodes=num_episodes, **kwargs)
        except Exception as error:
            # Where failed runners are restarted, RLlib would go on without a
            # word; the ledger keeps the error for the driver, which stops.
            if ROAD.ledger is not None:
                ray.get(ROAD.ledger.failed.remote(int(self.worker_index or 0), f"{type(error).__name__}: {error}"))
            raise


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
        "cpu": time.process_time(),
        "pid": os.getpid(),
        "node": ray.get_runtime_context().get_node_id(),
    }


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


def build_config(config: train_drone.Config, settings: PPOSettings, ledger: Optional[str] = None) -> Any:
    env_config = {
        "episodes": train_drone.split(config.episodes_per_iteration, max(1, config.workers)),
        "seed": config.seed,
        "max_steps": config.max_steps,
        "output": str(config.output),
        "trace": config.trace,
        "trace_max_bytes": config.trace_max_bytes,
        "ledger": ledger,
    }
    model = {
        "fcnet_hiddens": [settings.hidden, settings.hidden],
        "fcnet_activation": "tanh",
        "vf_share_layers": False,
        "free_log_std": True,
        "initial_std": settings.initial_std,
    }
    ppo = (
        _ppo.PPOConfig()
        .environment(DroneEnv, env_config=env_config)
        .env_runners(
            env_runner_cls=DroneEnvRunner,
            num_env_runners=config.workers,
            num_envs_per_env_runner=1,
            batch_mode="complete_episodes",
            rollout_fragment_length="auto",
            custom_resources_per_env_runner=dict(config.runner_resources),
        )
        # num_gpus_per_learner=1 puts each learner on a GPU of its node
        .learners(num_learners=config.learners)
        # A failed env runner stops the run (its cause is in the log lines).
        # Only a run that kills one on purpose has RLlib restart it; the
        # ledger then tells the kill from any other failure.
        .fault_tolerance(
            restart_failed_env_runners=config.kill_runner_in > 0,
            delay_between_env_runner_restarts_s=1.0,
        )
        .rl_module(model_config=model)
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
        .debugging(seed=config.seed, log_level="WARN")
    )
    try:
        ppo = ppo.learners(learner_class=DroneLearner)
    except TypeError:  # (older releases take it in training())
        ppo = ppo.training(learner_class=DroneLearner)
    return config.pieces(ppo) if config.pieces else kr.masked_ppo(ppo)


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
    # Without an address, a Ray instance of this run's own: never a cluster
    # that RAY_ADDRESS or a file left by `ray start` points to. The env
    # runners' log lines (an error's cause, RLlib's warnings) come to this
    # process's output.
    own: Dict[str, Any] = {"address": "local", "num_cpus": max(1, config.workers + config.learners)}
    ray.init(
        **({"address": config.address} if config.address else own),
        include_dashboard=False if not config.address else None,
        log_to_driver=True,
        logging_level=logging.WARNING,
        runtime_env=runtime_env,
    )
    quiet_notes()


def _drain_runners(algo: Any, config: train_drone.Config) -> List[Dict[str, Any]]:
    if config.workers == 0:
        return [drain(algo.env_runner)]
    reports: List[Dict[str, Any]] = algo.env_runner_group.foreach_env_runner(drain, local_env_runner=False)
    return reports


def _last_metrics(result: Mapping[str, Any]) -> Dict[str, float]:
    """RLlib's own figures of an iteration."""
    learner = result.get("learners", {}).get(DEFAULT_MODULE_ID, {})
    found = {
        "episode_return_mean": result.get("env_runners", {}).get("episode_return_mean"),
        "policy_loss": learner.get("policy_loss"),
        "mean_kl_loss": learner.get("mean_kl_loss"),
        "entropy": learner.get("entropy"),
    }
    return {key: float(value) for key, value in found.items() if value is not None}


def _train(algo: Any) -> Any:
    try:
        return algo.train()
    except ray.exceptions.RayActorError as error:
        raise RuntimeError(
            "an env runner failed; its cause is in its log lines above (prefixed with its name and pid)"
        ) from error


class RunnerKiller:
    """Kills one env runner's process (SIGKILL) once it has ended an episode
    of the current iteration: mid-sample, with episodes it has not handed
    back. The runner must run on this machine (true of scripts/cluster.sh's
    cluster); the ledger's count of its episodes tells when."""

    def __init__(self, ledger: Any, worker: int, pid: int) -> None:
        self.ledger, self.worker, self.pid = ledger, worker, pid
        self.killed = False
        self._stop = threading.Event()
        self._before = ray.get(ledger.counts.remote()).get(worker, 0)
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self) -> None:
        while not self._stop.wait(0.02):
            if ray.get(self.ledger.counts.remote()).get(self.worker, 0) > self._before:
                os.kill(self.pid, signal.SIGKILL)
                self.killed = True
                return

    def join(self) -> None:
        self._stop.set()
        self._thread.join()


def _check_runners(algo: Any, config: train_drone.Config, ledger: Any, kills: int) -> int:
    """Where failed env runners are restarted: stops the run on any failure
    that is not a kill made on purpose. Returns the restarts so far."""
    errors = ray.get(ledger.errors.remote())
    if errors:
        worker, text = errors[0]
        raise RuntimeError(f"env runner {worker} failed: {text} (its log lines above say more)")
    group = algo.env_runner_group
    restarts = int(group.num_remote_worker_restarts())
    failures = restarts + config.workers - int(group.num_healthy_remote_env_runners())
    if failures > kills:
        raise RuntimeError(
            f"{failures - kills} env runner(s) died without being killed on purpose "
            "(their log lines above say why)"
        )
    return restarts


def _await_restart(algo: Any, config: train_drone.Config, timeout: float = 120.0) -> None:
    """Waits until RLlib has brought the killed env runner back (Ray restarts
    its process; RLlib probes it and sends it the weights), so that the next
    iteration samples on every runner again."""
    group = algo.env_runner_group
    deadline = time.monotonic() + timeout
    while group.num_healthy_remote_env_runners() < config.workers:
        if time.monotonic() > deadline:
            raise RuntimeError(f"the killed env runner did not come back within {timeout:.0f} s")
        time.sleep(0.5)
        algo.restore_env_runners(group)


def _where_ray(config: train_drone.Config) -> str:
    nodes = len([node for node in ray.nodes() if node.get("Alive")])
    if config.address:
        return f"joined the Ray cluster at {config.address} ({nodes} node{'s' if nodes != 1 else ''})"
    return "a Ray instance of its own on this machine"


def train(config: train_drone.Config, settings: Optional[PPOSettings] = None) -> train_drone.TrainResult:
    start = time.perf_counter()
    settings = settings or PPOSettings()
    if config.kill_runner_in and not (config.workers > 0 and config.kill_runner_in < config.iterations):
        raise ValueError("killing an env runner needs Ray env runners and an iteration after the kill")
    torch.manual_seed(config.seed)
    torch.set_num_threads(1)
    config.output.mkdir(parents=True, exist_ok=True)
    if not config.trace:
        train_drone.silence_trace()
    result = train_drone.TrainResult(non_finite_gradients=0)
    trace_files: List[Path] = []
    layouts: List[bytes] = []
    _init_ray(config)
    try:
        result.ray = _where_ray(config)
        ledger, ledger_name = None, None
        if config.kill_runner_in:
            ledger_actor = ray.remote(num_cpus=0)(importlib.import_module("runner_ledger").RunnerLedger)
            ledger_name = f"runner_ledger_{os.getpid()}_{time.time_ns()}"
            ledger = ledger_actor.options(name=ledger_name).remote()
        algo = build_config(config, settings, ledger_name).build_algo()
        result.setup_seconds = time.perf_counter() - start
        # each process's processor time at the start of the iterations (a
        # restarted env runner is a new process, from 0)
        cpu_at = {(r["worker"], r["pid"]): r["cpu"] for r in _drain_runners(algo, config)}
        learners_cpu_at = sum(h.get()["cpu"] for h in algo.learner_group.foreach_learner(_learner_health))
        runner_nodes: set[Any] = set()
        learner_nodes: set[Any] = set()
        cpu = time.process_time()
        progress = tqdm(
            total=config.iterations, unit="iteration", file=sys.stderr, disable=not config.progress, dynamic_ncols=True
        )
        try:
            for iteration in range(1, config.iterations + 1):
                killer = None
                if ledger is not None and iteration == config.kill_runner_in:
                    pid = next(pid for worker, pid in cpu_at if worker == 1)
                    killer = RunnerKiller(ledger, 1, pid)
                try:
                    metrics = _train(algo)
                finally:
                    if killer is not None:
                        killer.join()
                        result.runners_killed += int(killer.killed)
                if killer is not None and killer.killed:
                    _await_restart(algo, config)
                reports = _drain_runners(algo, config)
                episodes = [e for report in reports for e in report["episodes"]]
                result.episodes.extend(episodes)
                result.episodes_received += int(metrics.get("env_runners", {}).get("num_episodes", 0))
                learned = metrics.get("learners", {}).get(ALL_MODULES, {})
                result.samples_trained += int(learned.get("num_module_steps_trained", 0))
                layouts += [layout for report in reports for layout in report["layouts"]]
                result.forbidden_actions += sum(r["forbidden_actions"] for r in reports)
                result.checked_actions += sum(r["checked_actions"] for r in reports)
                result.discarded_actions += sum(r["discarded_actions"] for r in reports)
                result.trace_lines = sum(r["trace_lines"] for r in reports)
                trace_files = [path for r in reports for path in r["trace_files"]]
                result.runner_modules = [r["module"] for r in reports]
                runner_nodes |= {r["node"] for r in reports}
                health = [r.get() for r in algo.learner_group.foreach_learner(_learner_health)]
                learner_nodes |= {h["node"] for h in health}
                result.learner_gradients = [(h["gradients_checked"], h["non_finite_gradients"]) for h in health]
                result.gradients_checked = sum(h["gradients_checked"] for h in health)
                result.non_finite_gradients = sum(h["non_finite_gradients"] for h in health)
                result.rllib_metrics = _last_metrics(metrics)
                if not all(h["parameters_finite"] for h in health):
                    raise RuntimeError("a parameter of the policy is no longer finite")
                if ledger is not None:
                    result.runner_restarts = _check_runners(algo, config, ledger, result.runners_killed)
                    result.episodes_ended = sum(ray.get(ledger.counts.remote()).values())
                # processor time of the iterations: here, in the env runners
                # and in the learner actors (with learner actors, this
                # process only samples: the split below)
                driver = time.process_time() - cpu
                runners = 0.0
                if config.workers > 0:
                    for r in reports:
                        key = (r["worker"], r["pid"])
                        runners += r["cpu"] - cpu_at.setdefault(key, 0.0)
                        cpu_at[key] = r["cpu"]
                learning = 0.0
                if config.learners > 0:
                    learning = sum(h["cpu"] for h in health) - learners_cpu_at
                    learners_cpu_at += learning
                    result.sampling_cpu_seconds += driver + runners
                    result.learning_cpu_seconds += learning
                result.cpu_seconds += driver + runners + learning
                cpu = time.process_time()
                progress.update(1)
                progress.set_postfix(
                    {
                        "return": f"{np.mean([e.episode_return for e in episodes]):+.2f}" if episodes else "-",
                        "delivered": f"{np.mean([e.delivered for e in episodes]):.0%}" if episodes else "-",
                    }
                )
            result.runner_nodes = len(runner_nodes)
            result.learner_nodes = len(learner_nodes)
            result.learners = config.learners
        finally:
            progress.close()
            algo.stop()
    finally:
        ray.shutdown()
    result.layouts = len(set(layouts))
    result.trace_files = train_drone.trace_files(trace_files)
    result.trace_lines_kept = train_drone.count_lines(result.trace_files)
    result.seconds = time.perf_counter() - start
    if config.plot:
        result.plot = train_drone.plot_learning_curve(result, config, config.output / "learning_curve.png")
    return result
