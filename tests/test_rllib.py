"""kestrelix_train.rllib: PPO through masked_ppo on a tiny environment of
the tests' own, for three action spaces, with a Ray env runner."""
import os
import subprocess
import sys
import time
from collections import OrderedDict
from pathlib import Path

import gymnasium as gym
import numpy as np
import pytest

pytest.importorskip("ray.rllib")
# (a Ray older than the package takes makes its import fail: skipped too)
pytest.importorskip("kestrelix_train.rllib", exc_type=ImportError)

import ray  # noqa: E402
import torch  # noqa: E402
from ray.rllib.algorithms.ppo import PPOConfig  # noqa: E402
from ray.rllib.algorithms.ppo.torch.ppo_torch_learner import PPOTorchLearner  # noqa: E402
from ray.rllib.core.columns import Columns  # noqa: E402

from ray.rllib.core.rl_module.rl_module import RLModule, RLModuleSpec  # noqa: E402

from kestrelix_train import rllib as kr  # noqa: E402
from kestrelix_train.utils import space_utils as su  # noqa: E402

TESTS = Path(__file__).resolve().parent
SPACES = {
    "discrete": gym.spaces.Discrete(4),
    "multi": gym.spaces.MultiDiscrete([3, 2, 4]),
    "nested": gym.spaces.Dict(
        {
            "gear": gym.spaces.Discrete(3),
            "switches": gym.spaces.MultiDiscrete([2, 3]),
            "lift": gym.spaces.Box(-1.0, 3.0, (2,), np.float32),
        }
    ),
}


def _random_mask(space, rng):
    """At least one allowed choice per categorical."""
    if isinstance(space, gym.spaces.Dict):
        return {key: _random_mask(sub, rng) for key, sub in space.spaces.items() if not isinstance(sub, gym.spaces.Box)}
    widths = [space.n] if isinstance(space, gym.spaces.Discrete) else list(space.nvec)
    parts = []
    for width in widths:
        part = (rng.random(width) < 0.5).astype(np.int8)
        part[rng.integers(width)] = 1
        parts.append(part)
    return np.concatenate(parts)


def _fits(action, mask, space):
    if isinstance(space, gym.spaces.Dict):
        return all(_fits(action[key], mask[key], space[key]) for key in mask)
    if isinstance(space, gym.spaces.Discrete):
        return mask[int(action)] == 1
    offsets = np.cumsum([0, *space.nvec[:-1]])
    return all(mask[offset + int(choice)] == 1 for offset, choice in zip(offsets, np.asarray(action)))


class Chooser(gym.Env):
    """Six steps; each step forbids some choices at random; the reward is
    the choices' sum (and the Box part's closeness to 1). A forbidden action
    is an error of the environment itself."""

    def __init__(self, config=None):
        config = dict(config or {})
        self.action_space = SPACES[config.get("space", "nested")]
        self.observation_space = gym.spaces.Dict(
            {
                "observations": gym.spaces.Dict(
                    {"level": gym.spaces.Box(-1.0, 1.0, (3,), np.float32), "phase": gym.spaces.Discrete(7)}
                ),
                "action_mask": kr.action_mask_space(self.action_space),
            }
        )
        self.rng = np.random.default_rng(config.get("seed", 0))
        self.t = 0

    def _observe(self):
        self.mask = _random_mask(self.action_space, self.rng)
        level = self.rng.uniform(-1, 1, 3).astype(np.float32)
        return {"observations": {"level": level, "phase": self.t}, "action_mask": self.mask}

    def reset(self, *, seed=None, options=None):
        self.t = 0
        return self._observe(), {}

    def step(self, action):
        if not _fits(action, self.mask, self.action_space):
            raise ValueError(f"forbidden action {action} under {self.mask}")
        flat = action if not isinstance(action, dict) else [action["gear"], *action["switches"]]
        reward = float(np.sum(flat)) - (float(np.abs(action["lift"] - 1).sum()) if isinstance(action, dict) else 0)
        self.t += 1
        return self._observe(), reward, False, self.t >= 6, {}


