"""Actions and logits: unsquashing, logit unpacking and the selector mask.

Run with:
    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/bench_actions.py
"""

from __future__ import annotations

from collections import OrderedDict

import numpy as np
import torch
import tree
from _harness import Case, run_cases

from kestrelix_core import spaces as S
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su

BATCH = 256


# -- the same steps written directly in Python ------------------------------


def py_unsquash_action(action, action_space_struct):
    def map_(a, s):
        if isinstance(s, S.Box):
            if s.dtype == np.float32 or s.dtype == np.float64:
                a = s.low + (a + 1.0) * (s.high - s.low) / 2.0
                a = np.clip(a, s.low, s.high)
            elif np.issubdtype(s.dtype, np.integer):
                a = s.low + a
        return a

    if isinstance(action_space_struct, S.Tuple):
        return tuple(py_unsquash_action(a, s) for a, s in zip(action, action_space_struct))
    if isinstance(action_space_struct, (S.MultiDiscrete, S.Discrete)):
        return action
    return tree.map_structure(map_, action, action_space_struct)


def py_unsquash_action_batch(action_batch, action_space_struct):
    out = {}
    for key in action_batch.keys():
        out[key] = [py_unsquash_action(a.numpy(), action_space_struct[key]) for a in action_batch[key]]
    return out


def py_unpack_logits(logits, space):
    if isinstance(space, (S.Dict, S.Tuple)):
        if isinstance(space, S.Tuple) and isinstance(logits, (list, tuple)):
            return logits
        if isinstance(space, S.Dict) and isinstance(logits, dict):
            return logits
        offset = 0
        batch_dims = list(logits.shape[:-1])
        if isinstance(space, S.Tuple):
            u = []
            for sub in space.spaces:
                obs_slice = logits[..., offset : offset + sub.size]
                offset += sub.size
                u.append(py_unpack_logits(torch.reshape(obs_slice, batch_dims + list(sub.shape)), sub))
        else:
            u = OrderedDict()
            for key, sub in space.spaces.items():
                obs_slice = logits[..., offset : offset + sub.size]
                offset += sub.size
                u[key] = py_unpack_logits(torch.reshape(obs_slice, batch_dims + list(sub.shape)), sub)
        return u
    if isinstance(space, S.MultiDiscrete):
        u, offset = [], 0
        for n in space.nvec:
            u.append(logits[..., offset : offset + n])
            offset += n
        return u
    return logits


# -- the floors: the library calls the module still has to make -------------
#
# A floor times, alone and in their cheapest form, the calls into the
# collaborators that the module makes on a case: the core library's methods
# and attribute reads, tree.map_structure, torch's slicing and reshaping, and
# the isinstance() tests against the core library's abstract classes (which
# run Python code). It leaves out what the module's guarded native paths do
# instead of a call (numpy's arithmetic and clip on float Boxes, a Box's size
# and shape, the core library Dict's own iteration, a SkillSelector's
# methods, np.array of the selector mask).


def unsquash_leaf_floor(a, s):
    """What the module still asks of a leaf: the Box test, the dtype tests and the bounds (or the integer shift)."""
    if isinstance(s, S.Box):
        if s.dtype == np.float32 or s.dtype == np.float64:
            s.low, s.high
        elif np.issubdtype(s.dtype, np.integer):
            return s.low + a
    return a


def unsquash_floor(action, struct):
    if isinstance(struct, S.Tuple):
        return tuple(unsquash_floor(a, s) for a, s in zip(action, struct))
    return tree.map_structure(unsquash_leaf_floor, action, struct)


def native_box(space):
    return type(space) is S.Box


def record_unpack_calls(logits, space, ops=None):
    """The collaborator calls that unpacking makes, in order, for replay."""
    ops = [] if ops is None else ops
    ops.append((3, space, S.Dict))  # the abstract-class tests
    ops.append((3, space, S.Tuple))
    if isinstance(space, (S.Dict, S.Tuple)):
        offset, batch_dims = 0, list(logits.shape[:-1])
        members = space.spaces if isinstance(space, S.Tuple) else space.spaces.values()
        for sub in members:
            size = sub.size
            idx = (Ellipsis, slice(offset, offset + size))
            if not native_box(sub):
                ops += [(0, sub, "size"), (0, sub, "size"), (0, sub, "shape")]
            ops.append((1, logits, idx))
            offset += size
            shape = batch_dims + list(sub.shape)
            ops.append((2, logits[idx], shape))
            record_unpack_calls(torch.reshape(logits[idx], shape), sub, ops)
    elif isinstance(space, S.MultiDiscrete):
        offset = 0
        ops.append((0, space, "nvec"))
        for n in space.nvec:
            ops.append((1, logits, (Ellipsis, slice(offset, offset + n))))
            offset += n
    return ops


