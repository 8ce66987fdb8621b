"""The example trained with RLlib's PPO (examples/rllib_engine.py): a short
run on one Ray env runner, with the module on the policy's road."""
import sys
from collections import Counter
from pathlib import Path

import pytest

from kestrelix_train.utils import space_utils as su

pytest.importorskip("ray.rllib")
# (a Ray older than the package takes makes its import fail: skipped too)
pytest.importorskip("kestrelix_train.rllib", exc_type=ImportError)
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import train_drone  # noqa: E402
from test_example import ROAD  # noqa: E402

# What the learner, in this process, calls of the road (the masks come from
# the batch); the env runner's share shows in its trace file and its counts.
LEARNER_ROAD = ["flatten_object_batch", "unpack_logits", "apply_mask"]


def test_short_ppo_run_keeps_the_module_on_the_road_and_the_gradients_finite(tmp_path, monkeypatch):
    calls = Counter()

    def counting(name, original):
        def wrapper(*args, **kwargs):
            calls[name] += 1
            return original(*args, **kwargs)

        return wrapper

    for name in LEARNER_ROAD:
        monkeypatch.setattr(su, name, counting(name, getattr(su, name)))
    config = train_drone.Config(
        iterations=2, episodes_per_iteration=2, max_steps=10, workers=1, output=tmp_path, progress=False,
        engine="rllib", learning_rate=train_drone.RLLIB_LEARNING_RATE,
    )
    result = train_drone.train(config)

    assert [name for name in LEARNER_ROAD if calls[name] == 0] == []
    steps = sum(e.steps for e in result.episodes)
    assert steps >= 2 * 2 * 10
    # every action the env runner sent passed action_fits_mask (one that
    # does not fit stops the run), and none was a forbidden gear
    assert result.checked_actions == steps and result.forbidden_actions == 0
    # one action dropped per sample() of two episodes: the first episode's last
    assert 2 * result.discarded_actions == len(result.episodes)
    assert result.gradients_checked > 0 and result.non_finite_gradients == 0
    # the env runner converted the simulator's values through the module
    assert "x===" in (tmp_path / "trace.runner1.log").read_text()
    text = train_drone.summary(result, config)
    assert "non-finite gradients seen: 0" in text and "forbidden actions taken: 0" in text
    assert (tmp_path / "learning_curve.png").read_bytes()[:4] == b"\x89PNG"


@pytest.fixture(scope="module")
def engine():
    import rllib_engine

    return rllib_engine


def _episode(engine, tmp_path, steps, config=None):
    """Observations of one episode of the environment, random actions."""
    env = engine.DroneEnv({"output": str(tmp_path), **(config or {})})
    observation, _ = env.reset(seed=3)
    seen = [observation]
    for _ in range(steps):
        observation, _, terminated, truncated, _ = env.step(env.action_space.sample())
        seen.append(observation)
        if terminated or truncated:
            break
    env.close()
    return env, seen


def test_environment_observations_lie_in_its_space_with_the_agents_mask(engine, tmp_path):
    env, seen = _episode(engine, tmp_path, 15)
    assert all(env.observation_space.contains(o) for o in seen)
    # the selector allows only its first child before the first choice
    assert seen[0]["action_mask"]["skill"].tolist() == [1, 0]


class _Context(dict):
    """What RLlib passes an environment: its settings and where it runs."""

    def __init__(self, worker, **settings):
        super().__init__(settings)
        self.worker_index, self.vector_index = worker, 0


def test_every_episode_has_a_new_layout_and_seeds_never_share_a_stream(engine, tmp_path):
    def starts(seed, worker, resets=3):
        env = engine.DroneEnv(_Context(worker, seed=seed, output=str(tmp_path)))
        # RLlib resets with seed + worker_index at every sample()
        found = [env.reset(seed=seed + worker)[0]["observations"]["pickup_range"].tobytes() for _ in range(resets)]
        env.close()
        return found

    runs = {(seed, worker): starts(seed, worker) for seed in (0, 1, 2) for worker in (1, 2)}
    layouts = [layout for found in runs.values() for layout in found]
    assert len(set(layouts)) == len(layouts)