class CountingLearner(PPOTorchLearner):
    checked = non_finite = 0

    def compute_gradients(self, loss_per_module, **kwargs):
        gradients = super().compute_gradients(loss_per_module, **kwargs)
        for gradient in gradients.values():
            if gradient is not None:
                self.checked += 1
                self.non_finite += int(not torch.isfinite(gradient).all())
        return gradients


class Unmasked(kr.MaskedPPOModule):
    """Samples from logits with no mask, and hands the true masks to the
    connector piece (a misfit sooner or later)."""

    def _forward(self, batch, **kwargs):
        out = self._masked(batch, torch.zeros(1, 1, dtype=torch.bool), False)
        out["action_mask"] = self.spaces.masks(self.spaces.split(batch[Columns.OBS])[1], su.unpack_logits)
        return out


@pytest.mark.parametrize("space", SPACES)
def test_flattened_observations_give_the_module_what_the_environments_own_do(space):
    env = Chooser({"space": space, "seed": 3})
    piece = kr.FlattenMaskedObservations(env.observation_space, env.action_space)
    flat_space = piece.observation_space
    module = kr.MaskedPPOModule(
        observation_space=flat_space, action_space=env.action_space, model_config={"fcnet_hiddens": [8]}
    )
    observations = [env._observe() for _ in range(5)]
    flat = [module.spaces.flat_observation(o, su.flatten_object_numpy) for o in observations]
    assert all(flat_space.contains(f) for f in flat)

    def forward(batch):
        with torch.no_grad():
            return module.forward_exploration({Columns.OBS: torch.utils.data.default_collate(batch)})

    nested_out, flat_out = forward(observations), forward(flat)
    # the same features in the same order (the Discrete leaf one-hot), the same masks by part
    torch.testing.assert_close(flat_out[Columns.ACTION_DIST_INPUTS], nested_out[Columns.ACTION_DIST_INPUTS])
    torch.testing.assert_close(flat_out["action_mask"], nested_out["action_mask"], check_dtype=False)


@pytest.mark.parametrize("free_log_std", [False, True])
@pytest.mark.parametrize("order", [("lift", "gear", "switches"), ("gear", "lift", "switches")])
def test_distribution_inputs_keep_every_part_in_its_place(free_log_std, order):
    # a Gaussian part before the masked ones, or between them: its means and
    # log standard deviations (free or put out) and the masks must meet the
    # columns that the distribution takes them from
    known = {"lift": SPACES["nested"]["lift"], "gear": gym.spaces.Discrete(3), "switches": gym.spaces.MultiDiscrete([2, 3])}
    action_space = gym.spaces.Dict(OrderedDict((key, known[key]) for key in order))
    space = gym.spaces.Dict(
        {"observations": gym.spaces.Box(-1.0, 1.0, (3,), np.float32), "action_mask": kr.action_mask_space(action_space)}
    )
    config = {"fcnet_hiddens": [8], "free_log_std": free_log_std, "initial_std": 0.5}
    module = kr.MaskedPPOModule(observation_space=space, action_space=action_space, model_config=config)
    rng = np.random.default_rng(5)
    masks = [_random_mask(action_space, rng) for _ in range(6)]
    batch = {
        Columns.OBS: {
            "observations": torch.tensor(rng.uniform(-1, 1, (6, 3)), dtype=torch.float32),
            "action_mask": {key: torch.tensor(np.stack([m[key] for m in masks])) for key in ("gear", "switches")},
        },
        Columns.LOSS_MASK: torch.tensor([True, True, False, True, False, True]),
    }
    action = {"lift": torch.zeros(6, 2), "gear": torch.zeros(6, dtype=torch.long), "switches": torch.zeros(6, 2, dtype=torch.long)}
    # the policy's output, part after part: a Gaussian's means, then its log
    # standard deviations unless they are free
    widths = {"lift": 2 if free_log_std else 4, "gear": 3, "switches": 5}
    raw = module.pi(module._features(batch[Columns.OBS]["observations"])).detach()
    cut = dict(zip(order, raw.split([widths[key] for key in order], dim=-1)))
    mean = cut["lift"][:, :2]
    log_std = torch.full((6, 2), np.log(0.5)) if free_log_std else cut["lift"][:, 2:]
    for train in (False, True):
        out = module.forward_train(batch) if train else module.forward_exploration(batch)
        got = module.get_train_action_dist_cls().from_logits(out[Columns.ACTION_DIST_INPUTS]).logp(action)
        expected = torch.distributions.Normal(torch.tanh(mean), log_std.exp()).log_prob(action["lift"]).sum(-1)
        for row, mask in enumerate(masks):
            opened = train and not batch[Columns.LOSS_MASK][row]
            logits = [cut["gear"][row], *cut["switches"][row].split([2, 3])]
            allowed = np.split(np.concatenate([mask["gear"], mask["switches"]]).astype(np.float32), [3, 5])
            for part, ok in zip(logits, allowed):
                part = part if opened else part + torch.log(torch.from_numpy(ok))
                expected[row] += torch.log_softmax(part, -1)[0]
        torch.testing.assert_close(got.detach(), expected)


