"""The module-to-env connector piece: actions unsquashed and checked against
the masks they were sampled under before they reach the environment."""

from __future__ import annotations

import logging
from typing import Any, Dict, List

import numpy as np
import torch
from ray.rllib.connectors import module_to_env as m2e
from ray.rllib.connectors.connector_v2 import ConnectorV2
from ray.rllib.core.columns import Columns

from kestrelix_train.rllib.module import MASK_KEY
from kestrelix_train.rllib.spaces import FlatObservationSpace, MaskedSpaces
from kestrelix_train.utils import space_utils as su

logger = logging.getLogger(__name__)


class ForbiddenActionError(RuntimeError):
    """An action that does not fit the mask it was sampled under."""


def _numpy(value: Any) -> Any:
    if isinstance(value, list):
        return [_numpy(part) for part in value]
    # (force: detached, on the CPU, conjugation and negation resolved)
    return value.numpy(force=True) if isinstance(value, torch.Tensor) else np.asarray(value)


def _row(value: Any, row: int) -> Any:
    return [part[row] for part in value] if isinstance(value, list) else value[row]


class MaskedActions(ConnectorV2):  # type: ignore[misc]
    """Unsquashes the ``Box`` parts of each action into their bounds with
    ``unsquash_action`` and checks every action against its mask with
    ``action_fits_mask``; an action that does not fit raises
    ``ForbiddenActionError`` (logged first, so that the message reaches the
    driver's output with the env runner's log lines). Needs the masked
    module's forward output (its masks) and sits after ``GetActions``:
    after ``TensorToNumpy`` it finds numpy arrays (torch tensors, where it
    sits before, are converted).

    ``sent`` counts the actions that went to the environment; ``discarded``
    the ones computed for an episode's last observation, which the vector
    environment drops as it resets (checked all the same)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.sent = 0
        self.discarded = 0

    def __call__(self, *, rl_module: Any, batch: Dict[str, Any], episodes: List[Any], **kwargs: Any) -> Any:
        spaces = rl_module.spaces
        if MASK_KEY not in batch:
            raise ValueError(f"MaskedActions needs the masks of the masked module's forward pass ({MASK_KEY!r})")
        masks = {key: _numpy(mask) for key, mask in batch.pop(MASK_KEY).items()}
        to_env = {key: _numpy(value) for key, value in spaces.flat(batch[Columns.ACTIONS]).items()}
        for key in spaces.boxes:
            # one call for the whole batch: the bounds broadcast over its rows
            to_env[key] = su.unsquash_action(to_env[key], spaces.box_spaces[key])
        rows = len(to_env[spaces.keys[0]])
        for row in range(rows if masks else 0):
            action = {key: to_env[key][row] for key in masks}
            mask = {key: _row(value, row) for key, value in masks.items()}
            if not su.action_fits_mask(action, mask, spaces.masked_space):
                message = f"the policy chose a forbidden action: {action} under the mask {mask}"
                logger.error(message)
                raise ForbiddenActionError(message)
        discarded = sum(1 for episode in episodes if not episode.is_reset)
        self.discarded += discarded
        self.sent += rows - discarded
        batch[Columns.ACTIONS_FOR_ENV] = spaces.nest([to_env[key] for key in spaces.keys])
        return batch


class FlattenMaskedObservations(ConnectorV2):  # type: ignore[misc]
    """The env-to-module piece that comes first: each new observation of the
    convention (``observations`` and ``action_mask``) becomes one flat array,
    ``flatten_object_numpy`` of its leaves and of the mask's parts (see
    ``FlatObservationSpace``), written back into its episode as RLlib's own
    ``FlattenObservations`` does. The rest of RLlib's road (its connectors
    batching and converting each leaf, the episodes storing and
    concatenating them, the learner slicing its minibatches) then handles
    one array a step instead of one per leaf, and the module cuts it."""

    def recompute_output_observation_space(self, input_observation_space: Any, input_action_space: Any) -> Any:
        self._spaces = MaskedSpaces(input_observation_space, input_action_space)
        spaces = self._spaces
        return FlatObservationSpace(input_observation_space, spaces.feature_width, spaces.mask_width)

    def __call__(self, *, rl_module: Any, batch: Dict[str, Any], episodes: List[Any], **kwargs: Any) -> Any:
        for episode in self.single_agent_episode_iterator(episodes, agents_that_stepped_only=True):
            observation = self._spaces.flat_observation(episode.get_observations(-1), su.flatten_object_numpy)
            episode.set_observations(at_indices=-1, new_data=observation)
            episode.observation_space = self.observation_space
        return batch


def env_to_module_pipeline(env: Any = None, spaces: Any = None, device: Any = None) -> List[Any]:
    """``FlattenMaskedObservations``, before RLlib's own env-to-module pieces."""
    return [FlattenMaskedObservations()]


def module_to_env_pipeline(env: Any = None, spaces: Any = None, device: Any = None) -> List[Any]:
    """RLlib's module-to-env pieces with ``MaskedActions`` where the actions
    are one batch of numpy arrays (RLlib's own unsquashing and clipping left
    out)."""
    return [
        m2e.GetActions(),
        m2e.TensorToNumpy(),
        MaskedActions(),
        m2e.UnBatchToIndividualItems(),
        m2e.RemoveSingleTsTimeRankFromBatch(),
        m2e.ListifyDataForVectorEnv(),
    ]
