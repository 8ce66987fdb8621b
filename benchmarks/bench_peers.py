"""The module against what its users would write instead.

Run with:
    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/bench_peers.py

The other benchmarks compare the module with a Python rendering of its own
steps. Here each function is timed against the lines a user would otherwise
write for the same result: gymnasium's `spaces.utils`, RLlib's `space_utils`
(only where Ray is installed) and one-line dm-tree, numpy and torch idioms.
Every alternative is checked once, before timing, to give the module's
values (a finite fill value where the line uses one is noted beside it).

The module and its alternatives are timed in the same interleaved rounds
(benchmarks/_harness.py), torch on one thread. The table gives each one's
minimum over the rounds, the fastest alternative, the ratio (alternative
over module: above 1 the module is faster; the median of the ratios taken
within each round) and the geometric mean of the ratios. It prints as a
Markdown table, the form README.md shows.
"""

from __future__ import annotations

import contextlib
import gc
import math
import os
import platform
import sys
from dataclasses import dataclass, field
from typing import Callable, Optional

import gymnasium
import numpy as np
import torch
import tree
from _harness import CLOCK, ROUNDS, TARGET_S, interleaved, paired_ratio

from kestrelix_core import spaces as S
from kestrelix_train.utils import space_utils as su

try:  # RLlib only where Ray is installed
    from ray.rllib.utils.spaces.space_utils import unsquash_action as rllib_unsquash_action
except ImportError:
    rllib_unsquash_action = None

# The fill value RLlib's masking code adds for a forbidden action.
FLOAT_MIN = -3.4e38
INF = float("inf")


@dataclass
class Peer:
    name: str
    fn: Callable[[], object]
    # Brings the peer's result to the module's form before the comparison
    # (for a line that fills with a finite value instead of -inf).
    normalize: Optional[Callable[[object], object]] = None


@dataclass
class Match:
    work: str
    module: Callable[[], object]
    peers: list[Peer] = field(default_factory=list)
    # What the module and its alternatives run under (torch.no_grad for a rollout).
    mode: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext


# -- the comparison of results ------------------------------------------------


def same_values(a, b) -> bool:
    """Equal values, dtypes, shapes and structure (dict key order included)."""
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        return (isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor) and a.dtype == b.dtype
                and a.shape == b.shape and torch.equal(a, b))
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and a.shape == b.shape and np.array_equal(a, b))
    if isinstance(a, dict):
        return (isinstance(b, dict) and list(a) == list(b)
                and all(same_values(a[k], b[k]) for k in a))
    if isinstance(a, (tuple, list)):
        return (isinstance(b, (tuple, list)) and len(a) == len(b)
                and all(same_values(x, y) for x, y in zip(a, b)))
    return type(a) is type(b) and a == b


def finite_fill_as_inf(x):
    """A result filled with FLOAT_MIN (plus a logit) read as one filled with -inf."""
    return tree.map_structure(lambda t: torch.where(t <= FLOAT_MIN / 2, -INF, t), x)


def check(m: Match) -> None:
    with m.mode():
        expected = m.module()
        got_all = [p.fn() for p in m.peers]
    for p, got in zip(m.peers, got_all):
        if p.normalize:
            got = p.normalize(got)
        assert same_values(expected, got), f"{m.work}: {p.name} gives other values than the module"


# -- the cases ----------------------------------------------------------------


def vectors(n, widths, rng, dtype=np.float32):
    """A dict of n float vectors under keys in sorted order (dm-tree sorts them)."""
    return {f"k{i:02d}": rng.random(widths[i % len(widths)]).astype(dtype) for i in range(n)}


