"""Perceptors: components that derive extra observation entries."""
from __future__ import annotations

from typing import Any, Mapping


class Perceptor:
    """Base class; subclasses implement `perceive`."""

    def __init__(self, name: str):
        self.name = name

    def get_name(self) -> str:
        return self.name

    async def perceive(self, space: Any, sensors: Mapping[str, Any]) -> Mapping[str, Any]:
        """Return a mapping from output key to value for the given sensor values."""
        raise NotImplementedError(f"{type(self).__name__}.perceive is not implemented")
