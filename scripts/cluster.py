"""The drone trained with RLlib's PPO on a two-node Ray cluster on this
machine (run by scripts/cluster.sh, which gives it a network of its own that
only this machine's loopback belongs to, and ends every process it started).

    scripts/cluster.sh [--kill-runner] [train_drone.py's options]

Two Ray nodes (Ray's cluster utilities, each of 2 CPUs and one env runner
slot), two env runners, one on each node, and two learner actors. With
--kill-runner, env runner 1's process is killed during the second
iteration; RLlib restarts it and training goes on. The cluster is shut down
and its temporary folder removed whatever happens.
"""

from __future__ import annotations

import dataclasses
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
# The learners' gradient exchange asks for its peers' host names, which a
# network of the loopback alone does not give: torch warns of each (and
# goes on). The nodes' processes, learners included, inherit this.
os.environ.setdefault("TORCH_CPP_LOG_LEVEL", "ERROR")

import train_drone  # noqa: E402

# the env runners' slot: one per node, so that the two runners land on different nodes
RUNNER_SLOT = "drone_env_runner"
KILL_IN = 2
# what a run that learned reaches: the mean return of its last 128 episodes
LAST, LEARNED = 128, 1.8


def main(argv: list[str]) -> int:
    kill = "--kill-runner" in argv
    argv = [arg for arg in argv if arg != "--kill-runner"]
    config = train_drone.parse_args(["--engine", "rllib", "--workers", "2", "--learners", "2", *argv])
    if config.workers != 2:
        raise SystemExit("cluster.py: the cluster holds exactly two env runners (--workers 2)")
    import ray
    from ray.cluster_utils import Cluster

    temp = Path(os.environ.get("CLUSTER_TMP") or tempfile.mkdtemp(prefix="kestrelix-cluster."))
    cluster = None
    start = time.perf_counter()
    try:
        # where the cluster utilities leave the file that names the running
        # cluster (under RAY_TMPDIR, which cluster.sh points here): gone with
        # the folder, so that no later ray.init() on this machine finds it
        (temp / "ray").mkdir(parents=True, exist_ok=True)
        # a runner slot and a CPU for the runner on each node, and the
        # learners' CPUs shared among the two
        node = {"resources": {RUNNER_SLOT: 1}, "temp_dir": str(temp), "node_ip_address": "127.0.0.1"}
        cluster = Cluster(
            initialize_head=True,
            head_node_args={**node, "num_cpus": 1 + config.learners // 2, "include_dashboard": False},
        )
        cluster.add_node(**node, num_cpus=1 + config.learners - config.learners // 2)
        cluster.wait_for_nodes()
        print(f"Two Ray nodes up at {cluster.address} in {time.perf_counter() - start:.1f} s", flush=True)
        config = dataclasses.replace(
            config,
            address=cluster.address,
            runner_resources={RUNNER_SLOT: 1},
            kill_runner_in=KILL_IN if kill else 0,
        )
        result = train_drone.train(config)
        print(train_drone.summary(result, config))
        failures = []
        last = result.episodes[-LAST:]
        mean = sum(e.episode_return for e in last) / max(1, len(last))
        print(f"  last {len(last)} episodes' mean return: {mean:+.2f} (at least {LEARNED:+.1f}: learned)")
        if mean < LEARNED or result.forbidden_actions:
            failures.append(f"the run did not learn (return {mean:+.2f}, {result.forbidden_actions} forbidden actions)")
        if result.runner_nodes != 2:
            failures.append(f"the env runners ran on {result.runner_nodes} node(s), not 2")
        if kill and (result.runners_killed != 1 or result.runner_restarts != 1):
            failures.append(f"{result.runners_killed} runner(s) killed, {result.runner_restarts} restarted (1 expected)")
        for failure in failures:
            print(f"cluster.py: {failure}", file=sys.stderr)
        return 1 if failures else 0
    finally:
        if ray.is_initialized():
            ray.shutdown()
        if cluster is not None:
            cluster.shutdown()
        shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
