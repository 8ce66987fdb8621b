"""What the masked pieces know of the environment's spaces, worked out once:
the action space's parts in order, the widths of the policy's output and of
the distribution's inputs, which parts the observation's mask covers, and
how to gather the observation's leaves for flattening."""

from __future__ import annotations

from collections import OrderedDict
from typing import Any, Callable, Dict, List, Tuple

import gymnasium
import numpy as np
import torch
from kestrelix_core import spaces as core

Path = Tuple[Any, ...]


def _core(space: Any) -> Any:
    """A gymnasium action space rebuilt from the core library's classes (which
    give the width of each part in flat logits), in the same order."""
    if isinstance(space, gymnasium.spaces.Dict):
        return core.Dict(OrderedDict((key, _core(sub)) for key, sub in space.spaces.items()))
    if isinstance(space, gymnasium.spaces.Tuple):
        return core.Tuple([_core(sub) for sub in space.spaces])
    if isinstance(space, gymnasium.spaces.Discrete):
        if int(space.start) != 0:
            raise ValueError(f"a Discrete action must start at 0, not {space.start}")
        return core.Discrete(int(space.n))
    if isinstance(space, gymnasium.spaces.MultiDiscrete):
        if space.nvec.ndim != 1:
            raise ValueError(f"a MultiDiscrete action needs a one-dimensional nvec, not {space.nvec.shape}")
        return core.MultiDiscrete(space.nvec)
    if isinstance(space, gymnasium.spaces.Box):
        if len(space.shape) != 1:
            raise ValueError(f"a Box action needs one dimension (as RLlib's Gaussians do), not shape {space.shape}")
        return core.Box(space.low, space.high, space.shape, space.dtype)
    raise ValueError(f"no masked action distribution for {space}")


def _leaves(space: Any, path: Path = ()) -> List[Tuple[Path, Any]]:
    if isinstance(space, gymnasium.spaces.Dict):
        return [leaf for key, sub in space.spaces.items() for leaf in _leaves(sub, path + (key,))]
    if isinstance(space, gymnasium.spaces.Tuple):
        return [leaf for i, sub in enumerate(space.spaces) for leaf in _leaves(sub, path + (i,))]
    return [(path, space)]


def _pick(value: Any, path: Path) -> Any:
    for step in path:
        value = value[step]
    return value


def _feature_width(space: Any) -> int:
    """Columns of one observation leaf in the flattened batch."""
    if isinstance(space, gymnasium.spaces.Discrete):
        return int(space.n)
    if isinstance(space, gymnasium.spaces.MultiDiscrete):
        return int(np.sum(space.nvec))
    return int(np.prod(space.shape or (1,), dtype=np.int64))


def action_mask_space(action_space: Any) -> Any:
    """The observation space of a mask covering every discrete part of
    ``action_space``: a ``Box(0, 1, (n,), int8)`` for a ``Discrete(n)``, a
    ``Box(0, 1, (sum(nvec),), int8)`` for a ``MultiDiscrete`` (one entry per
    choice, dimension after dimension), a ``Dict`` with the keys of the
    discrete parts, and a ``Tuple`` of every member (a ``Box`` member's entry
    is ignored). A mask may also leave out keys of a ``Dict``: those parts
    are not masked."""
    if isinstance(action_space, gymnasium.spaces.Dict):
        parts = OrderedDict(
            (key, action_mask_space(sub))
            for key, sub in action_space.spaces.items()
            if not isinstance(sub, gymnasium.spaces.Box)
        )
        return gymnasium.spaces.Dict(parts)
    if isinstance(action_space, gymnasium.spaces.Tuple):
        return gymnasium.spaces.Tuple([action_mask_space(sub) for sub in action_space.spaces])
    if isinstance(action_space, gymnasium.spaces.Box):
        return gymnasium.spaces.Box(0, 1, (1,), np.int8)
    return gymnasium.spaces.Box(0, 1, (_core(action_space).size,), np.int8)


def _one_hot(n: int) -> Callable[[torch.Tensor], torch.Tensor]:
    return lambda value: torch.nn.functional.one_hot(value.long(), n)


def _observation_leaf(space: Any) -> Callable[[torch.Tensor], torch.Tensor] | None:
    """How a batch of one leaf becomes (B, features): None where it already
    is, or where flatten_object_batch flattens it as it is."""
    if isinstance(space, gymnasium.spaces.Discrete):
        n, start = int(space.n), int(space.start)
        return lambda value: torch.nn.functional.one_hot(value.long().reshape(-1) - start, n)
    if isinstance(space, gymnasium.spaces.MultiDiscrete):
        hots = [_one_hot(int(n)) for n in space.nvec.reshape(-1)]
        return lambda value: torch.cat(
            [hot(column) for hot, column in zip(hots, value.reshape(len(value), -1).unbind(-1))], dim=-1
        )
    if len(space.shape or ()) == 0:
        return lambda value: value.reshape(-1, 1)
    return None


