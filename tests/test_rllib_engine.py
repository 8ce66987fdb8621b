"""The example trained with RLlib's PPO (examples/rllib_engine.py): a short
run on one Ray env runner, with the module on the policy's road."""
import sys
from collections import Counter
from pathlib import Path

import pytest

from kestrelix_train.utils import space_utils as su

pytest.importorskip("ray.rllib")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import train_drone  # noqa: E402
from test_example import ROAD  # noqa: E402

# What the learner, in this process, calls of the road; the env runner's
# share shows in its trace file and its counts.
LEARNER_ROAD = ROAD[ROAD.index("flatten_object_batch") : ROAD.index("apply_mask") + 1]


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
    assert result.checked_actions >= steps and result.forbidden_actions == 0
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


def _episode(engine, tmp_path, steps):
    """Observations of one episode of the environment, random actions."""
    env = engine.DroneEnv({"output": str(tmp_path)})
    observation, _ = env.reset(seed=3)
    seen = [observation]
    for _ in range(steps):
        observation, _, terminated, truncated, _ = env.step(env.action_space.sample())
        seen.append(observation)
        if terminated or truncated:
            break
    env.close()
    return env, seen


def test_environment_observations_lie_in_its_space(engine, tmp_path):
    env, seen = _episode(engine, tmp_path, 15)
    assert all(env.observation_space.contains(o) for o in seen)
    assert seen[0]["previous_skill"].tolist() == [-1] and seen[1]["previous_skill"].tolist() != [-1]


def test_module_masks_forbidden_choices_and_ppo_direction_of_kl_keeps_gradients_finite(engine, tmp_path):
    import torch
    from ray.rllib.core.columns import Columns

    env, seen = _episode(engine, tmp_path, 15)
    module = engine.DroneModule(observation_space=env.observation_space, action_space=env.action_space, model_config={})
    batch = {Columns.OBS: torch.utils.data.default_collate(seen)}
    out = module.forward_train(batch)
    inputs, masks = out[Columns.ACTION_DIST_INPUTS], out["action_mask"]
    masked = torch.cat([masks["skill"], masks["gear"]], dim=-1) == 0
    assert masked.any() and torch.isneginf(inputs[:, :5][masked]).all() and torch.isfinite(inputs[:, :5][~masked]).all()
    dist = module.get_train_action_dist_cls().from_logits(inputs)
    for _ in range(5):
        action = dist.sample()
        assert all(masks[k][torch.arange(len(seen)), action[k]].all() for k in ("skill", "gear"))
    previous = module.get_exploration_action_dist_cls().from_logits(inputs.detach())
    previous.kl(dist).mean().backward()
    assert all(torch.isfinite(p.grad).all() for p in module.pi.parameters())


def test_actions_that_do_not_fit_their_mask_stop_the_run(engine):
    import torch
    from ray.rllib.core.columns import Columns

    piece = engine.DroneActions()
    masks = {"skill": torch.tensor([[1, 0]]), "gear": torch.tensor([[0, 1, 1]]), "altitude": torch.ones(1, 1)}
    batch = {
        Columns.ACTIONS: {"skill": torch.tensor([0]), "gear": torch.tensor([2]), "altitude": torch.tensor([[1.5]])},
        "action_mask": masks,
    }
    out = piece(batch=dict(batch))
    assert out[Columns.ACTIONS_FOR_ENV]["altitude"].tolist() == [[120.0]] and "action_mask" not in out
    batch[Columns.ACTIONS] = dict(batch[Columns.ACTIONS], gear=torch.tensor([0]))
    with pytest.raises(RuntimeError, match="forbidden action"):
        piece(batch=batch)