def cases() -> list[Match]:
    rng = np.random.default_rng(0)
    out = []

    # One observation: a dict of 32 float32 vectors.
    widths = [int(w) for w in rng.integers(1, 9, 32)]
    obs = vectors(32, widths, rng)
    gym_space = gymnasium.spaces.Dict(
        {k: gymnasium.spaces.Box(-INF, INF, v.shape, np.float32) for k, v in obs.items()})
    out.append(Match("one observation, dict of 32 float32 vectors → numpy",
                     lambda: su.flatten_object_numpy(obs), [
                         Peer("np.concatenate(tree.flatten(obs))", lambda: np.concatenate(tree.flatten(obs))),
                         Peer("gymnasium spaces.utils.flatten",
                              lambda: gymnasium.spaces.utils.flatten(gym_space, obs)),
                     ]))
    out.append(Match("the same → torch", lambda: su.flatten_object_torch(obs), [
        Peer("torch.cat([torch.from_numpy(x) for x in tree.flatten(obs)])",
             lambda: torch.cat([torch.from_numpy(x) for x in tree.flatten(obs)])),
        Peer("torch.from_numpy(np.concatenate(tree.flatten(obs)))",
             lambda: torch.from_numpy(np.concatenate(tree.flatten(obs)))),
    ]))

    # A batch: 16 leaves of (256, 6).
    batch = {f"k{i:02d}": rng.random((256, 6), dtype=np.float32) for i in range(16)}
    out.append(Match("batch, 16 leaves of (256, 6) → (256, 96) tensor", lambda: su.flatten_object_batch(batch), [
        Peer("torch.cat([torch.from_numpy(x) for x in tree.flatten(b)], dim=1)",
             lambda: torch.cat([torch.from_numpy(x) for x in tree.flatten(batch)], dim=1)),
        Peer("torch.from_numpy(np.concatenate(tree.flatten(b), axis=1))",
             lambda: torch.from_numpy(np.concatenate(tree.flatten(batch), axis=1))),
    ]))

    # An all-zero mask of 16 int8 heads.
    zeros = {f"k{i:02d}": np.zeros(8, np.int8) for i in range(16)}
    out.append(Match("mask all zero, 16 int8 heads", lambda: su.mask_all_zero(zeros), [
        Peer("not any(np.any(m) for m in tree.flatten(mask))",
             lambda: not any(np.any(m) for m in tree.flatten(zeros))),
        Peer("not any(m.any() for m in tree.flatten(mask))",
             lambda: not any(m.any() for m in tree.flatten(zeros))),
    ]))

    # A dict of 8 float32 Box actions.
    boxes = {f"box{i}": S.Box(-2.0, 6.0, (3,), np.float32) for i in range(8)}
    action = {k: rng.uniform(-1, 1, 3).astype(np.float32) for k in boxes}
    unsquash = [Peer("tree.map_structure(lambda a, s: np.clip(s.low + ...), action, spaces)",
                     lambda: tree.map_structure(
                         lambda a, s: np.clip(s.low + (a + 1.0) * (s.high - s.low) / 2.0, s.low, s.high),
                         action, boxes))]
    if rllib_unsquash_action is not None:
        gym_boxes = {k: gymnasium.spaces.Box(-2.0, 6.0, (3,), np.float32) for k in boxes}
        unsquash.append(Peer("RLlib unsquash_action", lambda: rllib_unsquash_action(action, gym_boxes)))
    out.append(Match("unsquash a dict of 8 `Box` actions", lambda: su.unsquash_action(action, boxes), unsquash))

    # Masks applied to torch logits.
    def float_mask(shape):
        return (torch.rand(shape) < 0.7).to(torch.float32)

    heads = {f"k{i:02d}": torch.randn(64, 8) for i in range(16)}
    head_masks = {k: float_mask((64, 8)) for k in heads}
    out.append(Match("apply mask, 16 heads of (64, 8), torch", lambda: su.apply_mask(heads, head_masks), [
        Peer("tree.map_structure(lambda l, m: l + torch.clamp(torch.log(m), min=FLOAT_MIN))",
             lambda: tree.map_structure(lambda l, m: l + torch.clamp(torch.log(m), min=FLOAT_MIN),
                                        heads, head_masks), normalize=finite_fill_as_inf),
        Peer("tree.map_structure(lambda l, m: torch.where(m.bool(), l, -inf))",
             lambda: tree.map_structure(lambda l, m: torch.where(m.bool(), l, -INF), heads, head_masks)),
    ]))

    logits = torch.randn(1024, 64)
    mask = float_mask((1024, 64))
    out.append(Match("apply mask, one (1024, 64) tensor", lambda: su.apply_mask(logits, mask), [
        Peer("torch.where(mask.bool(), logits, -inf)", lambda: torch.where(mask.bool(), logits, -INF)),
        Peer("logits + torch.clamp(torch.log(mask), min=FLOAT_MIN)",
             lambda: logits + torch.clamp(torch.log(mask), min=FLOAT_MIN), normalize=finite_fill_as_inf),
    ]))

    # Flat logits cut into a Dict of 8 Discrete(4): in a rollout (no_grad,
    # where one split gives the module's pieces) and in the training forward
    # pass (grad mode on, where only slices do: a split's pieces are the
    # outputs of one multi-output view, which autograd treats otherwise), with
    # logits that require grad and with logits that do not.
    space = S.Dict({f"a{i}": S.Discrete(4) for i in range(8)})
    names = list(space.spaces)
    flat = torch.randn(256, 32)
    trained = torch.randn(256, 32, requires_grad=True)

    def slices(t):
        return Peer("{n: logits[..., 4 * i:4 * i + 4] for i, n in enumerate(names)}",
                    lambda: {n: t[..., 4 * i:4 * i + 4] for i, n in enumerate(names)})

    out.append(Match("unpack logits (256, 32) into `Dict` of 8 `Discrete(4)`, rollout (`torch.no_grad()`)",
                     lambda: su.unpack_logits(flat, space), [
                         Peer("dict(zip(names, torch.split(logits, 4, dim=-1)))",
                              lambda: dict(zip(names, torch.split(flat, 4, dim=-1)))),
                         slices(flat)], mode=torch.no_grad))
    out.append(Match("the same, training forward pass (logits require grad)",
                     lambda: su.unpack_logits(trained, space), [slices(trained)]))
    out.append(Match("the same, grad mode on, logits without grad",
                     lambda: su.unpack_logits(flat, space), [slices(flat)]))
    return out


