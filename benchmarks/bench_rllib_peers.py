"""The drone's PPO training on the package's RLlib pieces against the same
training on the pieces RLlib users have:

    PYTHONPATH=build/dev/site .venv/bin/python benchmarks/bench_rllib_peers.py

- module: kestrelix_train.rllib's masked_ppo (FlattenMaskedObservations:
  flatten_object_numpy in the env runners; the RLModule: unpack_logits and
  apply_mask; MaskedDistribution: unpack_logits; the MaskedActions piece:
  unsquash_action and action_fits_mask);
- rllib: RLlib's FlattenObservations connector (the whole observation,
  the mask with it, into one vector in the env runners), RLlib's default PPO
  module with the mask added to its logits as RLlib's action-masking example
  does it (torch.clamp(torch.log(mask), min=FLOAT_MIN)), here over the
  nested mask with tree, and RLlib's default module-to-env pipeline
  (NormalizeAndClipActions unsquashes the altitude).

Everything else is equal: the example's environment, seed, iterations,
episodes, PPO settings and networks, two env runners and one learner actor
(so that the learner's processor time is its own). RLlib's free_log_std is
for Box action spaces only, so in both runs the policy puts the altitude's
log standard deviation out (the example itself keeps it a parameter).

Fresh processes, alternating, --runs of each (3). Each run reports the
processor time of sampling (this process and every env runner, over the
training iterations) per environment step, and of learning (the learner
actor) per trained sample (RLlib's count of the rows its minibatches held,
every epoch's), and the return of the last tenth of its episodes. The table
gives the medians, and the ratios rllib/module (above 1: the package's
pieces take less), each round's too.

Options: --runs N (3), --iterations N (40), --episodes N (32), --seed N (0).
Nothing here is asserted by the tests.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List, Optional

import gymnasium as gym
import torch
import tree
from ray.rllib.algorithms.ppo.torch.default_ppo_torch_rl_module import DefaultPPOTorchRLModule
from ray.rllib.core.columns import Columns
from ray.rllib.utils.spaces.space_utils import get_base_struct_from_space
from ray.rllib.utils.torch_utils import FLOAT_MIN

BENCHMARKS = Path(__file__).resolve().parent
ROOT = BENCHMARKS.parent
VARIANTS = ("module", "rllib")


# ---------------------------------------------------------------------------
# RLlib's own pieces (imported by every env runner and learner, from here)
# ---------------------------------------------------------------------------


class MaskingPPOModule(DefaultPPOTorchRLModule):  # type: ignore[misc]
    """RLlib's default PPO module behind FlattenObservations, masked as
    RLlib's action-masking example masks: the mask comes with the
    observation (flattened with it, first: tree's order puts
    "action_mask" before "observations"), and the log of each masked
    part, floored at FLOAT_MIN, is added to its logits."""

    def __init__(self, *, observation_space: Any = None, action_space: Any = None, **kwargs: Any) -> None:
        parts = get_base_struct_from_space(action_space)
        # the mask's structure: one entry per choice of every Discrete part
        self.mask_sizes = {key: int(part.n) for key, part in parts.items() if isinstance(part, gym.spaces.Discrete)}
        # the distribution's inputs of each part, in tree's order (RLlib's catalog)
        self.input_sizes = {
            key: int(part.n) if isinstance(part, gym.spaces.Discrete) else 2 * int(part.shape[0])
            for key, part in parts.items()
        }
        self.mask_width = sum(self.mask_sizes.values())
        self.observation_space_with_mask = observation_space
        width = int(observation_space.shape[0]) - self.mask_width
        observations = gym.spaces.Box(-float("inf"), float("inf"), (width,), "float32")
        super().__init__(observation_space=observations, action_space=action_space, **kwargs)

    def setup(self) -> None:
        super().setup()
        self.observation_space = self.observation_space_with_mask

    def _split(self, batch: Dict[str, Any]) -> tuple[Any, Dict[str, Any]]:
        flat = batch[Columns.OBS]
        sizes = tree.flatten(self.mask_sizes)  # in tree's order, as FlattenObservations put them
        pieces = torch.split(flat[..., : self.mask_width], sizes, dim=-1)
        mask = tree.unflatten_as(self.mask_sizes, list(pieces))
        return mask, {**batch, Columns.OBS: flat[..., self.mask_width :]}

    def _mask(self, out: Dict[str, Any], mask: Any) -> Dict[str, Any]:
        inf_mask = tree.map_structure(lambda m: torch.clamp(torch.log(m), min=FLOAT_MIN), mask)
        logits = out[Columns.ACTION_DIST_INPUTS]
        added = {
            key: inf_mask[key] if key in inf_mask else logits.new_zeros((*logits.shape[:-1], size))
            for key, size in self.input_sizes.items()
        }
        out[Columns.ACTION_DIST_INPUTS] = logits + torch.cat(tree.flatten(added), dim=-1)
        return out

    def _forward(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        mask, batch = self._split(batch)
        return self._mask(super()._forward(batch, **kwargs), mask)

    def _forward_train(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        mask, batch = self._split(batch)
        return self._mask(super()._forward_train(batch, **kwargs), mask)

    def compute_values(self, batch: Dict[str, Any], embeddings: Any = None) -> Any:
        if embeddings is None:
            _, batch = self._split(batch)
        return super().compute_values(batch, embeddings)


def _flatten_observations(env: Any = None, spaces: Any = None, device: Any = None) -> Any:
    from ray.rllib.connectors.env_to_module import FlattenObservations

    return FlattenObservations()


def _same_networks(config: Any) -> Dict[str, Any]:
    # RLlib's free_log_std is for Box action spaces only: in both runs the
    # policy puts the altitude's standard deviation out
    model = {key: value for key, value in dict(config.model_config).items() if key != "initial_std"}
    return {**model, "free_log_std": False}


def module_pieces(config: Any) -> Any:
    """The package's pieces put into the example's PPOConfig, with the
    networks of RLlib's run."""
    import kestrelix_train.rllib as kr

    return kr.masked_ppo(config.rl_module(model_config=_same_networks(config)))