def replay(ops):
    def run():
        for kind, obj, arg in ops:
            if kind == 0:
                getattr(obj, arg)
            elif kind == 1:
                obj[arg]
            elif kind == 2:
                torch.reshape(obj, arg)
            else:
                isinstance(obj, arg)

    return run


def py_compute_selector_action_mask(previous_action, skill):
    if not skill.is_fixed_order():
        return [1] * len(list(skill.get_children_names()))
    selector_mask = [0] * len(list(skill.get_children_names()))
    if previous_action is None:
        selector_mask = [0] * len(list(skill.get_children_names()))
        selector_mask[0] = 1
    else:
        selector_mask[previous_action] = 1
        if skill.is_fixed_order():
            next_index = (previous_action + 1) % len(list(skill.get_children_names()))
            if next_index == 0:
                if skill.is_repeat():
                    selector_mask[next_index] = 1
            else:
                selector_mask[next_index] = 1
    return np.array(selector_mask, dtype=np.int8)


# -- inputs ------------------------------------------------------------------


def action_struct(n_leaves=16):
    """A dict of Box leaves (some with per-dimension bounds) and a few tuples."""
    struct, action = {}, {}
    rng = np.random.default_rng(0)
    for i in range(n_leaves - 4):
        dims = 1 + i % 4
        if i % 3 == 0:
            low = -rng.random(dims).astype(np.float32) * 5
            high = low + 1 + rng.random(dims).astype(np.float32) * 5
            struct[f"box{i}"] = S.Box(low=low, high=high, dtype=np.float32)
        else:
            struct[f"box{i}"] = S.Box(low=-2.0, high=6.0, shape=(dims,), dtype=np.float32)
        action[f"box{i}"] = rng.uniform(-1, 1, dims).astype(np.float32)
    struct["pair0"] = (S.Box(-1.0, 1.0, (2,), np.float64), S.Discrete(3))
    action["pair0"] = (rng.uniform(-1, 1, 2), 1)
    struct["pair1"] = (S.Box(0, 9, (3,), np.int64), S.Box(-3.0, 3.0, (1,), np.float32))
    action["pair1"] = (np.array([1, 2, 3]), np.array([0.5], np.float32))
    return action, struct


def logits_space(n_members=16):
    members = {}
    for i in range(n_members):
        kind = i % 4
        if kind == 0:
            members[f"d{i}"] = S.Discrete(3 + i % 5)
        elif kind == 1:
            members[f"m{i}"] = S.MultiDiscrete([2, 3, 4])
        elif kind == 2:
            members[f"b{i}"] = S.Box(-1.0, 1.0, (2, 2), np.float32)
        else:
            members[f"t{i}"] = S.Tuple((S.Discrete(2), S.Box(-1.0, 1.0, (3,), np.float32)))
    return S.Dict(members)


