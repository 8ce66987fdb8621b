"""The masked PPO RLModule and its action distribution."""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Dict, List, Optional

import torch
from ray.rllib.core.columns import Columns
from ray.rllib.core.distribution.torch.torch_distribution import (
    TorchCategorical,
    TorchDiagGaussian,
    TorchMultiCategorical,
    TorchMultiDistribution,
)
from ray.rllib.core.rl_module.apis.value_function_api import ValueFunctionAPI
from ray.rllib.core.rl_module.default_model_config import DefaultModelConfig
from ray.rllib.core.rl_module.torch import TorchRLModule
from ray.rllib.models.utils import get_activation_fn
from torch import nn

from kestrelix_train.rllib.spaces import MaskedSpaces, _pick
from kestrelix_train.utils import space_utils as su

# The forward pass's output that carries the masks to the module-to-env piece.
MASK_KEY = "action_mask"


class _Categoricals:
    """Every categorical of an action space's parts, a ``Discrete`` part's
    one and a ``MultiDiscrete`` part's one per dimension, as one torch
    ``Categorical`` of batch shape (..., k) over their logits padded with
    ``-inf`` to the widest: one normalisation, one log-probability, one
    entropy and one KL for all of them (each a few steps that autograd
    records once instead of once per categorical)."""

    def __init__(self, spaces: MaskedSpaces) -> None:
        self.parts: List[tuple[str, Optional[int]]] = []  # (key, dimensions of a MultiDiscrete, or None)
        columns: List[List[int]] = []
        start = 0
        for key, space in spaces.inputs.spaces.items():
            if key not in spaces.box_spaces:
                multi = key in spaces.multi_parts
                widths = [int(n) for n in space.nvec] if multi else [int(space.n)]
                self.parts.append((key, len(widths) if multi else None))
                offset = start
                for width in widths:
                    columns.append(list(range(offset, offset + width)))
                    offset += width
            start += int(space.size)
        widest = max((len(c) for c in columns), default=0)
        self.shape = (len(columns), widest)
        # the padding reads one column of -inf appended after the inputs
        self.padded = any(len(c) < widest for c in columns)
        self.index = torch.tensor([i for c in columns for i in c + [start] * (widest - len(c))], dtype=torch.long)
        self._on: Dict[Any, torch.Tensor] = {}

    def distribution(self, inputs: torch.Tensor) -> Any:
        index = self._on.get(inputs.device)
        if index is None:
            index = self._on[inputs.device] = self.index.to(inputs.device)
        if self.padded:
            inputs = torch.cat([inputs, inputs.new_full((*inputs.shape[:-1], 1), -math.inf)], dim=-1)
        logits = inputs.index_select(-1, index).unflatten(-1, self.shape)
        return torch.distributions.Categorical(logits=logits, validate_args=False)

    def values(self, parts: Dict[str, Any], batch: torch.Size) -> torch.Tensor:
        """The chosen indices of every categorical, (..., k)."""
        columns = [
            torch.as_tensor(parts[key]).reshape(*batch, dims or 1) for key, dims in self.parts
        ]
        return torch.cat(columns, dim=-1).long()

    def split(self, chosen: torch.Tensor) -> Dict[str, torch.Tensor]:
        """Indices of every categorical (..., k), by part."""
        pieces = chosen.split([dims or 1 for _, dims in self.parts], dim=-1)
        return {key: piece if dims else piece.squeeze(-1) for (key, dims), piece in zip(self.parts, pieces)}