# -- timing and the table -------------------------------------------------------


def measure(m: Match, rounds: int = ROUNDS, target: float = TARGET_S) -> dict:
    fns = {"module": m.module, **{p.name: p.fn for p in m.peers}}
    with m.mode():
        stats = interleaved(fns, rounds, target)
    best = min((p.name for p in m.peers), key=lambda n: stats[n].min)
    return dict(work=m.work, module=stats["module"].min, best=best, best_time=stats[best].min,
                others=[(p.name, stats[p.name].min) for p in m.peers if p.name != best],
                ratio=paired_ratio(stats[best], stats["module"]))


def us(seconds: float) -> str:
    return f"{seconds * 1e6:.3g} µs" if seconds < 1e-4 else f"{seconds * 1e6:.0f} µs"


def print_table(rows: list[dict], out=None) -> None:
    out = out or sys.stdout
    print("| work | module | best alternative | ratio |", file=out)
    print("|---|---|---|---|", file=out)
    for r in rows:
        alt = f"`{r['best']}` {us(r['best_time'])}"
        if r["others"]:
            alt += " (" + "; ".join(f"`{n}` {us(t)}" for n, t in r["others"]) + ")"
        print(f"| {r['work']} | {us(r['module'])} | {alt} | {r['ratio']:.2f}x |", file=out)
    gmean = math.exp(sum(math.log(r["ratio"]) for r in rows) / len(rows))
    print(f"\nGeometric mean of the {len(rows)} ratios: {gmean:.2f}", file=out)
    versions = (f"Python {platform.python_version()}, numpy {np.__version__}, torch {torch.__version__}, "
                f"gymnasium {gymnasium.__version__}")
    if rllib_unsquash_action is not None:
        import ray
        versions += f", ray {ray.__version__}"
    else:
        versions += ", no Ray"
    print(f"({versions}; {ROUNDS} interleaved rounds of ~{TARGET_S * 1e3:.0f} ms per timing, {CLOCK} clock, "
          "one torch thread; times: minimum over the rounds; ratio: alternative / module, "
          "median of the per-round ratios)", file=out)


def main(argv) -> None:
    torch.set_num_threads(1)
    matches = cases()
    if argv:
        matches = [m for m in matches if any(a in m.work for a in argv)]
    for m in matches:
        check(m)
    gc.collect()
    rows = [measure(m) for m in matches]
    print_table(rows)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main(sys.argv[1:])
