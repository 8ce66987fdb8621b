"""Train the example drone agent end to end through space_utils.

    python examples/train_drone.py                # one process
    python examples/train_drone.py --workers 2    # episodes collected by 2 Ray workers (needs Ray)
    python examples/train_drone.py --engine rllib --workers 2   # RLlib's PPO, 2 env runners (needs Ray)

Each iteration collects a batch of episodes (all running side by side) and
takes one policy-gradient step (REINFORCE with reward-to-go and normalised
advantages). The trace lines that make_np_array prints go to
examples/output/trace*.log; a progress bar shows the episodes; at the end a
short summary is printed and the learning curve is written to
examples/output/learning_curve.png.

With --engine rllib the same drone, agent and skills are trained with
RLlib's PPO on its new API stack (examples/rllib_engine.py), the module on
the same road inside an RLModule and a connector piece. The options keep
their meaning as near as PPO allows:
  --iterations  PPO iterations: each samples its episodes, then takes
                PPO's minibatch steps on them (minibatches of 128 steps,
                8 epochs), not one step
  --episodes    whole episodes per iteration, shared among the env runners;
                while they hold fewer than 128 steps (one minibatch), PPO
                samples as many again
  --workers     N Ray env runners (0: RLlib's local env runner, in this
                process)
  --learners    N learner actors, data-parallel (0, the default: the learner
                runs in this process, on the CPU)
  --address     join the Ray cluster at this address (RAY_ADDRESS where it is
                set); without either, the run starts a Ray instance of its
                own and never joins a cluster it finds on the machine
  --lr          PPO's learning rate (default 0.001 with this engine)
  --output      the trace files are trace.runner<N>.log, one per env runner
                (trace.log with --workers 0)
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import importlib
import importlib.util
import io
import logging
import math
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, cast

import numpy as np
import numpy.typing as npt
import torch

EXAMPLES = Path(__file__).resolve().parent
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import drone_sim  # noqa: E402
from drone_sim import EpisodeStats  # noqa: E402
from drone_agent import DroneAgent, Policy  # noqa: E402

DEFAULT_OUTPUT = EXAMPLES / "output"
RLLIB_LEARNING_RATE = 0.001


@dataclass
class Config:
    iterations: int = 40
    episodes_per_iteration: int = 32
    workers: int = 0  # 0: collect in this process; N: in N Ray workers
    max_steps: int = 40
    learning_rate: float = 0.01
    gamma: float = 0.99
    entropy_coef: float = 0.01
    seed: int = 0
    output: Path = DEFAULT_OUTPUT
    progress: bool = True
    plot: bool = True
    trace: bool = True  # make_np_array's trace lines (False: silenced)
    trace_max_bytes: int = 4 << 20
    engine: str = "pg"  # pg: the policy-gradient learner here; rllib: RLlib's PPO (rllib_engine.py)
    worker_setup: Optional[str] = None  # rllib: "module.function" each Ray worker calls as it starts
    address: Optional[str] = None  # rllib: the Ray cluster to join (None: a Ray instance of the run's own)
    learners: int = 0  # rllib: learner actors (0: the learner runs in this process)
    kill_runner_in: int = 0  # rllib: kill env runner 1's process during this iteration (0: never)
    runner_resources: Dict[str, float] = field(default_factory=dict)  # rllib: Ray resources each env runner takes
    pieces: Optional[Callable[[Any], Any]] = None  # rllib: puts the policy's pieces into the PPOConfig (masked_ppo)


# ---------------------------------------------------------------------------
# The trace log
# ---------------------------------------------------------------------------


class TraceLog(io.StringIO):
    """A text sink for make_np_array's trace lines. It counts the lines
    written and keeps the files small: past `max_bytes` the file moves to
    `<name>.1` (replacing the one before, whose lines are dropped) and a new
    one begins, at the first line end past the limit.

    Every trace line is six writes (print writes each argument, separator
    and the line end apart), so write() is the in-memory one of io.StringIO,
    with no Python code per write; flush() (called when a collection of
    episodes ends, and by `lines` and close()) moves the text to the file."""

    def __init__(self, path: Path, max_bytes: int) -> None:
        super().__init__()
        self.path = path
        self.rotated = path.with_name(path.name + ".1")
        self.max_bytes = max_bytes
        self._lines = 0  # written in all, including those since dropped
        self._size = 0
        path.parent.mkdir(parents=True, exist_ok=True)
        # a rotated file left by an earlier run is not part of this one
        self.rotated.unlink(missing_ok=True)
        self._file = open(path, "w", encoding="utf-8")

    @property
    def lines(self) -> int:
        self.flush()
        return self._lines

    def flush(self) -> None:
        if self.closed or getattr(self, "_file", None) is None or self._file.closed:
            return
        text = self.getvalue()
        self.seek(0)
        self.truncate()
        self._lines += text.count("\n")
        while text:
            # the line end that takes the file past max_bytes, if any
            end = text.find("\n", max(0, self.max_bytes - self._size)) + 1
            piece, text = (text[:end], text[end:]) if end else (text, "")
            self._file.write(piece)
            self._size += len(piece)
            if end:
                self._file.close()
                os.replace(self.path, self.rotated)
                self._file = open(self.path, "w", encoding="utf-8")
                self._size = 0
        self._file.flush()

    def close(self) -> None:
        self.flush()
        if getattr(self, "_file", None) is not None and not self._file.closed:
            self._file.close()
        super().close()


def silence_trace() -> None:
    """make_np_array prints through the module's `print`: a no-op there
    silences it (in this process; each Ray worker does the same)."""
    from kestrelix_train.utils import space_utils

    setattr(space_utils, "print", lambda *args, **kwargs: None)


def trace_files(paths: Sequence[Path]) -> List[Path]:
    """The trace files of a run as they lie on disk: each log and, where it
    was rotated, its `.1` file (older first)."""
    found = []
    for path in paths:
        found += [p for p in (path.with_name(path.name + ".1"), path) if p.exists()]
    return found


def count_lines(paths: Sequence[Path]) -> int:
    total = 0
    for path in paths:
        with open(path, "rb") as f:
            total += sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))
    return total


@contextlib.contextmanager
def stdout_to(sink: TraceLog) -> Iterator[None]:
    saved = sys.stdout
    sys.stdout = cast(TextIO, sink)
    try:
        yield
    finally:
        sys.stdout = saved
        sink.flush()


# ---------------------------------------------------------------------------
# Collecting episodes
# ---------------------------------------------------------------------------


@dataclass
class RolloutBatch:
    """Every step of a batch of episodes, ready for the learner (numpy only,
    so that it travels cheaply between processes)."""

    observations: npt.NDArray[np.float32]
    masks: Dict[str, npt.NDArray[np.float32]]
    actions: Dict[str, npt.NDArray[Any]]
    returns: npt.NDArray[np.float32]  # discounted reward-to-go
    episodes: List[EpisodeStats]
    forbidden_actions: int  # counted by the simulators
    checked_actions: int  # tested with action_fits_mask
    trace_lines: int = 0


async def collect_episodes(
    agent: DroneAgent, policy: Policy, sims: Sequence[drone_sim.DroneDeliverySim], gamma: float
) -> RolloutBatch:
    """Runs one episode in each simulator, all side by side, until all end."""
    forbidden_before = sum(sim.forbidden_actions for sim in sims)
    started = [sim.reset() for sim in sims]
    observations = [obs for obs, _ in started]
    sim_masks = [mask for _, mask in started]
    previous: List[Optional[int]] = [None] * len(sims)
    steps: List[List[Dict[str, Any]]] = [[] for _ in sims]
    running = list(range(len(sims)))
    checked = 0
    while running:
        decision = await agent.act(
            policy,
            [observations[i] for i in running],
            [sim_masks[i] for i in running],
            [previous[i] for i in running],
        )
        checked += len(running)
        still_running = []
        for row, i in enumerate(running):
            observations[i], sim_masks[i], reward, done = sims[i].step(decision.sim_actions[row])
            previous[i] = decision.skills[row]
            steps[i].append(
                {
                    "observation": decision.observation[row],
                    "masks": {k: v[row] for k, v in decision.masks.items()},
                    "actions": {k: v[row] for k, v in decision.actions.items()},
                    "reward": reward,
                }
            )
            if not done:
                still_running.append(i)
        running = still_running

    rows = [step for episode in steps for step in episode]
    returns: List[float] = []
    for episode in steps:
        to_go, episode_returns = 0.0, []
        for step in reversed(episode):
            to_go = step["reward"] + gamma * to_go
            episode_returns.append(to_go)
        returns.extend(reversed(episode_returns))
    return RolloutBatch(
        observations=torch.stack([r["observation"] for r in rows]).numpy(),
        masks={k: torch.stack([r["masks"][k] for r in rows]).numpy() for k in rows[0]["masks"]},
        actions={k: torch.stack([r["actions"][k] for r in rows]).numpy() for k in rows[0]["actions"]},
        returns=np.asarray(returns, dtype=np.float32),
        episodes=[dataclasses.replace(sim.stats) for sim in sims],
        forbidden_actions=sum(sim.forbidden_actions for sim in sims) - forbidden_before,
        checked_actions=checked,
    )


class RolloutWorker:
    """Simulators, an agent and a copy of the policy. In one process the
    trainer uses one worker directly; with --workers N each Ray actor holds
    one."""

    def __init__(
        self, first_sim: int, n_sims: int, config: Config, trace_path: Path, agent: Optional[DroneAgent] = None
    ) -> None:
        torch.set_num_threads(1)
        torch.manual_seed(config.seed * 7919 + first_sim)
        self.config = config
        if not config.trace:
            silence_trace()
        self.trace = TraceLog(trace_path, config.trace_max_bytes)
        if agent is None:
            agent = DroneAgent()
            asyncio.run(agent.setup())
        self.agent = agent
        self.policy = self.agent.make_policy()
        self.sims = [
            drone_sim.DroneDeliverySim(seed=config.seed * 100_003 + first_sim + i, max_steps=config.max_steps)
            for i in range(n_sims)
        ]

    def collect(self, weights: Dict[str, torch.Tensor]) -> RolloutBatch:
        self.policy.load_state_dict(weights)
        with stdout_to(self.trace):
            batch = asyncio.run(collect_episodes(self.agent, self.policy, self.sims, self.config.gamma))
        batch.trace_lines = self.trace.lines
        return batch

    def close(self) -> None:
        self.trace.close()


# ---------------------------------------------------------------------------
# Learning
# ---------------------------------------------------------------------------


def policy_gradient_step(
    agent: DroneAgent, policy: Policy, optimizer: torch.optim.Optimizer, batch: RolloutBatch, entropy_coef: float
) -> float:
    """One REINFORCE step on a batch: the log-probabilities of the actions
    taken are recomputed through the same unpack/mask road as in the rollout."""
    observation = torch.from_numpy(batch.observations)
    masks = {k: torch.from_numpy(v) for k, v in batch.masks.items()}
    actions = {k: torch.from_numpy(v) for k, v in batch.actions.items()}
    returns = torch.from_numpy(batch.returns)
    advantages = (returns - returns.mean()) / (returns.std() + 1e-6)

    distribution = agent.distribution(policy, observation, masks)
    loss = -(distribution.log_prob(actions) * advantages).mean() - entropy_coef * distribution.entropy().mean()
    optimizer.zero_grad()
    loss.backward()
    optimizer.step()
    return float(loss.detach())


def merge(batches: Sequence[RolloutBatch]) -> RolloutBatch:
    return RolloutBatch(
        observations=np.concatenate([b.observations for b in batches]),
        masks={k: np.concatenate([b.masks[k] for b in batches]) for k in batches[0].masks},
        actions={k: np.concatenate([b.actions[k] for b in batches]) for k in batches[0].actions},
        returns=np.concatenate([b.returns for b in batches]),
        episodes=[e for b in batches for e in b.episodes],
        forbidden_actions=sum(b.forbidden_actions for b in batches),
        checked_actions=sum(b.checked_actions for b in batches),
        trace_lines=sum(b.trace_lines for b in batches),
    )


# ---------------------------------------------------------------------------
# Collectors: one process, or Ray workers
# ---------------------------------------------------------------------------


def split(total: int, parts: int) -> List[int]:
    return [total // parts + (1 if i < total % parts else 0) for i in range(parts)]


class LocalCollector:
    def __init__(self, config: Config, agent: DroneAgent) -> None:
        self.worker = RolloutWorker(0, config.episodes_per_iteration, config, config.output / "trace.log", agent)
        self.trace_files = [self.worker.trace.path]

    def collect(self, weights: Dict[str, torch.Tensor]) -> RolloutBatch:
        return self.worker.collect(weights)

    def close(self) -> None:
        self.worker.close()


class RayCollector:
    """N Ray actors, each running its share of the episodes of an iteration."""

    def __init__(self, config: Config) -> None:
        os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
        # Ray is optional (imported by name, so that type checks pass without it)
        ray: Any = importlib.import_module("ray")

        self._ray = ray
        import kestrelix_train

        # Workers import this example and the package like the driver does.
        paths = [str(EXAMPLES), str(Path(kestrelix_train.__path__[0]).resolve().parent)]
        if os.environ.get("PYTHONPATH"):
            paths.append(os.environ["PYTHONPATH"])
        # a Ray instance of this run's own, never a cluster found on the machine
        ray.init(
            address="local",
            num_cpus=config.workers,
            include_dashboard=False,
            log_to_driver=False,
            logging_level=logging.WARNING,
            runtime_env={"env_vars": {"PYTHONPATH": os.pathsep.join(paths), "RAY_USAGE_STATS_ENABLED": "0"}},
        )
        try:
            actor = ray.remote(num_cpus=1)(RolloutWorker)
            shares = [share for share in split(config.episodes_per_iteration, config.workers) if share > 0]
            firsts = np.cumsum([0] + shares[:-1])
            self.trace_files = [config.output / f"trace.worker{i}.log" for i in range(len(shares))]
            self.workers: List[Any] = [
                actor.remote(int(first), share, config, path)
                for first, share, path in zip(firsts, shares, self.trace_files)
            ]
        except BaseException:
            ray.shutdown()
            raise

    def collect(self, weights: Dict[str, torch.Tensor]) -> RolloutBatch:
        ref = self._ray.put(weights)
        batches: List[RolloutBatch] = self._ray.get([w.collect.remote(ref) for w in self.workers])
        return merge(batches)

    def close(self) -> None:
        try:
            self._ray.get([w.close.remote() for w in self.workers])
        finally:
            self._ray.shutdown()


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


@dataclass
class TrainResult:
    episodes: List[EpisodeStats] = field(default_factory=list)
    losses: List[float] = field(default_factory=list)
    forbidden_actions: int = 0
    checked_actions: int = 0
    trace_lines: int = 0  # written in all
    trace_files: List[Path] = field(default_factory=list)  # as they lie on disk after the run
    trace_lines_kept: int = 0  # counted in trace_files
    seconds: float = 0.0
    plot: Optional[Path] = None
    non_finite_gradients: Optional[int] = None  # rllib: gradient tensors with a NaN or infinity
    gradients_checked: int = 0
    setup_seconds: float = 0.0  # rllib: Ray's start and the algorithm's build (part of `seconds`)
    cpu_seconds: float = 0.0  # rllib: processor time of the iterations, this process and the env runners
    runner_modules: List[str] = field(default_factory=list)  # rllib: the module's file in each env runner
    discarded_actions: int = 0  # rllib: computed for an episode's last observation, checked, and dropped
    layouts: int = 0  # rllib: distinct episode layouts (start and pickup)
    rllib_metrics: Dict[str, float] = field(default_factory=dict)  # rllib: its own figures of the last iteration
    ray: str = ""  # rllib: which Ray the run used (its own instance, or the cluster it joined)
    runner_nodes: int = 0  # rllib: nodes the Ray env runners ran on
    learners: int = 0  # rllib: learner actors
    learner_nodes: int = 0
    learner_gradients: List[Tuple[int, int]] = field(default_factory=list)  # rllib: (checked, non-finite) per learner
    runners_killed: int = 0  # rllib: env runner processes killed on purpose
    runner_restarts: int = 0  # rllib: env runners RLlib brought back
    episodes_ended: int = 0  # rllib, with a kill: episodes that ended in the env runners (the ledger's count)
    episodes_received: int = 0  # rllib: episodes handed back to this process (RLlib's count), all trained on
    sampling_cpu_seconds: float = 0.0  # rllib, with learner actors: this process and the env runners
    learning_cpu_seconds: float = 0.0  # rllib, with learner actors: the learners
    samples_trained: int = 0  # rllib: rows the learners trained on, every epoch's (RLlib's count)


    def window(self, first: bool) -> List[EpisodeStats]:
        n = max(1, len(self.episodes) // 10)
        return self.episodes[:n] if first else self.episodes[-n:]


def train(config: Config) -> TrainResult:
    if config.engine == "rllib":
        import rllib_engine

        return rllib_engine.train(config)
    start = time.perf_counter()
    torch.manual_seed(config.seed)
    torch.set_num_threads(1)
    config.output.mkdir(parents=True, exist_ok=True)

    agent = DroneAgent()
    asyncio.run(agent.setup())
    policy = agent.make_policy()
    optimizer = torch.optim.Adam(policy.parameters(), lr=config.learning_rate)

    collector: LocalCollector | RayCollector = (
        RayCollector(config) if config.workers > 0 else LocalCollector(config, agent)
    )
    result = TrainResult()
    total = config.iterations * config.episodes_per_iteration
    progress = _progress(total, config.progress)
    try:
        for _ in range(config.iterations):
            batch = collector.collect({k: v.detach().clone() for k, v in policy.state_dict().items()})
            result.losses.append(policy_gradient_step(agent, policy, optimizer, batch, config.entropy_coef))
            result.episodes.extend(batch.episodes)
            result.forbidden_actions += batch.forbidden_actions
            result.checked_actions += batch.checked_actions
            result.trace_lines = batch.trace_lines
            progress.update(len(batch.episodes))
            progress.set_postfix(
                {
                    "return": f"{np.mean([e.episode_return for e in batch.episodes]):+.2f}",
                    "delivered": f"{np.mean([e.delivered for e in batch.episodes]):.0%}",
                }
            )
    finally:
        progress.close()
        collector.close()
    result.trace_files = trace_files(collector.trace_files)
    result.trace_lines_kept = count_lines(result.trace_files)
    result.seconds = time.perf_counter() - start
    if config.plot:
        result.plot = plot_learning_curve(result, config, config.output / "learning_curve.png")
    return result


def _progress(total: int, enabled: bool) -> Any:
    from tqdm import tqdm

    return tqdm(total=total, unit="episode", file=sys.stderr, disable=not enabled, dynamic_ncols=True)


def moving_average(values: Sequence[float], window: int) -> npt.NDArray[np.float64]:
    data = np.asarray(values, dtype=np.float64)
    window = max(1, min(window, len(data)))
    cumulative = np.cumsum(np.insert(data, 0, 0.0))
    head = cumulative[1:window] / np.arange(1, window)
    tail = (cumulative[window:] - cumulative[:-window]) / window
    return np.concatenate([head, tail])


def plot_learning_curve(result: TrainResult, config: Config, path: Path) -> Path:
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    returns = [e.episode_return for e in result.episodes]
    delivered = [float(e.delivered) for e in result.episodes]
    window = max(10, len(returns) // 20)
    x = np.arange(1, len(returns) + 1)
    fig = Figure(figsize=(8, 6.5))
    axes = fig.subplots(2, 1, sharex=True, height_ratios=(2, 1), squeeze=False)
    top, bottom = axes[0, 0], axes[1, 0]
    fig.suptitle(
        f"Delivery drone trained through space_utils\n"
        f"seed {config.seed}, {_where(config)}, {_per_update(config)}, learning rate {config.learning_rate:g}",
        fontsize=11,
    )
    top.plot(x, returns, ".", color="tab:blue", alpha=0.15, markersize=3, label="return of each episode")
    top.plot(x, moving_average(returns, window), color="tab:blue", label=f"moving average ({window} episodes)")
    top.set_title("Episode return", fontsize=10)
    top.set_ylabel("return")
    top.legend(loc="lower right")
    top.grid(alpha=0.3)
    bottom.plot(x, moving_average(delivered, window), color="tab:green")
    bottom.set_title(f"Parcels delivered: share of episodes, moving average over {window} episodes", fontsize=10)
    bottom.set_ylabel("delivered")
    bottom.set_ylim(-0.05, 1.05)
    bottom.yaxis.set_major_formatter(PercentFormatter(1.0))
    bottom.set_xlabel("episode")
    bottom.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return path


def summary(result: TrainResult, config: Config) -> str:
    def stats(episodes: List[EpisodeStats]) -> str:
        mean = _mean_return(episodes)
        rate = np.mean([e.delivered for e in episodes])
        steps = np.mean([e.steps for e in episodes])
        return f"return {mean:+6.2f}   delivered {rate:4.0%}   steps {steps:4.1f}"

    first, last = result.window(True), result.window(False)
    rise = _mean_return(last) - _mean_return(first)
    lines = [
        f"Trained the delivery drone on {len(result.episodes)} episodes "
        f"({config.iterations} iterations, {_where(config)}, seed {config.seed}) in {result.seconds:.1f} s",
        f"  first {len(first):>4} episodes: {stats(first)}",
        f"  last  {len(last):>4} episodes: {stats(last)}",
        f"  mean return rose by {rise:.2f}" if rise > 0 else f"  mean return did not rise ({rise:+.2f})",
        f"  forbidden actions taken: {result.forbidden_actions} "
        f"(every one of {result.checked_actions} actions passed action_fits_mask)",
        _trace_summary(result),
    ]
    if config.engine == "rllib":
        lines[-2] += (
            f";\n    {result.discarded_actions} more, computed by RLlib for an episode's last observation and "
            f"dropped, passed as well"
        )
        lines.append(f"  episode layouts: {result.layouts} distinct of {len(result.episodes)} episodes")
    if result.rllib_metrics:
        m = result.rllib_metrics
        lines.append(
            "  RLlib, last iteration: "
            + ", ".join(f"{name} {m[key]:+.4f}" for key, name in _RLLIB_METRICS if key in m)
        )
    if result.non_finite_gradients is not None:
        lines.append(
            f"  non-finite gradients seen: {result.non_finite_gradients} "
            f"(of {result.gradients_checked} gradient tensors; every parameter finite after every update)"
        )
        if len(result.learner_gradients) > 1:
            lines[-1] += "; by learner: " + ", ".join(
                f"{bad} of {checked}" for checked, bad in result.learner_gradients
            )
    if result.ray:
        lines.append(f"  Ray: {result.ray}")
        if config.workers > 0:
            lines[-1] += f"; env runners on {result.runner_nodes} node{'s' if result.runner_nodes != 1 else ''}"
        learners = (
            f"{result.learners} learner actors on {result.learner_nodes} node{'s' if result.learner_nodes != 1 else ''}"
            if result.learners
            else "the learner in this process"
        )
        lines[-1] += f", {learners}"
    if config.kill_runner_in:
        lost = result.episodes_ended - result.episodes_received
        lines.append(
            f"  env runners killed: {result.runners_killed} (during iteration {config.kill_runner_in}), "
            f"restarted: {result.runner_restarts}; episodes lost with the killed runner: {lost} "
            f"(ended there, never handed back; {result.episodes_received} of {result.episodes_ended} "
            f"reached this process and were trained on)"
        )
    if result.plot is not None:
        lines.append(f"  learning curve: {_show(result.plot)}")
    return "\n".join(lines)


_RLLIB_METRICS = (
    ("episode_return_mean", "mean episode return"),
    ("policy_loss", "policy loss"),
    ("mean_kl_loss", "mean KL"),
    ("entropy", "entropy"),
)


def _trace_summary(result: TrainResult) -> str:
    files = ", ".join(_show(p) for p in result.trace_files) or "no file"
    if result.trace_lines_kept == result.trace_lines:
        return f"  make_np_array trace: {result.trace_lines} lines in {files}"
    return (
        f"  make_np_array trace: {result.trace_lines} lines written; the last {result.trace_lines_kept} "
        f"are in {files} (older ones were dropped as the files rotated)"
    )


def _where(config: Config) -> str:
    if config.engine == "rllib":
        runners = "the local env runner" if config.workers == 0 else f"{config.workers} Ray env runner"
        runners += "s" if config.workers > 1 else ""
        if config.learners:
            runners += f", {config.learners} learner{'s' if config.learners > 1 else ''}"
        return f"RLlib PPO, {runners}"
    return "1 process" if config.workers == 0 else f"{config.workers} Ray workers"


def _per_update(config: Config) -> str:
    if config.engine == "rllib":
        return f"{config.episodes_per_iteration} episodes per iteration"
    return f"{config.episodes_per_iteration} episodes per update"


def _mean_return(episodes: List[EpisodeStats]) -> float:
    return float(np.mean([e.episode_return for e in episodes]))


def _show(path: Path) -> str:
    try:
        return str(path.resolve().relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def _int_at_least(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
        return value

    return parse


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def parse_args(argv: Optional[Sequence[str]] = None) -> Config:
    defaults = Config()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--iterations", type=_int_at_least(1), default=defaults.iterations, help="policy updates (%(default)s)"
    )
    parser.add_argument(
        "--episodes",
        type=_int_at_least(1),
        default=defaults.episodes_per_iteration,
        help="episodes per update (%(default)s)",
    )
    parser.add_argument(
        "--workers",
        type=_int_at_least(0),
        default=defaults.workers,
        help="collect episodes in N Ray workers (0: in this process; N > 0 needs Ray)",
    )
    parser.add_argument(
        "--max-steps", type=_int_at_least(1), default=defaults.max_steps, help="episode length limit (%(default)s)"
    )
    parser.add_argument(
        "--engine",
        choices=("pg", "rllib"),
        default=defaults.engine,
        help="pg: the policy-gradient learner of this example (default); rllib: RLlib's PPO (needs Ray)",
    )
    parser.add_argument(
        "--lr", type=_positive_float, default=None, help=f"learning rate ({defaults.learning_rate}; rllib: 0.001)"
    )
    parser.add_argument("--seed", type=_int_at_least(0), default=defaults.seed, help="random seed (%(default)s)")
    parser.add_argument("--output", type=Path, default=defaults.output, help="folder for the plot and trace logs")
    parser.add_argument(
        "--address",
        default=None,
        help="rllib: join the Ray cluster at this address (default: RAY_ADDRESS where set; else a Ray instance "
        "of the run's own, never a cluster found on the machine)",
    )
    parser.add_argument(
        "--learners",
        type=_int_at_least(0),
        default=defaults.learners,
        help="rllib: N learner actors, data-parallel (0: the learner in this process, the default)",
    )
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.add_argument("--no-trace", action="store_true", help="silence make_np_array's trace lines")
    args = parser.parse_args(argv)
    if args.engine == "rllib" and importlib.util.find_spec("ray") is None:
        parser.error(
            "argument --engine: the rllib engine needs Ray's RLlib, which is not installed "
            "(pip install 'kestrelix-train-space-utils[rllib]'); use --engine pg"
        )
    address = args.address or os.environ.get("RAY_ADDRESS") or None
    if args.engine != "rllib" and (args.address or args.learners):
        parser.error("arguments --address and --learners are the rllib engine's (--engine rllib)")
    if args.output.exists() and not args.output.is_dir():
        parser.error(f"argument --output: {args.output} exists and is not a folder")
    if args.workers > 0 and importlib.util.find_spec("ray") is None:
        parser.error(
            "argument --workers: Ray workers need Ray, which is not installed "
            "(pip install 'kestrelix-train-space-utils[rllib]'); use --workers 0 to collect in this process"
        )
    return Config(
        iterations=args.iterations,
        episodes_per_iteration=args.episodes,
        workers=args.workers,
        max_steps=args.max_steps,
        learning_rate=args.lr if args.lr is not None else (RLLIB_LEARNING_RATE if args.engine == "rllib" else defaults.learning_rate),
        seed=args.seed,
        output=args.output,
        progress=not args.no_progress,
        trace=not args.no_trace,
        engine=args.engine,
        address=address if args.engine == "rllib" else None,
        learners=args.learners,
    )


def main(argv: Optional[Sequence[str]] = None) -> int:
    config = parse_args(argv)
    result = train(config)
    print(summary(result, config))
    return 0


if __name__ == "__main__":
    sys.exit(main())
