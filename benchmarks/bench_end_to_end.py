"""End to end: the example's training run (examples/train_drone.py) with the
module against the same run with the Python rendering (py_space_utils.py) in
its place, trace on and off.

One command, from the repository root:

    PYTHONPATH=build/dev/site .venv/bin/python benchmarks/bench_end_to_end.py

Options: --runs N (3), --iterations N (8), --episodes N (32), --seed N (0),
--modes on,off, --engine pg|rllib, --workers N (rllib: 2). Any interpreter works (VENV=... scripts/devbuild.sh
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

With --engine rllib the run is the example's RLlib PPO training
(examples/rllib_engine.py, --workers Ray env runners, trace on by default).
For the rendering, every Ray worker puts it in place of the module as it
starts (use_rendering, Ray's worker setup hook), so the env runners use it
as the driver's learner does; each run reports which file each env runner
used. The time is that of the training iterations (sampling on the env
runners and PPO's updates in this process); Ray's start and the
algorithm's build are printed apart. With BENCH_CLOCK=cpu it is the
processor time of the iterations in this process and in the env runners
(each env runner reports its own).
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


def use_rendering() -> None:
    """Puts the Python rendering in place of the module, before anything
    imports it (in the benchmark's child and, as Ray's worker setup hook, in
    every Ray worker)."""
    if str(BENCHMARKS) not in sys.path:
        sys.path.insert(0, str(BENCHMARKS))
    import kestrelix_train.utils
    import py_space_utils

    sys.modules[MODULE_NAME] = py_space_utils
    kestrelix_train.utils.space_utils = py_space_utils


def child(implementation: str, argv: list[str]) -> None:
    """One training run in this process; prints its result as one JSON line."""
    import dataclasses

    if implementation == "python":
        use_rendering()
    sys.path.insert(0, str(EXAMPLE_DIR))
    import train_drone

    config = dataclasses.replace(train_drone.parse_args(argv), plot=False)
    rllib = config.engine == "rllib"
    if rllib:
        # Ray workers find this script (and the rendering) on their path
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(BENCHMARKS), os.environ.get("PYTHONPATH")]))
        if implementation == "python":
            config = dataclasses.replace(config, worker_setup="bench_end_to_end.use_rendering")
    if os.environ.get("E2E_COLD") != "1":
        # The first optimizer built in a process imports torch's compiler
        # stack (seconds, and more under load): a cost of the process like
        # importing torch, paid here before the timing starts.
        import torch

        torch.optim.Adam([torch.zeros(1, requires_grad=True)])
    cpu = time.process_time()
    result = train_drone.train(config)
    cpu = time.process_time() - cpu
    used = [sys.modules[MODULE_NAME].__file__, *result.runner_modules]
    seconds = result.seconds - result.setup_seconds if rllib else result.seconds
    out = {
        "implementation": implementation,
        "native": [not path.endswith(".py") for path in used],
        "seconds": (result.cpu_seconds if rllib else cpu) if os.environ.get("BENCH_CLOCK") == "cpu" else seconds,
        "setup_seconds": result.setup_seconds,
        "losses": result.losses,
        "returns": [e.episode_return for e in result.episodes],
        "trace_lines": result.trace_lines,
        "forbidden_actions": result.forbidden_actions,
    }
    sys.__stdout__.write("\n" + json.dumps(out) + "\n")


def run_once(implementation: str, trace: bool, args: argparse.Namespace, output: Path) -> dict:
    argv = ["--iterations", str(args.iterations), "--episodes", str(args.episodes), "--seed", str(args.seed),
            "--no-progress", "--output", str(output), "--engine", args.engine]
    if args.engine == "rllib":
        argv += ["--workers", str(args.workers)]
    if not trace:
        argv.append("--no-trace")
    done = subprocess.run([sys.executable, __file__, "--child", implementation, "--", *argv],
                          capture_output=True, text=True, cwd=ROOT)
    if done.returncode != 0:
        sys.exit(f"{implementation} run failed:\n{done.stderr}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    if any(native != (implementation == "module") for native in result["native"]):
        sys.exit(f"the {implementation} run used the wrong implementation (in this process or an env runner)")
    return result


def same_training(a: dict, b: dict) -> bool:
    return a["losses"] == b["losses"] and a["returns"] == b["returns"] and a["forbidden_actions"] == b["forbidden_actions"]


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(
        description="End to end: the example's training run with the module against the same run with the "
        "Python rendering in its place, trace on and off; medians of fresh processes, run alternately.",
        epilog="BENCH_CLOCK=cpu: processor time instead of elapsed time (with --engine rllib, of the training "
        "iterations in this process and in every env runner).",
    )
    parser.add_argument("--runs", type=int, default=3, help="fresh processes of each kind (%(default)s)")
    parser.add_argument("--iterations", type=int, default=8, help="training iterations per run (%(default)s)")
    parser.add_argument("--episodes", type=int, default=32, help="episodes per iteration (%(default)s)")
    parser.add_argument("--seed", type=int, default=0, help="the example's seed (%(default)s)")
    parser.add_argument("--modes", default="on,off", help="trace modes, in the order run: on,off")
    parser.add_argument("--engine", choices=("pg", "rllib"), default="pg", help="the example's engine (pg)")
    parser.add_argument("--workers", type=int, default=2, help="Ray env runners with --engine rllib (2)")
    args = parser.parse_args(argv)
    modes = [m == "on" for m in args.modes.split(",")]
    kinds = [(impl, trace) for trace in modes for impl in ("module", "python")]
    seconds: dict[tuple[str, bool], list[float]] = {k: [] for k in kinds}
    setup: dict[str, list[float]] = {"module": [], "python": []}
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
                setup[impl].append(result["setup_seconds"])
                print(f"  round {round_ + 1}: {impl:6} trace {'on ' if trace else 'off'} {result['seconds']:7.2f} s",
                      file=sys.stderr, flush=True)
    import numpy
    import torch

    clock = "CPU seconds" if os.environ.get("BENCH_CLOCK") == "cpu" else "seconds as the example measures them"
    what = f"{args.iterations} iterations of {args.episodes} episodes"
    if args.engine == "rllib":
        clock = ("CPU seconds of the training iterations, driver and env runners"
                 if os.environ.get("BENCH_CLOCK") == "cpu" else "seconds of the training iterations")
        what = f"RLlib PPO, {args.workers} env runners, {args.iterations} iterations of {args.episodes} episodes"

    print(f"End to end: {what}, seed {args.seed}, "
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
    if args.engine == "rllib":
        print(f"  Ray's start and the algorithm's build, not in the times above: module "
              f"{statistics.median(setup['module']):.2f} s, python {statistics.median(setup['python']):.2f} s")
    if len(modes) == 2:
        on, off = statistics.median(seconds["module", True]), statistics.median(seconds["module", False])
        print(f"  the trace costs the module {on - off:+.2f} s ({on / off:.2f}x its time with the trace off)")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[4:])
    else:
        main(sys.argv[1:])
