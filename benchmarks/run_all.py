"""Runs every benchmark and prints one table per subsystem.

    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/run_all.py [name ...]

Columns: the module's time per call, the same steps written directly in
Python, and the library calls alone (the floor, where one exists), each as
its minimum, median and spread over interleaved rounds; then the ratios
python/module and module/floor (medians of the per-round ratios). Nothing
here is asserted. BENCH_ROUNDS and BENCH_MS set the rounds per case and the
length of one timing; BENCH_JSON=<file> appends each table as a JSON line.
"""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import run_cases  # noqa: E402

SUITES = [
    ("bench_space_description", "Space description"),
    ("bench_flattening", "Flattening"),
    ("bench_join_scale", "Batch join by size"),
    ("bench_actions", "Actions and logits"),
    ("bench_masks", "Action masks"),
    ("bench_trace", "Trace line"),
]


def main(argv):
    wanted = set(argv)
    for module_name, title in SUITES:
        if wanted and module_name not in wanted and title not in wanted:
            continue
        module = importlib.import_module(module_name)
        run_cases(title, module.cases())


if __name__ == "__main__":
    main(sys.argv[1:])
