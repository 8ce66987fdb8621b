"""Action masks for nested action spaces in RLlib's PPO (new API stack, torch).

The environment's observation is a gymnasium ``Dict`` with two entries:

- ``observations``: what the policy sees, any nested space of ``Box``,
  ``Discrete``, ``MultiDiscrete``, ``MultiBinary``, ``Dict`` and ``Tuple``;
- ``action_mask``: the mask of the masked parts of the action space (see
  :func:`action_mask_space`), 1 where a choice is allowed, 0 where not.

The action space is a ``Discrete``, ``MultiDiscrete`` or one-dimensional
``Box``, or a ``Dict`` or ``Tuple`` of them (nested as deep as you like).
:func:`masked_ppo` puts the pieces into a ``PPOConfig``:

- :class:`MaskedPPOModule`, the RLModule: networks from RLlib's
  ``DefaultModelConfig``, observations flattened by ``flatten_object_batch``,
  logits cut by ``unpack_logits`` and masked by ``apply_mask`` (``-inf``);
- :class:`MaskedDistribution`, the action distribution over any such space;
- :class:`FlattenMaskedObservations`, the env-to-module connector piece:
  each observation and its mask flattened with ``flatten_object_numpy`` as
  they come from the environment, so that RLlib's pipeline carries two
  arrays a step rather than one per leaf;
- :class:`MaskedActions`, the module-to-env connector piece:
  ``unsquash_action`` for the ``Box`` parts and ``action_fits_mask`` on
  every action (a misfit raises :class:`ForbiddenActionError`).

This package imports Ray; ``kestrelix_train.utils.space_utils`` never
imports it.
"""

from __future__ import annotations

import re

MINIMUM_RAY = "2.49.0"
_EXTRA = "pip install 'kestrelix-train-space-utils[rllib]'"


def _version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in re.findall(r"\d+", text)[:3])


try:
    import ray as _ray
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        f"kestrelix_train.rllib needs Ray's RLlib, which is not installed: {_EXTRA} (the 'rllib' extra)"
    ) from error

if _version(getattr(_ray, "__version__", "0")) < _version(MINIMUM_RAY):
    raise ImportError(
        f"kestrelix_train.rllib needs ray {MINIMUM_RAY} or later (RLlib's new API stack as this package uses it); "
        f"ray {_ray.__version__} is installed: {_EXTRA}"
    )

try:
    from kestrelix_train.rllib.connectors import (
        FlattenMaskedObservations,
        ForbiddenActionError,
        MaskedActions,
        env_to_module_pipeline,
        module_to_env_pipeline,
    )
    from kestrelix_train.rllib.module import MaskedDistribution, MaskedPPOModule
    from kestrelix_train.rllib.spaces import FlatObservationSpace, MaskedSpaces, action_mask_space
except ImportError as error:  # pragma: no cover - a Ray without RLlib's dependencies
    raise ImportError(f"kestrelix_train.rllib could not import RLlib ({error}): {_EXTRA} (the 'rllib' extra)") from error

from typing import Any

__all__ = [
    "MINIMUM_RAY",
    "FlatObservationSpace",
    "FlattenMaskedObservations",
    "ForbiddenActionError",
    "MaskedActions",
    "MaskedDistribution",
    "MaskedPPOModule",
    "MaskedSpaces",
    "action_mask_space",
    "env_to_module_pipeline",
    "masked_ppo",
    "module_to_env_pipeline",
]


def masked_ppo(config: Any) -> Any:
    """``config``, a ``PPOConfig`` whose environment follows the convention
    above, with the masked pieces in place: the RLModule (with the model
    config already given to ``config.rl_module(model_config=...)``, RLlib's
    ``DefaultModelConfig`` or a dict), ``FlattenMaskedObservations`` first in
    the env-to-module pipeline (in place of one given before), and the
    module-to-env pipeline that checks every action (RLlib's own unsquashing
    and clipping left out, since the piece unsquashes). Returns the same
    config object."""
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec

    if not isinstance(config, PPOConfig):
        raise TypeError(f"masked_ppo takes a PPOConfig, not {type(config).__name__}")
    return config.framework("torch").rl_module(
        rl_module_spec=RLModuleSpec(module_class=MaskedPPOModule)
    ).env_runners(
        env_to_module_connector=env_to_module_pipeline,
        module_to_env_connector=module_to_env_pipeline,
        add_default_connectors_to_module_to_env_pipeline=False,
    )
