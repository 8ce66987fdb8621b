"""Agent sensors."""
from __future__ import annotations

from typing import Any, Callable, Optional


class Sensor:
    """A named data point of the agent's observation.

    An unmapped sensor (no function) reads the simulator value stored under its
    own name; a mapped sensor computes its value from the whole observation.
    """

    def __init__(self, name: str, fn: Optional[Callable[[Any], Any]] = None):
        self.name = name
        self.fn = fn

    def has_lambda(self) -> bool:
        return self.fn is not None

    def sense(self, obs: Any) -> Any:
        if self.fn is None:
            return obs[self.name]
        return self.fn(obs)

    def __repr__(self) -> str:
        kind = "mapped" if self.has_lambda() else "unmapped"
        return f"Sensor({self.name!r}, {kind})"
