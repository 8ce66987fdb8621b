// Action masks: application, combination, all-zero and fit tests.
#include "impls.h"

namespace su {

PyObject *impl_action_fits_mask(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "action_fits_mask is not implemented yet");
    return nullptr;
}

PyObject *impl_combine_masks(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "combine_masks is not implemented yet");
    return nullptr;
}

PyObject *impl_apply_mask(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "apply_mask is not implemented yet");
    return nullptr;
}

PyObject *impl_mask_all_zero(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "mask_all_zero is not implemented yet");
    return nullptr;
}

} // namespace su
