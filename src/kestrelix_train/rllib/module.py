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

from kestrelix_train.rllib.spaces import MaskedSpaces
from kestrelix_train.utils import space_utils as su

# The forward pass's output that carries the masks to the module-to-env piece.
MASK_KEY = "action_mask"


class MaskedDistribution(TorchMultiDistribution):  # type: ignore[misc]
    """The action distribution over an action space's parts: a categorical
    per ``Discrete``, one per dimension of a ``MultiDiscrete``, a diagonal
    Gaussian per ``Box``, over inputs that ``unpack_logits`` cuts by part. A
    space of one part gives that part's distribution itself.
    ``for_spaces`` binds the class to a module's spaces."""

    spaces: Optional[MaskedSpaces] = None

    @classmethod
    def for_spaces(cls, spaces: MaskedSpaces) -> type:
        return type(cls.__name__, (cls,), {"spaces": spaces, "__module__": cls.__module__})

    @classmethod
    def from_logits(cls, logits: torch.Tensor, **kwargs: Any) -> Any:
        spaces = cls.spaces
        if spaces is None:
            raise TypeError("MaskedDistribution needs its spaces: use MaskedDistribution.for_spaces(spaces)")
        children: List[Any] = []
        for key, part in su.unpack_logits(logits, spaces.inputs).items():
            if key in spaces.box_spaces:
                children.append(TorchDiagGaussian.from_logits(part))
            elif isinstance(part, list):
                children.append(TorchMultiCategorical([TorchCategorical(logits=p) for p in part]))
            else:
                children.append(TorchCategorical(logits=part))
        if not spaces.nested:
            return children[0]
        return cls(spaces.nest(children))


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
    the policy's output is cut by ``unpack_logits`` and masked by
    ``apply_mask`` with the batch's masks (``-inf`` for a forbidden choice);
    a Gaussian's mean goes through ``tanh`` into the normalised range -1..1
    that the module-to-env piece unsquashes. In training, rows the loss leaves
    out (PPO's bootstrap rows, whose logged action belongs to the step
    before) are not masked, so that every row's log-probability and KL stay
    finite."""

    def setup(self) -> None:
        self.spaces = MaskedSpaces(self.observation_space, self.action_space)
        settings, given = _settings(self.model_config)
        activation = get_activation_fn(settings.fcnet_activation, framework="torch")
        self.free_log_std = bool(settings.free_log_std)
        self.log_std_clip = float(settings.log_std_clip_param)
        self.output_space = self.spaces.output_space(self.free_log_std)
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
        self.distribution = MaskedDistribution.for_spaces(self.spaces)

    # -- forward passes -----------------------------------------------------

    def _features(self, batch: Dict[str, Any]) -> torch.Tensor:
        features = self.spaces.features(self.spaces.split(batch[Columns.OBS])[0], su.flatten_object_batch)
        return self.encoder(features) if self.shared else features

    def _masked(self, batch: Dict[str, Any], keep: Optional[torch.Tensor]) -> Dict[str, Any]:
        embeddings = self._features(batch)
        parts = su.unpack_logits(self.pi(embeddings), self.output_space)
        masks = self.spaces.masks(self.spaces.split(batch[Columns.OBS])[1], su.unpack_logits)
        if keep is not None:
            masks = {key: _open(mask, keep) for key, mask in masks.items()}
        if masks:
            parts.update(su.apply_mask({key: parts[key] for key in masks}, masks))
        offset = 0
        for key in self.spaces.boxes:
            width = self.spaces.parts[key].size
            if self.free_log_std:
                mean = parts[key]
                log_std = self.log_std[offset : offset + width].expand_as(mean)
                offset += width
            else:
                mean, log_std = parts[key][..., :width], parts[key][..., width:]
            log_std = log_std.clamp(-self.log_std_clip, self.log_std_clip)
            parts[key] = torch.cat([torch.tanh(mean), log_std], dim=-1)
        out = {Columns.ACTION_DIST_INPUTS: su.flatten_object_batch(parts), MASK_KEY: masks}
        if self.shared:
            out[Columns.EMBEDDINGS] = embeddings
        return out

    def _forward(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        return self._masked(batch, None)

    def _forward_train(self, batch: Dict[str, Any], **kwargs: Any) -> Dict[str, Any]:
        loss_mask = batch.get(Columns.LOSS_MASK)
        keep = None if loss_mask is None else loss_mask.reshape(-1, 1).bool()
        out = self._masked(batch, keep)
        del out[MASK_KEY]
        return out

    def compute_values(self, batch: Dict[str, Any], embeddings: Optional[Any] = None) -> torch.Tensor:
        if embeddings is None:
            embeddings = self._features(batch)
        values: torch.Tensor = self.vf(embeddings).squeeze(-1)
        return values

    def get_inference_action_dist_cls(self) -> Any:
        return self.distribution

    def get_exploration_action_dist_cls(self) -> Any:
        return self.distribution

    def get_train_action_dist_cls(self) -> Any:
        return self.distribution


def _open(mask: Any, keep: torch.Tensor) -> Any:
    """A mask with every choice allowed on the rows that ``keep`` leaves out."""
    if isinstance(mask, list):
        return [_open(part, keep) for part in mask]
    return torch.where(keep, mask, torch.ones_like(mask))