class FlatObservationSpace(gymnasium.spaces.Box):
    """The convention's observation space as ``FlattenMaskedObservations``
    puts it out: one float32 ``Box``, the observations' leaves flattened in
    the space's order (``Discrete`` and ``MultiDiscrete`` one-hot), then the
    mask's parts in the action space's order. ``nested`` is the space it
    came from, so that a module built on this space also takes the
    environment's own observations (a module loaded from a checkpoint,
    say)."""

    def __init__(self, nested: Any, features: int, mask_width: int) -> None:
        super().__init__(-np.inf, np.inf, (features + mask_width,), np.float32)
        self.nested = nested


def _numpy_leaf(space: Any) -> Callable[[Any], Any]:
    """How one observation's leaf becomes a flat numpy array, as
    ``_observation_leaf`` does for a batch."""
    if isinstance(space, gymnasium.spaces.Discrete):
        n, start = int(space.n), int(space.start)
        return lambda value: np.eye(n, dtype=np.float32)[int(value) - start]
    if isinstance(space, gymnasium.spaces.MultiDiscrete):
        eyes = [np.eye(int(n), dtype=np.float32) for n in space.nvec.reshape(-1)]
        return lambda value: np.concatenate([eye[int(v)] for eye, v in zip(eyes, np.ravel(value))])
    return np.asarray


