# Type stubs of the native module kestrelix_train.utils.space_utils.
#
# The annotations are those that the module's functions carry at run time
# (their __annotations__ strings), kept verbatim. Parameters and results that
# carry none at run time are typed Any, except where a result always has one
# type. Bare generics (Dict, List, np.ndarray) are the module's own spelling.
# mypy: disable-error-code="type-arg"

from collections import OrderedDict as OrderedDict
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Tuple as Tuple
from typing import TypeVar as TypeVar
from typing import Union as Union

import gymnasium
import kestrelix_core.spaces as kestrelix_spaces
import numpy
import torch as torch
import tree as tree
from kestrelix_core.agent.perceptor.perceptor import Perceptor as Perceptor
from kestrelix_core.agent.sensor import Sensor as Sensor
from kestrelix_core.agent.skill.skill_selector import SkillSelector as SkillSelector
from kestrelix_core.utils import sensor_util as sensor_util


# collaborators under the module's short names
gym = gymnasium
np = numpy
TypingDict = Dict
# RLlib's NestedDict where Ray provides it, else a stand-in class that has no
# instances (Ray is optional)
NestedDict: type[Any]

T = TypeVar("T")
FlatType = Union[np.ndarray, TypingDict, tuple, gym.spaces.GraphInstance]
primitive_types: tuple[type[int], type[float]]
TypeKestrelixSpace = Dict[str, kestrelix_spaces.Space]
TypeKestrelixSensorValues = Dict[str, np.ndarray]

# -- space description ------------------------------------------------------

def _convert_sensor_to_numpy_array(sensor: Union[np.ndarray | Dict]) -> np.ndarray | Dict[str, np.ndarray]: ...
def _convert_value_to_gym_space(value: Any) -> kestrelix_spaces.Space: ...
async def _get_perceptor_space(
    perceptors: List[Perceptor], sensor_space_spec: kestrelix_spaces.Space
) -> kestrelix_spaces.Dict: ...
async def get_kestrelix_space_info(
    sensor_space_spec: kestrelix_spaces.Space,
    sensors: List[Sensor],
    perceptors: List[Perceptor],
    skill_processors: List,
) -> TypeKestrelixSpace: ...
async def convert_sim_sensors_to_kestrelix_sensors(
    sim_sensors: Union[OrderedDict, Dict],
    sim_sensors_spec: kestrelix_spaces.Space,
    agent_sensors: List[Sensor],
    perceptors: List[Perceptor],
    skill_processors: Any,
) -> TypeKestrelixSpace: ...
def filter_space(space: kestrelix_spaces.Dict, keys: List[str]) -> kestrelix_spaces.Space: ...
def filter_sample(sample: Dict, keys: List[str]) -> Dict: ...

# -- flattening and arrays ----------------------------------------------------

def _flatten_unknown(space: Any, x: Any) -> Union[dict, np.ndarray]: ...
def flatten_object_torch(object: Any) -> torch.Tensor: ...
def flatten_object_batch(object: Any) -> torch.Tensor: ...
def flatten_object_numpy(object: Any) -> np.ndarray: ...
def make_np_array(x: Any, dtype: Any = ...) -> Any: ...

# -- actions and logits -------------------------------------------------------

def unsquash_action(action: Any, action_space_struct: Any) -> Any: ...
def unsquash_action_batch(action_batch: Any, action_space_struct: Any) -> Dict[Any, List[Any]]: ...
def unpack_logits(logits: torch.Tensor, space: kestrelix_spaces.Space) -> Any: ...
def compute_selector_action_mask(previous_action: Any, skill: SkillSelector) -> np.ndarray | List[int]: ...

# -- action masks -------------------------------------------------------------

def apply_mask(
    logits: Union[Dict, Tuple, List, np.ndarray], action_mask: Union[Dict, Tuple, List, np.ndarray]
) -> Any: ...
def combine_masks(mask1: Any, mask2: Any) -> Any: ...
def mask_all_zero(action_mask: Any) -> bool: ...
def action_fits_mask(action: Any, action_mask: Any, action_space: Any) -> Any: ...
