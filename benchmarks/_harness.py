"""Shared timing harness for the benchmarks.

Each benchmark module defines ``cases()`` returning a list of ``Case``; the
module's own ``__main__`` (and ``benchmarks/run_all.py``) time them with
``run_cases`` and print one table row per case: the module's time, the time
of the same steps written directly in Python, the time of the library calls
alone (the floor, where one is given) and the ratios.

The machine these run on is shared and noisy, so the three functions of a
case are timed in interleaved rounds: every round times each of them once,
in an order that rotates from round to round, so a burst of load falls on
all three alike. Each time is reported as its minimum and its median over
the rounds, with the spread (half the interquartile range, as a share of the
median). The ratios are the medians of the ratios taken within each round,
which cancels most of the load that a round shares.

Environment knobs: ``BENCH_ROUNDS`` (rounds per case, default 15),
``BENCH_MS`` (milliseconds per timing, default 10) and ``BENCH_CLOCK``:
``wall`` (the default) or ``cpu``, the processor time of the whole process
(every thread, user and system), which leaves out the time the process
waits for a core on a loaded machine. With the cpu clock torch runs its
operations on one thread: its idle worker threads spin for a while after a
parallel operation, and that time would be charged to whatever runs next.
"""

from __future__ import annotations

import contextlib
import gc
import json
import os
import statistics
import sys
import time
import timeit
from dataclasses import dataclass
from typing import Callable, Optional

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "15"))
TARGET_S = float(os.environ.get("BENCH_MS", "10")) / 1000.0
CLOCK = os.environ.get("BENCH_CLOCK", "wall")
_TIMER = {"wall": time.perf_counter, "cpu": time.process_time}[CLOCK]


@dataclass
class Case:
    name: str
    module: Callable[[], object]
    python: Callable[[], object]
    floor: Optional[Callable[[], object]] = None
    # Bytes a call moves, where the cost per byte is of interest.
    nbytes: Optional[int] = None


@dataclass
class Stat:
    """Seconds per call over the rounds."""

    times: list[float]

    @property
    def min(self) -> float:
        return min(self.times)

    @property
    def median(self) -> float:
        return statistics.median(self.times)

    @property
    def spread(self) -> float:
        """Half the interquartile range, as a share of the median."""
        if len(self.times) < 4:
            return (max(self.times) - min(self.times)) / 2 / self.median
        q = statistics.quantiles(self.times, n=4)
        return (q[2] - q[0]) / 2 / self.median


def _calibrate(fn: Callable[[], object], target: float) -> int:
    """Calls per timing so that one timing takes about `target` seconds."""
    timer = timeit.Timer(fn, timer=_TIMER)
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target / 4 or number >= 1 << 30:
            return max(1, round(number * target / max(t, 1e-9)))
        number *= 4 if t < target / 40 else 2


def interleaved(fns: dict[str, Callable[[], object]], rounds: int = ROUNDS,
                target: float = TARGET_S) -> dict[str, Stat]:
    """Times every function once per round, in a rotating order."""
    names = list(fns)
    timers = {n: timeit.Timer(fns[n], timer=_TIMER) for n in names}
    numbers = {n: _calibrate(fns[n], target) for n in names}
    times: dict[str, list[float]] = {n: [] for n in names}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        if r % 2:
            order.reverse()
        for n in order:
            times[n].append(timers[n].timeit(numbers[n]) / numbers[n])
    return {n: Stat(t) for n, t in times.items()}


def paired_ratio(a: Stat, b: Stat) -> float:
    """The median over the rounds of a/b, each ratio taken within one round."""
    return statistics.median(x / y for x, y in zip(a.times, b.times))


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


def time_case(c: Case, rounds: int = ROUNDS, target: float = TARGET_S) -> dict:
    fns = {"module": c.module, "python": c.python}
    if c.floor:
        fns["floor"] = c.floor
    stats = interleaved(fns, rounds, target)
    row = dict(name=c.name, nbytes=c.nbytes, stats=stats,
               module=stats["module"].min, python=stats["python"].min,
               floor=stats["floor"].min if c.floor else None,
               py_mod=paired_ratio(stats["python"], stats["module"]),
               mod_floor=paired_ratio(stats["module"], stats["floor"]) if c.floor else None)
    return row


def _us(s: Optional[Stat]) -> str:
    if s is None:
        return f"{'-':>26}"
    return f"{s.min * 1e6:9.2f} {s.median * 1e6:9.2f} ±{s.spread * 100:4.1f}%"


def print_rows(title: str, rows: list[dict], out=None) -> None:
    out = out or sys.__stdout__
    per_byte = any(r["nbytes"] for r in rows)
    head = f"{'module µs: min':>26} {'python µs: min':>26} {'floor µs: min':>26}"
    sub = " ".join(f"{'min':>9} {'median':>9} {'spread':>6}" for _ in range(3))
    print(f"\n## {title}", file=out)
    print(f"{'case':<52} {head} {'py/mod':>7} {'mod/flr':>7}" + (f" {'ps/B mod':>9} {'flr':>6}" if per_byte else ""),
          file=out)
    print(f"{'':<52} {sub}", file=out)
    for r in rows:
        s = r["stats"]
        mf = f"{r['mod_floor']:7.2f}" if r["mod_floor"] is not None else f"{'-':>7}"
        line = f"{r['name']:<52} {_us(s['module'])} {_us(s['python'])} {_us(s.get('floor'))} {r['py_mod']:7.2f} {mf}"
        if per_byte:
            if r["nbytes"]:
                ps = 1e12 / r["nbytes"]
                fl = f"{s['floor'].median * ps:6.0f}" if "floor" in s else f"{'-':>6}"
                line += f" {s['module'].median * ps:9.0f} {fl}"
        print(line, file=out)
    print(f"({ROUNDS} interleaved rounds of ~{TARGET_S * 1e3:.0f} ms per timing, {CLOCK} clock; "
          "ratios: medians of per-round ratios)", file=out)


def rows_as_json(rows: list[dict]) -> list[dict]:
    out = []
    for r in rows:
        d = {k: v for k, v in r.items() if k != "stats"}
        for kind, s in r["stats"].items():
            d[kind + "_median"] = s.median
            d[kind + "_spread"] = s.spread
        out.append(d)
    return out


def _single_threaded_torch() -> None:
    torch = sys.modules.get("torch")
    if CLOCK == "cpu" and torch is not None:
        torch.set_num_threads(1)


def run_cases(title: str, cases: list[Case], out=None, rounds: int = ROUNDS, target: float = TARGET_S) -> list[dict]:
    """Times every case and prints its table; returns one dict per case.

    Each dict holds the minima under ``module``, ``python`` and ``floor`` (as
    before), the paired ratios ``py_mod`` and ``mod_floor``, and ``stats``,
    the per-round times.
    """
    rows = []
    _single_threaded_torch()
    with quiet_stdout():
        gc.collect()
        for c in cases:
            rows.append(time_case(c, rounds, target))
    print_rows(title, rows, out)
    dump = os.environ.get("BENCH_JSON")
    if dump:
        with open(dump, "a") as f:
            f.write(json.dumps({"title": title, "time": time.time(), "rows": rows_as_json(rows)}) + "\n")
    return rows
