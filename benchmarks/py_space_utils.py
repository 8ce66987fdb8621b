"""The functions the example's training run calls, written in plain Python:
the baseline of the end-to-end benchmark (bench_end_to_end.py), which puts
this module in place of the extension before the example imports it.

Most functions are the renderings the per-subsystem benchmarks already time,
imported from there. make_np_array and the sensor mapping that calls it are
defined here, because they reach `print` and `make_np_array` through this
module's globals: the example silences the trace by binding the module
attribute `print` to a no-op, and that has to reach this rendering as it
reaches the extension.
"""

from __future__ import annotations

from collections import OrderedDict

import numpy as np
from bench_actions import py_compute_selector_action_mask as compute_selector_action_mask  # noqa: F401
from bench_actions import py_unpack_logits as unpack_logits  # noqa: F401
from bench_actions import py_unsquash_action as unsquash_action  # noqa: F401
from bench_actions import py_unsquash_action_batch as unsquash_action_batch  # noqa: F401
from bench_flattening import py_flatten_batch as flatten_object_batch  # noqa: F401
from bench_flattening import py_flatten_numpy as flatten_object_numpy  # noqa: F401
from bench_flattening import py_flatten_torch as flatten_object_torch  # noqa: F401
from bench_masks import py_action_fits_mask as action_fits_mask  # noqa: F401
from bench_masks import py_apply_mask as apply_mask  # noqa: F401
from bench_masks import py_combine_masks as combine_masks  # noqa: F401
from bench_masks import py_mask_all_zero as mask_all_zero  # noqa: F401

from kestrelix_core import spaces as kestrelix_spaces
from kestrelix_core.utils import sensor_util


def _convert_sensor_to_numpy_array(sensor):
    if isinstance(sensor, dict):
        return {k: _convert_sensor_to_numpy_array(v) for k, v in sensor.items()}
    if isinstance(sensor, np.ndarray):
        return np.array([sensor], dtype=sensor.dtype) if len(sensor.shape) == 0 else sensor
    return np.array([sensor], dtype=np.float32)


def _convert_value_to_gym_space(value):
    if isinstance(value, dict):
        return kestrelix_spaces.Dict({k: _convert_value_to_gym_space(v) for k, v in value.items()})
    if isinstance(value, np.ndarray):
        shape = (1,) if len(value.shape) == 0 else tuple(value.shape)
        return kestrelix_spaces.Box(low=-np.inf, high=np.inf, shape=shape)
    if "numpy" in str(type(value).__module__) or isinstance(value, (int, float)):
        return kestrelix_spaces.Box(low=-np.inf, high=np.inf, shape=(1,))
    raise NotImplementedError(f"Unable to convert value ({value}) to gym space!, got type {type(value)}")


def make_np_array(x, dtype=np.float32):
    print("x===", x, type(x))
    if isinstance(x, np.ndarray):
        return x.astype(dtype)
    if isinstance(x, dict):
        return {k: make_np_array(v, dtype=dtype) for k, v in x.items()}
    if isinstance(x, tuple):
        return tuple(make_np_array(v, dtype=dtype) for v in x)
    return np.array(x, dtype=dtype)


async def convert_sim_sensors_to_kestrelix_sensors(sim_sensors, sim_sensors_spec, agent_sensors, perceptors, skill_processors):
    if isinstance(sim_sensors, OrderedDict):
        sim_sensors = dict(sim_sensors)
    kestrelix_sensors = {}
    sensors_unmapped = sensor_util.get_unmapped_sensors(agent_sensors)
    sensors_mapped = sensor_util.get_mapped_sensors(agent_sensors)
    if len(sensors_unmapped) > 0:
        kestrelix_sensors = sim_sensors_spec.get_sample_as_kestrelix_sensors(sim_sensors, sensors_unmapped)
    for sensor in sensors_mapped:
        kestrelix_sensors[sensor.name] = _convert_sensor_to_numpy_array(sensor.sense(sim_sensors))
    for perceptor in perceptors:
        perceptor_output = await perceptor.perceive(sim_sensors_spec, kestrelix_sensors)
        for key, value in perceptor_output.items():
            if key in kestrelix_sensors:
                raise Exception(f"Perceptor {perceptor.get_name()} has a key {key} that already exists in the "
                                "sensor space dictionary!")
            kestrelix_sensors[key] = value
    kestrelix_sensors = make_np_array(kestrelix_sensors)
    for skill_processor in skill_processors:
        value = await skill_processor._execute(kestrelix_sensors)
        kestrelix_sensors[skill_processor.get_skill_name()] = value
    return kestrelix_sensors


async def _get_perceptor_space(perceptors, sensor_space_spec):
    perceptor_dict = {}
    for perceptor in perceptors:
        perceptor_output = await perceptor.perceive(sensor_space_spec, sensor_space_spec.sample())
        for key, value in perceptor_output.items():
            if key in perceptor_dict:
                raise Exception("duplicate")
            perceptor_dict[key] = _convert_value_to_gym_space(value)
    return perceptor_dict


async def get_kestrelix_space_info(sensor_space_spec, sensors, perceptors, skill_processors):
    kestrelix_space = kestrelix_spaces.Dict({})
    non_mapped = [s for s in sensors if not s.has_lambda()]
    if len(non_mapped) > 0:
        kestrelix_space = sensor_space_spec.convert_to_kestrelix_space(non_mapped)
    for sensor in [s for s in sensors if s.has_lambda()]:
        output = _convert_sensor_to_numpy_array(sensor.sense(sensor_space_spec.sample()))
        if sensor.name in kestrelix_space:
            raise Exception("duplicate")
        kestrelix_space[sensor.name] = _convert_value_to_gym_space(output)
    for key, space in (await _get_perceptor_space(perceptors, sensor_space_spec)).items():
        if key in kestrelix_space:
            raise Exception("duplicate")
        kestrelix_space[key] = space
    for skill_processor in skill_processors:
        action_space = skill_processor.get_action_space()
        kestrelix_space[skill_processor.get_skill_name()] = action_space
    return kestrelix_space


def filter_space(space, keys):
    return kestrelix_spaces.Dict({key: sub for key, sub in space.spaces.items() if key in keys})


def filter_sample(sample, keys):
    return {key: value for key, value in sample.items() if key in keys}
