"""End to end: the example's training run (examples/train_drone.py) with the
module against the same run with the Python rendering (py_space_utils.py) in
its place, trace on and off.

One command, from the repository root:

    PYTHONPATH=build/dev/site .venv/bin/python benchmarks/bench_end_to_end.py

Options: --runs N (3), --iterations N (8), --episodes N (32), --seed N (0),
--modes on,off. Any interpreter works (VENV=... scripts/devbuild.sh
build/<dir>, then that environment's python with PYTHONPATH=build/<dir>/site).

Each run is a fresh process that imports the example as a module and calls
its own parse_args and train (the plot is left out; the time is the one the
example measures around its training loop, so the interpreter's start and
the imports are not in it). For the rendering, py_space_utils is put in
sys.modules under the module's dotted name, and bound as the package's
attribute, before the example imports it. The runs alternate: module and
rendering, trace on and off, round after round. The table gives the median
of the runs for each, and the rendering/module ratios. Every run must give
the same training result as the module's first run with the trace on (the
losses, the episode returns and the number of trace lines written): the
script stops with an error where one differs, so the ratios compare the same
work. Nothing here is asserted by the tests.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parent
ROOT = BENCHMARKS.parent
EXAMPLE_DIR = ROOT / "examples"
MODULE_NAME = "kestrelix_train.utils.space_utils"


def child(implementation: str, argv: list[str]) -> None:
    """One training run in this process; prints its result as one JSON line."""
    import dataclasses

    if implementation == "python":
        sys.path.insert(0, str(BENCHMARKS))
        import kestrelix_train.utils
        import py_space_utils

        sys.modules[MODULE_NAME] = py_space_utils
        kestrelix_train.utils.space_utils = py_space_utils
    sys.path.insert(0, str(EXAMPLE_DIR))
    import train_drone

    config = dataclasses.replace(train_drone.parse_args(argv), plot=False)
    if os.environ.get("E2E_COLD") != "1":
        # The first optimizer built in a process imports torch's compiler
        # stack (seconds, and more under load): a cost of the process like
        # importing torch, paid here before the timing starts.
        import torch

        torch.optim.Adam([torch.zeros(1, requires_grad=True)])
    cpu = time.process_time()
    result = train_drone.train(config)
    cpu = time.process_time() - cpu
    used = sys.modules[MODULE_NAME]
    out = {
        "implementation": implementation,
        "native": not used.__file__.endswith(".py"),
        "seconds": cpu if os.environ.get("BENCH_CLOCK") == "cpu" else result.seconds,
        "losses": result.losses,
        "returns": [e.episode_return for e in result.episodes],
        "trace_lines": result.trace_lines,
        "forbidden_actions": result.forbidden_actions,
    }
    sys.__stdout__.write("\n" + json.dumps(out) + "\n")


def run_once(implementation: str, trace: bool, args: argparse.Namespace, output: Path) -> dict:
    argv = ["--iterations", str(args.iterations), "--episodes", str(args.episodes), "--seed", str(args.seed),
            "--no-progress", "--output", str(output)]
    if not trace:
        argv.append("--no-trace")
    done = subprocess.run([sys.executable, __file__, "--child", implementation, "--", *argv],
                          capture_output=True, text=True, cwd=ROOT)
    if done.returncode != 0:
        sys.exit(f"{implementation} run failed:\n{done.stderr}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    if result["native"] != (implementation == "module"):
        sys.exit(f"the {implementation} run used the wrong implementation")
    return result


def same_training(a: dict, b: dict) -> bool:
    return a["losses"] == b["losses"] and a["returns"] == b["returns"] and a["forbidden_actions"] == b["forbidden_actions"]


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description="end-to-end: module against the Python rendering")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--iterations", type=int, default=8)
    parser.add_argument("--episodes", type=int, default=32)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--modes", default="on,off", help="trace modes, in the order run: on,off")
    args = parser.parse_args(argv)
    modes = [m == "on" for m in args.modes.split(",")]
    kinds = [(impl, trace) for trace in modes for impl in ("module", "python")]
    seconds: dict[tuple[str, bool], list[float]] = {k: [] for k in kinds}
    reference = None
    with tempfile.TemporaryDirectory(prefix="e2e-") as tmp:
        for round_ in range(args.runs):
            for impl, trace in kinds:
                result = run_once(impl, trace, args, Path(tmp) / f"{impl}-{trace}")
                if reference is None:
                    reference = result
                if not same_training(result, reference):
                    sys.exit(f"the {impl} run (trace {'on' if trace else 'off'}) trained differently")
                if trace and reference["trace_lines"] and result["trace_lines"] != reference["trace_lines"]:
                    sys.exit(f"the {impl} run wrote {result['trace_lines']} trace lines, "
                             f"not {reference['trace_lines']}")
                if not trace and result["trace_lines"]:
                    sys.exit(f"the {impl} run wrote trace lines with the trace off")
                seconds[impl, trace].append(result["seconds"])
                print(f"  round {round_ + 1}: {impl:6} trace {'on ' if trace else 'off'} {result['seconds']:7.2f} s",
                      file=sys.stderr, flush=True)
    import numpy
    import torch

    clock = "CPU seconds" if os.environ.get("BENCH_CLOCK") == "cpu" else "seconds as the example measures them"

    print(f"End to end: {args.iterations} iterations of {args.episodes} episodes, seed {args.seed}, "
          f"median of {args.runs} runs (Python {sys.version.split()[0]}, numpy {numpy.__version__}, "
          f"torch {torch.__version__}; {clock})")
    if reference is not None:
        print(f"  same training result in every run; {reference['trace_lines']} trace lines with the trace on")
    print(f"  {'trace':6} {'module s':>9} {'python s':>9} {'python/module':>14}   runs (module | python)")
    for trace in modes:
        mod, py = seconds["module", trace], seconds["python", trace]
        print(f"  {'on' if trace else 'off':6} {statistics.median(mod):9.2f} {statistics.median(py):9.2f} "
              f"{statistics.median(py) / statistics.median(mod):13.2f}x   "
              f"{' '.join(f'{s:.2f}' for s in mod)} | {' '.join(f'{s:.2f}' for s in py)}")
    if len(modes) == 2:
        on, off = statistics.median(seconds["module", True]), statistics.median(seconds["module", False])
        print(f"  the trace costs the module {on - off:+.2f} s ({on / off:.2f}x its time with the trace off)")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[4:])
    else:
        main(sys.argv[1:])