def cases():
    out = []

    boxes8 = {f"box{i}": S.Box(-2.0, 6.0, (3,), np.float32) for i in range(8)}
    action8 = {k: np.random.default_rng(1).uniform(-1, 1, 3).astype(np.float32) for k in boxes8}
    out.append(
        Case(
            "unsquash_action dict of 8 float32 Boxes",
            module=lambda: su.unsquash_action(action8, boxes8),
            python=lambda: py_unsquash_action(action8, boxes8),
            floor=lambda: unsquash_floor(action8, boxes8),
        )
    )

    action, struct = action_struct(16)
    out.append(
        Case(
            "unsquash_action dict of 16 leaves",
            module=lambda: su.unsquash_action(action, struct),
            python=lambda: py_unsquash_action(action, struct),
            floor=lambda: unsquash_floor(action, struct),
        )
    )

    tstruct = S.Tuple(tuple(S.Box(-2.0, 6.0, (2,), np.float32) for _ in range(8)))
    taction = [np.zeros(2, np.float32)] * 8
    out.append(
        Case(
            "unsquash_action Tuple of 8 boxes",
            module=lambda: su.unsquash_action(taction, tstruct),
            python=lambda: py_unsquash_action(taction, tstruct),
            floor=lambda: unsquash_floor(taction, tstruct),
        )
    )

    bstruct = {"move": S.Box(-2.0, 6.0, (3,), np.float32), "grip": S.Discrete(2)}
    batch = {"move": torch.rand(BATCH, 3) * 2 - 1, "grip": torch.randint(0, 2, (BATCH,))}
    out.append(
        Case(
            f"unsquash_action_batch 2 keys x {BATCH}",
            module=lambda: su.unsquash_action_batch(batch, bstruct),
            python=lambda: py_unsquash_action_batch(batch, bstruct),
        )
    )

    tspace = S.Tuple(tuple(S.Box(-1.0, 1.0, (4,), np.float32) for _ in range(8)))
    tlogits = torch.randn(BATCH, tspace.size)
    out.append(
        Case(
            f"unpack_logits Tuple of 8 Boxes, batch {BATCH}",
            module=lambda: su.unpack_logits(tlogits, tspace),
            python=lambda: py_unpack_logits(tlogits, tspace),
            floor=replay(record_unpack_calls(tlogits, tspace)),
        )
    )

    space = logits_space(16)
    logits = torch.randn(BATCH, space.size)
    out.append(
        Case(
            f"unpack_logits Dict of 16 members, batch {BATCH}",
            module=lambda: su.unpack_logits(logits, space),
            python=lambda: py_unpack_logits(logits, space),
            floor=replay(record_unpack_calls(logits, space)),
        )
    )

    # What a user writes instead for a Dict of Discrete heads: one split,
    # zipped with the names (the floor here is that line, not the module's
    # own library calls). Under no_grad the module cuts once as well.
    heads = S.Dict({f"head{i}": S.Discrete(4) for i in range(8)})
    head_logits = torch.randn(BATCH, heads.size)
    head_names = list(heads.spaces)

    def split_line():
        return dict(zip(head_names, torch.split(head_logits, 4, dim=-1)))

    def no_grad(fn):
        def run():
            with torch.no_grad():
                return fn()

        return run

    unpack_heads = lambda: su.unpack_logits(head_logits, heads)  # noqa: E731
    py_heads = lambda: py_unpack_logits(head_logits, heads)  # noqa: E731
    out.append(
        Case(f"unpack_logits Dict of 8 Discrete(4), batch {BATCH}", module=unpack_heads, python=py_heads, floor=split_line)
    )
    out.append(
        Case(
            f"unpack_logits Dict of 8 Discrete(4), batch {BATCH}, no_grad",
            module=no_grad(unpack_heads),
            python=no_grad(py_heads),
            floor=no_grad(split_line),
        )
    )
    mixed = S.Tuple((S.Box(-1.0, 1.0, (2, 3), np.float32), S.Discrete(5), S.Box(-1.0, 1.0, (4,), np.float32)))
    mixed_logits = torch.randn(BATCH, mixed.size)
    out.append(
        Case(
            f"unpack_logits Tuple of Boxes and Discrete, batch {BATCH}, no_grad",
            module=no_grad(lambda: su.unpack_logits(mixed_logits, mixed)),
            python=no_grad(lambda: py_unpack_logits(mixed_logits, mixed)),
            floor=no_grad(lambda: list(torch.split(mixed_logits, [6, 5, 4], dim=-1))),
        )
    )

    md = S.MultiDiscrete([3, 4, 5, 2, 2, 6])
    md_logits = torch.randn(BATCH, md.size)
    out.append(
        Case(
            f"unpack_logits MultiDiscrete(6), batch {BATCH}",
            module=lambda: su.unpack_logits(md_logits, md),
            python=lambda: py_unpack_logits(md_logits, md),
            floor=replay(record_unpack_calls(md_logits, md)),
        )
    )

    # A SkillSelector's mask is computed from the attributes its methods
    # read, and made without np.array: no library call is left to time.
    selector = SkillSelector([f"skill{i}" for i in range(8)], fixed_order=True, repeat=True)
    out.append(
        Case(
            "compute_selector_action_mask fixed order, 8 children",
            module=lambda: su.compute_selector_action_mask(3, selector),
            python=lambda: py_compute_selector_action_mask(3, selector),
        )
    )
    free = SkillSelector([f"skill{i}" for i in range(8)])
    out.append(
        Case(
            "compute_selector_action_mask unordered, 8 children",
            module=lambda: su.compute_selector_action_mask(3, free),
            python=lambda: py_compute_selector_action_mask(3, free),
        )
    )
    return out


if __name__ == "__main__":
    run_cases("actions and logits", cases())
