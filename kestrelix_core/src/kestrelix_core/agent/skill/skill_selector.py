"""Skill selectors: choose which child skill runs next."""
from __future__ import annotations

from typing import Iterable, List


class SkillSelector:
    """Selects one of its children; action i selects child i."""

    def __init__(self, children_names: Iterable[str], fixed_order: bool = False, repeat: bool = False):
        self.children_names = list(children_names)
        self.fixed_order = fixed_order
        self.repeat = repeat

    def get_children_names(self) -> List[str]:
        return list(self.children_names)

    def is_fixed_order(self) -> bool:
        return self.fixed_order

    def is_repeat(self) -> bool:
        return self.repeat
