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
LEARNER_ROAD = ["unpack_logits", "apply_mask"]


def test_short_ppo_run_keeps_the_module_on_the_road_and_the_gradients_finite(tmp_path, monkeypatch):
    # a run without an address starts a Ray instance of its own, whatever
    # the machine points ray.init() to
    monkeypatch.setenv("RAY_ADDRESS", "127.0.0.1:9")
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
    assert "Ray: a Ray instance of its own on this machine; env runners on 1 node" in text
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


def test_a_killed_env_runner_is_restarted_and_its_unreturned_episodes_are_counted(tmp_path, monkeypatch):
    # the run silences the trace in this process too: undone after the test
    monkeypatch.setattr(su, "print", print, raising=False)
    config = train_drone.Config(
        iterations=3, episodes_per_iteration=8, max_steps=10, workers=2, output=tmp_path, progress=False,
        plot=False, trace=False, engine="rllib", learning_rate=train_drone.RLLIB_LEARNING_RATE, kill_runner_in=2,
    )
    result = train_drone.train(config)

    assert (result.runners_killed, result.runner_restarts) == (1, 1)
    # killed after it ended an episode of the second iteration, which never reached the driver
    assert result.episodes_ended > result.episodes_received >= len(result.episodes) > 0
    # the next iteration sampled on both runners again, with their full shares
    assert len(result.episodes) >= 2 * 8
    assert result.forbidden_actions == 0 and result.non_finite_gradients == 0
    # the restarted runner's environment does not replay its predecessor's layouts
    assert result.layouts == len(result.episodes)
    lost = result.episodes_ended - result.episodes_received
    assert f"restarted: 1; episodes lost with the killed runner: {lost} " in train_drone.summary(result, config)


class _Runners:
    """An env runner group as the driver sees it after an iteration."""

    def __init__(self, restarts, healthy):
        self.restarts, self.healthy = restarts, healthy

    def num_remote_worker_restarts(self):
        return self.restarts

    def num_healthy_remote_env_runners(self):
        return self.healthy


class _Ledger:
    def __init__(self, errors):
        self.errors = type("Method", (), {"remote": staticmethod(lambda: errors)})


@pytest.mark.parametrize(
    "restarts, healthy, errors, complaint",
    [
        (1, 2, [], None),  # the killed runner is back
        (0, 1, [], None),  # the killed runner is still on its way back
        (1, 1, [], "1 env runner\\(s\\) died without being killed on purpose"),
        (2, 2, [], "1 env runner\\(s\\) died without being killed on purpose"),
        (1, 2, [(2, "ForbiddenActionError: a forbidden action")], "env runner 2 failed: ForbiddenActionError"),
    ],
)
def test_with_restarts_on_any_failure_but_the_kill_stops_the_run(engine, monkeypatch, restarts, healthy, errors, complaint):
    monkeypatch.setattr(engine.ray, "get", lambda value: value)
    algo = type("Algo", (), {"env_runner_group": _Runners(restarts, healthy)})()
    config = train_drone.Config(workers=2, engine="rllib", kill_runner_in=2)
    if complaint is None:
        assert engine._check_runners(algo, config, _Ledger(errors), kills=1) == restarts
    else:
        with pytest.raises(RuntimeError, match=complaint):
            engine._check_runners(algo, config, _Ledger(errors), kills=1)


@pytest.mark.parametrize(
    "argv, environment, address",
    [
        ([], None, None),
        ([], "10.0.0.5:6379", "10.0.0.5:6379"),
        (["--address", "ray-head:6379"], "10.0.0.5:6379", "ray-head:6379"),
    ],
)
def test_only_an_address_given_to_the_example_joins_a_cluster(argv, environment, address, monkeypatch):
    if environment is None:
        monkeypatch.delenv("RAY_ADDRESS", raising=False)
    else:
        monkeypatch.setenv("RAY_ADDRESS", environment)
    assert train_drone.parse_args(["--engine", "rllib", *argv]).address == address
    # the default engine's Ray workers never join one
    assert train_drone.parse_args(["--workers", "1"]).address is None


def test_cluster_options_belong_to_the_rllib_engine(capsys):
    with pytest.raises(SystemExit):
        train_drone.parse_args(["--learners", "2"])
    assert "the rllib engine's" in capsys.readouterr().err
