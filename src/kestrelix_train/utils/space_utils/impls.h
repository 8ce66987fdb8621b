// The bodies of the twenty module-level functions, one unit per subsystem.
// Each takes the module's namespace and the already parsed, already
// type-checked arguments in parameter order (see function.h).
#pragma once

#include "ref.h"

namespace su {

// space_description
PyObject *impl_convert_sensor_to_numpy_array(PyObject *globals, PyObject *const *args);
PyObject *impl_convert_value_to_gym_space(PyObject *globals, PyObject *const *args);
PyObject *impl_get_perceptor_space(PyObject *globals, PyObject *const *args);
PyObject *impl_get_kestrelix_space_info(PyObject *globals, PyObject *const *args);
PyObject *impl_convert_sim_sensors_to_kestrelix_sensors(PyObject *globals, PyObject *const *args);
PyObject *impl_filter_space(PyObject *globals, PyObject *const *args);
PyObject *impl_filter_sample(PyObject *globals, PyObject *const *args);

// flattening
PyObject *impl_flatten_unknown(PyObject *globals, PyObject *const *args);
PyObject *impl_make_np_array(PyObject *globals, PyObject *const *args);
PyObject *impl_flatten_object_torch(PyObject *globals, PyObject *const *args);
PyObject *impl_flatten_object_batch(PyObject *globals, PyObject *const *args);
PyObject *impl_flatten_object_numpy(PyObject *globals, PyObject *const *args);

// actions
PyObject *impl_compute_selector_action_mask(PyObject *globals, PyObject *const *args);
PyObject *impl_unsquash_action_batch(PyObject *globals, PyObject *const *args);
PyObject *impl_unsquash_action(PyObject *globals, PyObject *const *args);
PyObject *impl_unpack_logits(PyObject *globals, PyObject *const *args);

// masks
PyObject *impl_action_fits_mask(PyObject *globals, PyObject *const *args);
PyObject *impl_combine_masks(PyObject *globals, PyObject *const *args);
PyObject *impl_apply_mask(PyObject *globals, PyObject *const *args);
PyObject *impl_mask_all_zero(PyObject *globals, PyObject *const *args);

} // namespace su