def rllib_pieces(config: Any) -> Any:
    """RLlib's own pieces put into the example's PPOConfig."""
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec

    return (
        config.framework("torch")
        .rl_module(rl_module_spec=RLModuleSpec(module_class=MaskingPPOModule), model_config=_same_networks(config))
        .env_runners(env_to_module_connector=_flatten_observations)
    )


# ---------------------------------------------------------------------------
# One run, and the runs
# ---------------------------------------------------------------------------


def child(variant: str, argv: List[str]) -> None:
    sys.path.insert(0, str(ROOT / "examples"))
    import train_drone

    config = dataclasses.replace(train_drone.parse_args(argv), plot=False, learners=1)
    # by the module's name, so that Ray's workers import the classes, not copies of __main__'s
    import bench_rllib_peers

    pieces = bench_rllib_peers.rllib_pieces if variant == "rllib" else bench_rllib_peers.module_pieces
    config = dataclasses.replace(config, pieces=pieces)
    result = train_drone.train(config)
    steps = sum(e.steps for e in result.episodes)
    last = result.window(False)
    print(
        json.dumps(
            {
                "variant": variant,
                "sampling_us_per_step": 1e6 * result.sampling_cpu_seconds / steps,
                # per row the learner trained on (RLlib's count: every epoch's
                # rows, PPO's bootstrap rows with them)
                "learning_us_per_sample": 1e6 * result.learning_cpu_seconds / max(1, result.samples_trained),
                "samples_trained": result.samples_trained,
                "steps": steps,
                "episodes": len(result.episodes),
                "last_return": statistics.fmean(e.episode_return for e in last),
                "last_delivered": statistics.fmean(float(e.delivered) for e in last),
                "last_window": len(last),
                "forbidden_actions": result.forbidden_actions,
                "non_finite_gradients": result.non_finite_gradients,
                "seconds": result.seconds,
            }
        )
    )


def run(variant: str, argv: List[str]) -> Dict[str, Any]:
    env = dict(os.environ)
    # the env runners and the learner import this file (RLlib's pieces)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(BENCHMARKS), env.get("PYTHONPATH", "")) if p)
    done = subprocess.run(
        [sys.executable, __file__, "--child", variant, *argv], env=env, capture_output=True, text=True, cwd=ROOT
    )
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        sys.stderr.write(done.stderr[-4000:])
        raise SystemExit(f"the {variant} run failed (exit status {done.returncode})")
    found: Dict[str, Any] = json.loads(lines[-1])
    return found


def table(results: Dict[str, List[Dict[str, Any]]]) -> str:
    def median(variant: str, key: str) -> float:
        return statistics.median(r[key] for r in results[variant])

    rows = [
        "| | module (µs) | rllib (µs) | rllib/module |",
        "|---|---|---|---|",
    ]
    for key, name in (("sampling_us_per_step", "sampling, per env step"), ("learning_us_per_sample", "learning, per trained sample")):
        module, rllib = median("module", key), median("rllib", key)
        ratios = ", ".join(f"{r[key] / m[key]:.2f}x" for m, r in zip(results["module"], results["rllib"]))
        rows.append(f"| {name} | {module:.1f} | {rllib:.1f} | {rllib / module:.2f}x (each round: {ratios}) |")
    for variant in VARIANTS:
        length = statistics.median(r["steps"] / r["episodes"] for r in results[variant])
        rows.append(f"| {variant}: steps per episode (median) | {length:.1f} | | |")
    for variant in VARIANTS:
        returns = ", ".join(f"{r['last_return']:+.2f}" for r in results[variant])
        forbidden = sum(r["forbidden_actions"] for r in results[variant])
        window = results[variant][0]["last_window"]
        rows.append(f"| {variant}: last {window} episodes' return, each run | {returns} | forbidden actions {forbidden} | |")
    return "\n".join(rows)


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--child"]:
        child(argv[1], argv[2:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--iterations", type=int, default=40)
    parser.add_argument("--episodes", type=int, default=32)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    output = tempfile.mkdtemp(prefix="bench_rllib_peers.")
    train_argv = [
        "--engine", "rllib", "--workers", "2", "--iterations", str(args.iterations), "--episodes",
        str(args.episodes), "--seed", str(args.seed), "--no-progress", "--no-trace", "--output", output,
    ]
    results: Dict[str, List[Dict[str, Any]]] = {variant: [] for variant in VARIANTS}
    for round_ in range(args.runs):
        for variant in VARIANTS:
            found = run(variant, train_argv)
            results[variant].append(found)
            print(
                f"round {round_ + 1} {variant:>6}: sampling {found['sampling_us_per_step']:.0f} µs/step, "
                f"learning {found['learning_us_per_sample']:.1f} µs/sample, last return {found['last_return']:+.2f}, "
                f"{found['steps'] / found['episodes']:.1f} steps/episode, {found['seconds']:.0f} s",
                flush=True,
            )
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
