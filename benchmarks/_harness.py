"""Shared timing harness for the benchmarks.

Each benchmark module defines ``cases()`` returning a list of ``Case``; the
module's own ``__main__`` (and ``benchmarks/run_all.py``) time them with
``run_cases`` and print one table row per case: the module's time, the time
of the same steps written directly in Python, the time of the library calls
alone (the floor, where one is given) and the ratios.
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
import timeit
from dataclasses import dataclass
from typing import Callable, Optional


@dataclass
class Case:
    name: str
    module: Callable[[], object]
    python: Callable[[], object]
    floor: Optional[Callable[[], object]] = None


def _best(fn: Callable[[], object], repeat: int = 5, min_time: float = 0.2) -> float:
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


@contextlib.contextmanager
def quiet_stdout():
    """Sends trace lines written with print() to a null stream."""
    saved = sys.stdout
    sys.stdout = open(os.devnull, "w")
    try:
        yield
    finally:
        sys.stdout.close()
        sys.stdout = saved


def run_cases(title: str, cases: list[Case], out=None) -> list[dict]:
    out = out or sys.__stdout__
    rows = []
    with quiet_stdout():
        for c in cases:
            t_mod = _best(c.module)
            t_py = _best(c.python)
            t_floor = _best(c.floor) if c.floor else None
            rows.append(dict(name=c.name, module=t_mod, python=t_py, floor=t_floor))
    print(f"\n## {title}", file=out)
    print(f"{'case':<48} {'module µs':>10} {'python µs':>10} {'floor µs':>10} {'py/mod':>7} {'mod/floor':>9}",
          file=out)
    for r in rows:
        floor = f"{r['floor'] * 1e6:10.2f}" if r["floor"] else f"{'-':>10}"
        ratio_floor = f"{r['module'] / r['floor']:9.2f}" if r["floor"] else f"{'-':>9}"
        print(f"{r['name']:<48} {r['module'] * 1e6:10.2f} {r['python'] * 1e6:10.2f} {floor} "
              f"{r['python'] / r['module']:7.2f} {ratio_floor}", file=out)
    return rows
