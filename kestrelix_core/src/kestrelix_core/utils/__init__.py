from kestrelix_core.utils import sensor_util

__all__ = ["sensor_util"]
