"""Space description: the per-step sensor mapping, the enriched space, and
filtering, against the same steps written directly in Python.

The mapping prints make_np_array's trace lines; run_cases sends them to a
null stream for the module and the Python version alike. The "no trace"
rows rebind the module-level name `print` of both versions to a no-op, to
show the cost of the mapping itself.
"""
from __future__ import annotations

import asyncio
import contextlib
import io
import random
from collections import OrderedDict

import numpy as np

import py_space_utils
from _harness import Case, run_cases
from kestrelix_core import spaces as S
from kestrelix_core.agent.sensor import Sensor
from kestrelix_core.utils import sensor_util
from kestrelix_train.utils import space_utils as su

# The same steps, in Python: the end-to-end benchmark's rendering.
from py_space_utils import convert_sim_sensors_to_kestrelix_sensors as py_convert_sim_sensors
from py_space_utils import get_kestrelix_space_info as py_get_kestrelix_space_info
from py_space_utils import make_np_array as py_make_np_array  # noqa: F401 (bench_trace)

# ----- a realistic agent ------------------------------------------------------


class Perceptor:
    def __init__(self, name, out):
        self.name, self.out = name, out

    def get_name(self):
        return self.name

    async def perceive(self, space, sensors):
        return self.out


class Skill:
    def __init__(self, name, value):
        self.name, self.value = name, value

    def get_skill_name(self):
        return self.name

    def get_action_space(self):
        return S.Discrete(3)

    async def _execute(self, sensors):
        return self.value


SPEC = S.SimSensorSpace({"pos": S.Box(-1, 1, (3,)), "vel": S.Box(-1, 1, (3,)), "fuel": S.Box(0, 1, (1,))})
SENSORS = [Sensor("pos"), Sensor("vel"), Sensor("fuel"),
           Sensor("speed", lambda o: float(np.linalg.norm(o["vel"]))), Sensor("alt", lambda o: o["pos"][2])]
PERCEPTORS = [Perceptor("near", {"near_dist": 1.5, "near_dir": np.zeros(3)}), Perceptor("goal", {"goal": np.ones(2)})]
SKILLS = [Skill("move", np.zeros(3)), Skill("land", 1)]
OBS = OrderedDict(pos=np.ones(3), vel=np.zeros(3), fuel=np.array([0.5]))
ARGS = (OBS, SPEC, SENSORS, PERCEPTORS, SKILLS)
INFO_ARGS = (SPEC, SENSORS, PERCEPTORS, SKILLS)
LEAVES = [*OBS.values(), np.zeros(1, np.float32), np.zeros(1, np.float32),
          *(v for p in PERCEPTORS for v in p.out.values())]
# The dict make_np_array is given (its trace line prints it whole).
TRACED = dict(zip(["pos", "vel", "fuel", "speed", "alt", "near_dist", "near_dir", "goal"], LEAVES))


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as e:
        return e.value
    raise RuntimeError("the benchmark's collaborators never suspend")


def floor_mapping():
    # The collaborators' own work: sensor_util, the sensor space, the
    # sensors, the awaited perceptors and skill processors, numpy's
    # conversion of every value and make_np_array's trace line for every
    # node it visits (through whatever `print` is bound), without the steps
    # that tie them together.
    sim = dict(OBS)
    values = SPEC.get_sample_as_kestrelix_sensors(sim, sensor_util.get_unmapped_sensors(SENSORS))
    for sensor in sensor_util.get_mapped_sensors(SENSORS):
        np.array([sensor.sense(sim)], dtype=np.float32)
    for p in PERCEPTORS:
        drive(p.perceive(SPEC, values))
    print("x===", TRACED, dict)
    for v in LEAVES:
        print("x===", v, type(v))
        v.astype(np.float32) if isinstance(v, np.ndarray) else np.array(v, dtype=np.float32)
    for s in SKILLS:
        drive(s._execute(values))
        s.get_skill_name()


class _NoTrace:
    """Rebinds `print` in the module, in the Python rendering and in this
    file to a no-op."""

    def __enter__(self):
        su.print = py_space_utils.print = globals()["print"] = lambda *a: None

    def __exit__(self, *exc):
        del su.print, py_space_utils.print, globals()["print"]


def _no_trace(fn):
    def run():
        with _NoTrace():
            return fn()

    return run


def cases() -> list[Case]:
    loop = asyncio.new_event_loop()
    keys = ["pos", "speed", "near_dist", "move"]
    with contextlib.redirect_stdout(io.StringIO()):
        sample = drive(su.convert_sim_sensors_to_kestrelix_sensors(*ARGS))
    space = drive(su.get_kestrelix_space_info(*INFO_ARGS))
    kept_spaces = {k: v for k, v in space.spaces.items() if k in keys}
    # 64 entries, half of them kept, the keys listed in another order.
    big = {f"sensor_{i:02d}": np.zeros(1) for i in range(64)}
    big_keys = list(big)[::2]
    random.Random(0).shuffle(big_keys)
    return [
        Case("convert_sim_sensors: one await, send()",
             module=lambda: drive(su.convert_sim_sensors_to_kestrelix_sensors(*ARGS)),
             python=lambda: drive(py_convert_sim_sensors(*ARGS)), floor=floor_mapping),
        Case("convert_sim_sensors: one await, asyncio task",
             module=lambda: loop.run_until_complete(su.convert_sim_sensors_to_kestrelix_sensors(*ARGS)),
             python=lambda: loop.run_until_complete(py_convert_sim_sensors(*ARGS))),
        Case("convert_sim_sensors: send(), no trace",
             module=_no_trace(lambda: drive(su.convert_sim_sensors_to_kestrelix_sensors(*ARGS))),
             python=_no_trace(lambda: drive(py_convert_sim_sensors(*ARGS))), floor=_no_trace(floor_mapping)),
        Case("get_kestrelix_space_info: one await",
             module=lambda: drive(su.get_kestrelix_space_info(*INFO_ARGS)),
             python=lambda: drive(py_get_kestrelix_space_info(*INFO_ARGS))),
        Case("filter_sample: 4 of 10 keys",
             module=lambda: su.filter_sample(sample, keys),
             python=lambda: {k: v for k, v in sample.items() if k in keys}),
        Case("filter_sample: 32 of 64 keys",
             module=lambda: su.filter_sample(big, big_keys),
             python=lambda: {k: v for k, v in big.items() if k in big_keys}),
        Case("filter_space: 4 of 10 keys",
             module=lambda: su.filter_space(space, keys),
             python=lambda: S.Dict({k: v for k, v in space.spaces.items() if k in keys}),
             floor=lambda: S.Dict(kept_spaces)),
    ]


if __name__ == "__main__":
    run_cases("Space description", cases())
