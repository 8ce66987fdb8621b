"""The trace line of make_np_array: the module writing it natively against
the same steps written in Python (numpy makes the text).

Run with:
    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/bench_trace.py

run_cases sends the trace lines to a null stream. The floor column is the
same module call with `print` bound to a no-op: the conversion alone, what
is left once the line costs nothing. The "[numpy text]" rows bind the
module's `print` to a Python function that calls the built-in one, so the
module writes the line as before, with numpy's own text.
"""

from __future__ import annotations

import builtins

import numpy as np
from _harness import Case, run_cases
from bench_space_description import ARGS, drive, py_convert_sim_sensors, py_make_np_array

from kestrelix_train.utils import space_utils as su


def with_print(fn, replacement):
    """fn() with the module's `print` bound to `replacement`."""

    def run():
        su.print = replacement
        try:
            return fn()
        finally:
            del su.print

    return run


def numpy_text(*args):
    builtins.print(*args)


def no_print(*args):
    pass


def small_arrays(n, seed=0):
    rng = np.random.default_rng(seed)
    return {f"sensor_{i}": rng.standard_normal(int(rng.integers(1, 9))).astype(np.float32) for i in range(n)}


def cases() -> list[Case]:
    inputs = [
        ("a dict of 16 small float32 arrays", small_arrays(16)),
        ("one float32 array of 3", np.array([0.25, -1.5, 3.0], np.float32)),
        ("a dict of 4 arrays, one of 4000 (summarized)",
         {**small_arrays(3), "image": np.arange(4000, dtype=np.float32).reshape(40, 100) / 7}),
        ("nested dicts and tuples, mixed dtypes",
         {"a": (np.arange(6, dtype=np.int64).reshape(2, 3), np.float16(0.1)), "b": {"c": np.array([True, False]),
                                                                                  "d": 3.5}}),
    ]
    out = []
    for label, x in inputs:
        call = lambda x=x: su.make_np_array(x)  # noqa: E731
        out.append(Case(f"make_np_array: {label}", module=call, python=lambda x=x: py_make_np_array(x),
                        floor=with_print(call, no_print)))
        out.append(Case(f"make_np_array: {label} [numpy text]", module=with_print(call, numpy_text),
                        python=lambda x=x: py_make_np_array(x), floor=with_print(call, no_print)))
    convert = lambda: drive(su.convert_sim_sensors_to_kestrelix_sensors(*ARGS))  # noqa: E731
    out.append(Case("convert_sim_sensors_to_kestrelix_sensors", module=convert,
                    python=lambda: drive(py_convert_sim_sensors(*ARGS)), floor=with_print(convert, no_print)))
    out.append(Case("convert_sim_sensors_to_kestrelix_sensors [numpy text]", module=with_print(convert, numpy_text),
                    python=lambda: drive(py_convert_sim_sensors(*ARGS)), floor=with_print(convert, no_print)))
    return out


if __name__ == "__main__":
    run_cases("Trace line", cases())
