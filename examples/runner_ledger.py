"""What the env runners did, kept outside them: a small Ray actor that
survives a runner's death (rllib_engine.py starts one when failed env
runners are restarted).

Each environment records every episode that ends in it, and each env runner
records an error it raises before its process goes, so that the driver can
tell how many episodes a killed runner took with it and whether a runner
failed for another reason than the kill; the environments of a restarted
runner learn that they are built again, so that they do not replay their
predecessors' random streams. It imports nothing heavy: the
actor's process starts in a moment."""

from __future__ import annotations

from typing import Dict, List, Tuple


class RunnerLedger:
    def __init__(self) -> None:
        self._ended: Dict[int, int] = {}
        self._errors: List[Tuple[int, str]] = []
        self._built: Dict[Tuple[int, int], int] = {}

    def built(self, worker: int, index: int) -> int:
        """Environment `index` of env runner `worker` built once more (a
        restarted runner builds its own again); returns how many times."""
        key = (worker, index)
        self._built[key] = self._built.get(key, 0) + 1
        return self._built[key]

    def ended(self, worker: int) -> int:
        """One more episode ended in env runner `worker`; returns its count."""
        self._ended[worker] = self._ended.get(worker, 0) + 1
        return self._ended[worker]

    def failed(self, worker: int, text: str) -> None:
        self._errors.append((worker, text))

    def counts(self) -> Dict[int, int]:
        return dict(self._ended)

    def errors(self) -> List[Tuple[int, str]]:
        return list(self._errors)