def test_categoricals_together_give_what_each_part_gives():
    # gear, lift, switches (gymnasium sorts the keys): 3, 2 + 2, 2 + 3 inputs
    space = gym.spaces.Dict(
        {"observations": gym.spaces.Box(-1.0, 1.0, (3,), np.float32), "action_mask": kr.action_mask_space(SPACES["nested"])}
    )
    module = kr.MaskedPPOModule(observation_space=space, action_space=SPACES["nested"], model_config={"fcnet_hiddens": [4]})
    cls = module.get_train_action_dist_cls()
    rng = torch.Generator().manual_seed(3)
    first, second = torch.randn(5, 12, generator=rng), torch.randn(5, 12, generator=rng)
    first[:, [1, 7, 11]] = -torch.inf  # forbidden choices of each kind of categorical
    second[:, [1, 7, 11]] = -torch.inf

    def parts(logits):
        cats = [torch.distributions.Categorical(logits=logits[:, a:b]) for a, b in ((0, 3), (7, 9), (9, 12))]
        lift = torch.distributions.Normal(torch.tanh(logits[:, 3:5]), logits[:, 5:7].clamp(-20, 20).exp())
        return cats, lift

    (p_cats, p_lift), (q_cats, q_lift) = parts(first), parts(second)
    p, q = cls.from_logits(first), cls.from_logits(second)
    action = p.sample()
    assert [tuple(action[k].shape) for k in ("gear", "lift", "switches")] == [(5,), (5, 2), (5, 2)]
    chosen = [action["gear"], action["switches"][:, 0], action["switches"][:, 1]]
    assert all(bool((c != f).all()) for c, f in zip(chosen, (1, 0, 2)))  # never a forbidden choice
    logp = sum(c.log_prob(v) for c, v in zip(p_cats, chosen)) + p_lift.log_prob(action["lift"]).sum(-1)
    entropy = sum(c.entropy() for c in p_cats) + p_lift.entropy().sum(-1)
    kl = sum(torch.distributions.kl_divergence(a, b) for a, b in zip(p_cats, q_cats))
    kl = kl + torch.distributions.kl_divergence(p_lift, q_lift).sum(-1)
    for got, want in ((p.logp(action), logp), (p.entropy(), entropy), (p.kl(q), kl)):
        torch.testing.assert_close(got, want)