class MaskedSpaces:
    """The action space's parts and the mask's coverage, for one pair of
    spaces. ``observation_space`` is the ``Dict`` with ``observations`` and
    ``action_mask``; ``action_space`` the action space (gymnasium)."""

    def __init__(self, observation_space: Any, action_space: Any) -> None:
        if isinstance(observation_space, FlatObservationSpace):
            observation_space = observation_space.nested
        if not (
            isinstance(observation_space, gymnasium.spaces.Dict)
            and "observations" in observation_space.spaces
            and "action_mask" in observation_space.spaces
        ):
            raise ValueError(
                "the observation space must be a Dict with 'observations' and 'action_mask', "
                f"not {observation_space}"
            )
        self.action_space = action_space
        self.core_action_space = _core(action_space)
        leaves = _leaves(action_space)
        self.keys = [str(i) for i in range(len(leaves))]
        self.paths = [path for path, _ in leaves]
        self.nested = isinstance(action_space, (gymnasium.spaces.Dict, gymnasium.spaces.Tuple))
        parts = OrderedDict((key, _core(space)) for key, (_, space) in zip(self.keys, leaves))
        self.parts = core.Dict(parts)
        self.boxes = [key for key, space in parts.items() if isinstance(space, core.Box)]
        self.box_spaces = {key: parts[key] for key in self.boxes}
        # the distribution's inputs: masked logits; a Gaussian's means and
        # log standard deviations side by side
        self.inputs = core.Dict(
            OrderedDict(
                (key, core.Box(-np.inf, np.inf, (2 * space.size,), np.float32) if key in self.box_spaces else space)
                for key, space in parts.items()
            )
        )
        self.masked = self._masked(observation_space["action_mask"], action_space, ())
        self.masked_space = core.Dict(OrderedDict((key, parts[key]) for key, _ in self.masked))
        self.multi = {key for key, _ in self.masked if isinstance(parts[key], core.MultiDiscrete)}
        self.multi_parts = {key for key, space in parts.items() if isinstance(space, core.MultiDiscrete)}
        observations = _leaves(observation_space["observations"])
        self.observation_paths = [path for path, _ in observations]
        self.observation_leaves = [_observation_leaf(space) for _, space in observations]
        self.feature_width = sum(_feature_width(space) for _, space in observations)
        self.numpy_leaves = [_numpy_leaf(space) for _, space in observations]
        self.structured_mask = not isinstance(observation_space["action_mask"], gymnasium.spaces.Box)
        mask_leaves = [_pick(observation_space["action_mask"], path) for _, path in self.masked]
        self.mask_width = sum(int(np.prod(leaf.shape)) for leaf in mask_leaves)

    def output_space(self, free_log_std: bool) -> Any:
        """The policy network's output: logits, and each Gaussian's means
        (and its log standard deviations, unless those are free parameters)."""
        return core.Dict(
            OrderedDict(
                (key, space if key not in self.box_spaces or free_log_std else self.inputs[key])
                for key, space in self.parts.spaces.items()
            )
        )

    def _masked(self, mask_space: Any, action_space: Any, path: Path) -> List[Tuple[str, Path]]:
        """(part key, path in the mask) of every masked discrete part."""
        if isinstance(action_space, gymnasium.spaces.Dict):
            if not isinstance(mask_space, gymnasium.spaces.Dict) or not set(mask_space.spaces) <= set(action_space):
                raise ValueError(f"the mask at {list(path)} must be a Dict with keys of {list(action_space.spaces)}")
            return [
                found
                for key in action_space.spaces
                if key in mask_space.spaces
                for found in self._masked(mask_space[key], action_space[key], path + (key,))
            ]
        if isinstance(action_space, gymnasium.spaces.Tuple):
            if not isinstance(mask_space, gymnasium.spaces.Tuple) or len(mask_space) != len(action_space):
                raise ValueError(f"the mask at {list(path)} must be a Tuple of {len(action_space)} entries")
            return [
                found for i in range(len(action_space)) for found in self._masked(mask_space[i], action_space[i], path + (i,))
            ]
        if isinstance(action_space, gymnasium.spaces.Box):
            return []
        width = _core(action_space).size
        if not isinstance(mask_space, gymnasium.spaces.Box) or mask_space.shape != (width,):
            raise ValueError(f"the mask at {list(path)} must be a Box of shape ({width},), not {mask_space}")
        return [(self.keys[self.paths.index(path)], path)]

    # -- batches ------------------------------------------------------------

    def features(self, observations: Any, flatten: Callable[[Any], torch.Tensor]) -> torch.Tensor:
        """A batch of observations as (B, features) float32, flattened in the
        space's order (whatever the batch's key order); a batch that
        ``FlattenMaskedObservations`` flattened already is taken as it is."""
        if isinstance(observations, torch.Tensor) and observations.ndim == 2:
            if observations.shape[-1] == self.feature_width:
                return observations.to(torch.float32)
        leaves = []
        for path, convert in zip(self.observation_paths, self.observation_leaves):
            value = _pick(observations, path)
            leaves.append(value if convert is None else convert(value))
        return flatten(leaves).to(torch.float32)

    def masks(self, mask: Any, unpack: Callable[[Any, Any], Any]) -> Dict[str, Any]:
        """The mask batch keyed by part: a MultiDiscrete part's as one slice
        per dimension. A structured mask flattened by
        ``FlattenMaskedObservations`` (one tensor) is cut by part."""
        if self.structured_mask and isinstance(mask, torch.Tensor):
            return dict(unpack(mask, self.masked_space))
        out = {}
        for key, path in self.masked:
            value = _pick(mask, path)
            out[key] = unpack(value, self.parts[key]) if key in self.multi else value
        return out

    def split(self, observation: Any) -> Tuple[Any, Any]:
        """(observations, mask) of a batch: the environment's own ``Dict``,
        or the one tensor of ``FlattenMaskedObservations``."""
        if isinstance(observation, torch.Tensor):
            return observation[..., : self.feature_width], observation[..., self.feature_width :]
        return observation["observations"], observation["action_mask"]

    def flat_observation(self, observation: Any, flatten: Callable[[Any], Any]) -> Any:
        """One observation of the convention as ``FlatObservationSpace`` holds it."""
        leaves = [convert(_pick(observation["observations"], path)) for path, convert in zip(self.observation_paths, self.numpy_leaves)]
        leaves += [np.asarray(_pick(observation["action_mask"], path)) for _, path in self.masked]
        return flatten(leaves).astype(np.float32, copy=False)

    def nest(self, parts: List[Any]) -> Any:
        """Parts in order, put back into the action space's structure."""
        if not self.nested:
            return parts[0]
        return self._nest(self.action_space, iter(parts))

    def _nest(self, space: Any, parts: Any) -> Any:
        # plain dicts in the space's order, as gymnasium's own samples are
        # (tree rebuilds an OrderedDict at a few times the cost of a dict,
        # and RLlib's pipeline rebuilds every action several times)
        if isinstance(space, gymnasium.spaces.Dict):
            return {key: self._nest(sub, parts) for key, sub in space.spaces.items()}
        if isinstance(space, gymnasium.spaces.Tuple):
            return tuple(self._nest(sub, parts) for sub in space.spaces)
        return next(parts)

    def flat(self, action: Any) -> Dict[str, Any]:
        """An action tree keyed by part."""
        if not self.nested:
            return {self.keys[0]: action}
        return {key: _pick(action, path) for key, path in zip(self.keys, self.paths)}
