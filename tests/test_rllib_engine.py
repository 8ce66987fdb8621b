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