class MaskedDistribution(TorchMultiDistribution):  # type: ignore[misc]
    """The action distribution over an action space's parts: a categorical
    per ``Discrete``, one per dimension of a ``MultiDiscrete``, a diagonal
    Gaussian per ``Box``, over inputs that ``unpack_logits`` cuts by part. A
    Gaussian's inputs are its means before ``tanh`` puts them into the
    normalised range -1..1, then its log standard deviations before they are
    clipped at ``log_std_clip``. The categoricals are computed together
    (one torch ``Categorical`` over all of them, its logits padded with
    ``-inf``); ``sample``, ``logp``, ``entropy`` and ``kl`` give what the
    parts' own distributions give summed, and the rest (``to_deterministic``,
    ``rsample``) goes through the parts' own. A space of one part gives that
    part's distribution itself. ``for_spaces`` binds the class to a module's
    spaces and clip."""

    spaces: Optional[MaskedSpaces] = None
    log_std_clip: float = math.inf
    categoricals: Optional[_Categoricals] = None

    @classmethod
    def for_spaces(cls, spaces: MaskedSpaces, log_std_clip: float = math.inf) -> type:
        namespace = {
            "spaces": spaces,
            "log_std_clip": float(log_std_clip),
            "categoricals": _Categoricals(spaces),
            "__module__": cls.__module__,
        }
        return type(cls.__name__, (cls,), namespace)

    def __init__(
        self,
        child_distribution_struct: Any = None,
        *,
        parts: Optional[Dict[str, Any]] = None,
        joint: Any = None,
        gaussians: Optional[Dict[str, Any]] = None,
    ) -> None:
        if child_distribution_struct is not None:
            # the parts' own distributions, as RLlib's multi-distribution holds them
            super().__init__(child_distribution_struct)
            self._parts = None
            return
        self._parts, self._joint, self._gaussians = parts, joint, gaussians or {}
        self._struct: Any = None

    def _children(self) -> Any:
        """The parts' own distributions, as RLlib's multi-distribution."""
        if self._struct is None:
            cls, spaces = type(self), self.spaces
            assert spaces is not None and self._parts is not None
            children = [
                self._gaussians[key] if key in self._gaussians else cls._child(part)
                for key, part in self._parts.items()
            ]
            self._struct = TorchMultiDistribution(spaces.nest(children))
        return self._struct

    def __getattr__(self, name: str) -> Any:
        # RLlib's multi-distribution's own fields, for its methods
        if name in ("_original_struct", "_flat_child_distributions") and self.__dict__.get("_parts") is not None:
            return getattr(self._children(), name)
        raise AttributeError(name)

    @staticmethod
    def _child(part: Any) -> Any:
        if isinstance(part, list):
            return TorchMultiCategorical([TorchCategorical(logits=p) for p in part])
        return TorchCategorical(logits=part)

    @classmethod
    def _gaussian(cls, part: torch.Tensor) -> Any:
        mean, log_std = part.chunk(2, dim=-1)
        scale = log_std.clamp(-cls.log_std_clip, cls.log_std_clip).exp()
        return TorchDiagGaussian(loc=torch.tanh(mean), scale=scale)

    @classmethod
    def from_logits(cls, logits: torch.Tensor, **kwargs: Any) -> Any:
        spaces, categoricals = cls.spaces, cls.categoricals
        if spaces is None or categoricals is None:
            raise TypeError("MaskedDistribution needs its spaces: use MaskedDistribution.for_spaces(spaces)")
        parts = su.unpack_logits(logits, spaces.inputs)
        gaussians = {key: cls._gaussian(parts[key]) for key in spaces.boxes}
        if not spaces.nested:
            key, part = next(iter(parts.items()))
            return gaussians[key] if gaussians else cls._child(part)
        joint = categoricals.distribution(logits) if categoricals.parts else None
        return cls(parts=parts, joint=joint, gaussians=gaussians)

    # -- what PPO asks of it, the categoricals together ----------------------

    def _summed(self, joint: Optional[torch.Tensor], each: Any) -> torch.Tensor:
        total = None if joint is None else joint.sum(-1)
        for key, gaussian in self._gaussians.items():
            found = each(key, gaussian)
            total = found if total is None else total + found
        assert total is not None
        return total

    def logp(self, value: Any) -> Any:
        if self._parts is None or isinstance(value, torch.Tensor):
            return super().logp(value)
        spaces, categoricals = self.spaces, self.categoricals
        assert spaces is not None and categoricals is not None
        flat = spaces.flat(value)
        joint = None
        if self._joint is not None:
            joint = self._joint.log_prob(categoricals.values(flat, self._joint.batch_shape[:-1]))
        return self._summed(joint, lambda key, gaussian: gaussian.logp(flat[key]))

    def entropy(self) -> Any:
        if self._parts is None:
            return super().entropy()
        joint = None if self._joint is None else self._joint.entropy()
        return self._summed(joint, lambda key, gaussian: gaussian.entropy())

    def kl(self, other: Any) -> Any:
        if self._parts is None or not isinstance(other, MaskedDistribution) or other._parts is None:
            return super().kl(other)
        joint = None
        if self._joint is not None:
            joint = torch.distributions.kl.kl_divergence(self._joint, other._joint)
        return self._summed(joint, lambda key, gaussian: gaussian.kl(other._gaussians[key]))

    def sample(self) -> Any:
        if self._parts is None:
            return super().sample()
        spaces, categoricals = self.spaces, self.categoricals
        assert spaces is not None and categoricals is not None
        chosen = {} if self._joint is None else categoricals.split(self._joint.sample())
        chosen.update({key: gaussian.sample() for key, gaussian in self._gaussians.items()})
        return spaces.nest([chosen[key] for key in spaces.keys])

    def rsample(self, **kwargs: Any) -> Any:
        return self._children().rsample(**kwargs) if self._parts is not None else super().rsample(**kwargs)

    def to_deterministic(self) -> Any:
        return self._children().to_deterministic() if self._parts is not None else super().to_deterministic()


