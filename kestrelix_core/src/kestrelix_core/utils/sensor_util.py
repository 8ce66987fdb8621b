"""Splitting an agent's sensors into mapped and unmapped ones."""
from __future__ import annotations

from typing import Iterable, List

from kestrelix_core.agent.sensor import Sensor


def get_unmapped_sensors(sensors: Iterable[Sensor]) -> List[Sensor]:
    """Sensors whose value is taken straight from the simulator, in order."""
    return [sensor for sensor in sensors if not sensor.has_lambda()]


def get_mapped_sensors(sensors: Iterable[Sensor]) -> List[Sensor]:
    """Sensors that compute their value from the whole observation, in order."""
    return [sensor for sensor in sensors if sensor.has_lambda()]