@pytest.fixture(scope="module")
def cluster():
    env_vars = {"PYTHONPATH": os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")])}
    ray.init(address="local", num_cpus=2, include_dashboard=False, runtime_env={"env_vars": env_vars})
    yield
    ray.shutdown()


def _config(space, module_class=kr.MaskedPPOModule):
    config = PPOConfig().environment(Chooser, env_config={"space": space})
    try:
        config = config.learners(learner_class=CountingLearner)
    except TypeError:  # (older releases take it in training())
        config = config.training(learner_class=CountingLearner)
    return kr.masked_ppo(
        config.env_runners(num_env_runners=1)
        .fault_tolerance(restart_failed_env_runners=False)
        .training(train_batch_size_per_learner=96, minibatch_size=32, num_epochs=2)
        .rl_module(model_config={"fcnet_hiddens": [16], "vf_share_layers": space == "multi"})
        .debugging(seed=1)
    ).rl_module(rl_module_spec=RLModuleSpec(module_class=module_class))


def _masked_actions(module, episodes=20):
    """Actions of the module's deterministic and sampled choices on fresh
    observations, none forbidden."""
    env = Chooser({"space": _space_name(module.action_space), "seed": 7})
    for _ in range(episodes):
        observation, _ = env.reset()
        batch = {Columns.OBS: torch.utils.data.default_collate([observation])}
        inputs = module.forward_inference(batch)[Columns.ACTION_DIST_INPUTS]
        distribution = module.get_inference_action_dist_cls().from_logits(inputs)
        for action in (distribution.to_deterministic().sample(), distribution.sample()):
            action = torch.utils._pytree.tree_map(lambda t: t[0].numpy(), action)
            assert _fits(action, observation["action_mask"], env.action_space)


def _space_name(space):
    return next(name for name, known in SPACES.items() if known == space)


@pytest.mark.parametrize("space", SPACES)
def test_ppo_trains_without_forbidden_actions_and_its_module_loads_from_a_checkpoint(cluster, space, tmp_path):
    algo = _config(space).build_algo()
    try:
        for _ in range(2):
            result = algo.train()
        learner = algo.learner_group._learner
        assert learner.checked > 0 and learner.non_finite == 0
        assert np.isfinite(result["learners"]["default_policy"]["policy_loss"])
        algo.save_to_path(tmp_path)
    finally:
        algo.stop()
    module = RLModule.from_checkpoint(tmp_path / "learner_group" / "learner" / "rl_module" / "default_policy")
    assert type(module) is kr.MaskedPPOModule
    _masked_actions(module)


def test_checkpoint_goes_on_training_and_loads_without_ray_in_fresh_processes(cluster, tmp_path):
    algo = _config("nested").build_algo()
    try:
        algo.train()
        algo.save_to_path(tmp_path)
    finally:
        algo.stop()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    resumed = (
        "from ray.rllib.algorithms.algorithm import Algorithm; import ray, sys;"
        "ray.init(address='local', num_cpus=2, include_dashboard=False);"
        f"algo = Algorithm.from_checkpoint({str(tmp_path)!r}); before = algo.iteration; algo.train();"
        "print('iterations', before, algo.iteration); algo.stop()"
    )
    done = subprocess.run([sys.executable, "-c", resumed], env=env, capture_output=True, text=True, timeout=300)
    assert "iterations 1 2" in done.stdout, done.stderr[-3000:]
    plain = (
        "import ray, test_rllib; from ray.rllib.core.rl_module.rl_module import RLModule;"
        f"m = RLModule.from_checkpoint({str(tmp_path / 'learner_group/learner/rl_module/default_policy')!r});"
        "test_rllib._masked_actions(m, 50); print('cluster', ray.is_initialized())"
    )
    done = subprocess.run([sys.executable, "-c", plain], env=env, capture_output=True, text=True, timeout=300)
    assert "cluster False" in done.stdout, done.stderr[-3000:]


def test_forbidden_action_stops_the_run_and_its_cause_reaches_the_driver(cluster, capfd):
    algo = _config("nested", Unmasked).build_algo()
    try:
        with pytest.raises(Exception) as failure:
            for _ in range(3):
                algo.train()
        assert "ForbiddenActionError" in str(failure.value) or "died" in str(failure.value).lower()
        deadline, seen = time.monotonic() + 20, ""
        while "forbidden action" not in seen and time.monotonic() < deadline:
            time.sleep(0.5)
            seen += capfd.readouterr().err
        assert "the policy chose a forbidden action" in seen
    finally:
        algo.stop()


def test_spaces_out_of_reach_are_refused_by_name():
    mask = gym.spaces.Box(0, 1, (2,), np.int8)
    with pytest.raises(ValueError, match="must be a Box of shape"):
        kr.MaskedSpaces(gym.spaces.Dict({"observations": mask, "action_mask": mask}), gym.spaces.Discrete(3))
    with pytest.raises(ValueError, match="one dimension"):
        kr.MaskedSpaces(
            gym.spaces.Dict({"observations": mask, "action_mask": gym.spaces.Dict({})}),
            gym.spaces.Box(0, 1, (2, 2)),
        )
    with pytest.raises(TypeError, match="PPOConfig"):
        kr.masked_ppo(object())