def _settings(model_config: Any) -> tuple[DefaultModelConfig, Dict[str, Any]]:
    """RLlib's model settings (its defaults where the config is silent), and
    the config as a dict."""
    given = dataclasses.asdict(model_config) if dataclasses.is_dataclass(model_config) else dict(model_config or {})
    names = {field.name for field in dataclasses.fields(DefaultModelConfig)}
    return DefaultModelConfig(**{key: value for key, value in given.items() if key in names}), given


def _mlp(sizes: List[int], activation: Any, last: Optional[int]) -> nn.Sequential:
    layers: List[nn.Module] = []
    for width_in, width_out in zip(sizes, sizes[1:]):
        layers += [nn.Linear(width_in, width_out), activation()]
    if last is not None:
        layers.append(nn.Linear(sizes[-1], last))
    return nn.Sequential(*layers)


class MaskedPPOModule(TorchRLModule, ValueFunctionAPI):  # type: ignore[misc]
    """A PPO policy and value function for an observation ``Dict`` of
    ``observations`` and ``action_mask``.

    The networks follow RLlib's ``DefaultModelConfig``: ``fcnet_hiddens`` and
    ``fcnet_activation`` for the layers, ``vf_share_layers`` for one encoder
    under both heads, ``free_log_std`` for the Gaussians' log standard
    deviations as parameters (else the policy puts them out), clipped at
    ``log_std_clip_param``; ``initial_std`` (a key of this module's own)
    starts the free ones. The observations are flattened by
    ``flatten_object_batch`` (``Discrete`` and ``MultiDiscrete`` leaves one-hot);
    the policy's output is masked by ``apply_mask`` with the batch's masks
    (``-inf`` for a forbidden choice), cut by part with ``unpack_logits``
    where the module-to-env piece needs them; the distribution puts a
    Gaussian's mean through ``tanh`` into the normalised range -1..1 that
    the module-to-env piece unsquashes. In training, rows the loss leaves out
    (PPO's bootstrap rows, whose logged action belongs to the step before)
    are not masked, so that every row's log-probability and KL stay
    finite."""

    def setup(self) -> None:
        self.spaces = MaskedSpaces(self.observation_space, self.action_space)
        settings, given = _settings(self.model_config)
        activation = get_activation_fn(settings.fcnet_activation, framework="torch")
        self.free_log_std = bool(settings.free_log_std)
        self.log_std_clip = float(settings.log_std_clip_param)
        self.output_space = self.spaces.output_space(self.free_log_std)
        self._columns()
        widths = [self.spaces.feature_width, *settings.fcnet_hiddens]
        out = int(self.output_space.size)
        self.shared = bool(settings.vf_share_layers)
        if self.shared:
            self.encoder = _mlp(widths, activation, None)
            self.pi = nn.Linear(widths[-1], out)
            self.vf = nn.Linear(widths[-1], 1)
        else:
            self.pi = _mlp(widths, activation, out)
            self.vf = _mlp(widths, activation, 1)
        if self.free_log_std and self.spaces.boxes:
            std = float(given.get("initial_std", 1.0))
            width = sum(self.spaces.parts[key].size for key in self.spaces.boxes)
            self.log_std = nn.Parameter(torch.full((width,), math.log(std)))
        self.distribution = MaskedDistribution.for_spaces(self.spaces, self.log_std_clip)

    # -- forward passes -----------------------------------------------------

    def _features(self, observations: Any) -> torch.Tensor:
        features = self.spaces.features(observations, su.flatten_object_batch)
        return self.encoder(features) if self.shared else features

    def _columns(self) -> None:
        """Where the mask's parts sit in the policy's output and, with free
        log standard deviations (which come after the output), the order of
        the distribution's inputs, worked out once. Buffers, left out of the
        state, so that they follow the module to its device."""
        start, at = 0, {}
        for name, space in self.output_space.spaces.items():
            at[name] = (start, int(space.size))
            start += int(space.size)
        width, self.free_width, order = start, 0, []
        covered = [col for key, _ in self.spaces.masked for col in range(at[key][0], sum(at[key]))]
        self.register_buffer("mask_columns", torch.tensor(covered, dtype=torch.long), persistent=False)
        # masked parts side by side (the usual case): the whole-width mask is
        # the mask padded with ones, in one step
        contiguous = bool(covered) and covered == list(range(covered[0], covered[0] + len(covered)))
        self.mask_padding = (covered[0], start - covered[0] - len(covered)) if contiguous else None
        for key in self.spaces.keys:
            order += range(at[key][0], sum(at[key]))
            if key in self.spaces.box_spaces and self.free_log_std:
                size = at[key][1]
                order += range(width + self.free_width, width + self.free_width + size)
                self.free_width += size
        identity = order == list(range(len(order)))
        self.register_buffer("input_order", None if identity else torch.tensor(order, dtype=torch.long), persistent=False)

    def _masked(self, batch: Dict[str, Any], keep: Optional[torch.Tensor], exploring: bool) -> Dict[str, Any]:
        observations, mask = self.spaces.split(batch[Columns.OBS])
        embeddings = self._features(observations)
        logits = self.pi(embeddings)
        # the embeddings, for compute_values in the loss (in training only:
        # an env runner would keep them with every step)
        out: Dict[str, Any] = {} if exploring else {Columns.EMBEDDINGS: embeddings}
        # The whole output is masked in one step (every step autograd records
        # costs the learner's backward pass a node): a mask of the output's
        # width, 1 where no mask covers a column, added as log(mask) by
        # apply_mask.
        if self.spaces.masked:
            if exploring:
                # the masks by part, for the actions' check on their way out
                out[MASK_KEY] = self.spaces.masks(mask, su.unpack_logits)
            if not isinstance(mask, torch.Tensor):
                mask = su.flatten_object_batch([_pick(mask, path) for _, path in self.spaces.masked])
            if keep is not None:
                mask = mask.masked_fill(~keep, 1)
            mask = mask.to(logits.dtype)
            if self.mask_padding is not None:
                whole = nn.functional.pad(mask, self.mask_padding, value=1.0)
            else:
                whole = logits.new_ones(logits.shape)
                whole[..., self.mask_columns] = mask
            logits = su.apply_mask(logits, whole)
        elif exploring:
            out[MASK_KEY] = {}
        if self.free_width:
            logits = torch.cat([logits, self.log_std.expand(*logits.shape[:-1], self.free_width)], dim=-1)
        if self.input_order is not None:
            logits = logits.index_select(-1, self.input_order)
        out[Columns.ACTION_DIST_INPUTS] = logits
        return out

    def _forward(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        return self._masked(batch, None, True)

    def _forward_train(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        loss_mask = batch.get(Columns.LOSS_MASK)
        keep = None if loss_mask is None else loss_mask.reshape(-1, 1).bool()
        return self._masked(batch, keep, False)

    def compute_values(self, batch: Dict[str, Any], embeddings: Optional[Any] = None) -> torch.Tensor:
        # (the forward pass's embeddings: the encoder's output, or the
        # flattened observations where the heads have layers of their own)
        if embeddings is None:
            embeddings = self._features(self.spaces.split(batch[Columns.OBS])[0])
        values: torch.Tensor = self.vf(embeddings).squeeze(-1)
        return values

    def get_inference_action_dist_cls(self) -> Any:
        return self.distribution

    def get_exploration_action_dist_cls(self) -> Any:
        return self.distribution

    def get_train_action_dist_cls(self) -> Any:
        return self.distribution
