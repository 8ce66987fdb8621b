// Actions and logits: unsquashing, logit unpacking and the selector mask.
#include "impls.h"

namespace su {

PyObject *impl_compute_selector_action_mask(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "compute_selector_action_mask is not implemented yet");
    return nullptr;
}

PyObject *impl_unsquash_action_batch(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "unsquash_action_batch is not implemented yet");
    return nullptr;
}

PyObject *impl_unsquash_action(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "unsquash_action is not implemented yet");
    return nullptr;
}

PyObject *impl_unpack_logits(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "unpack_logits is not implemented yet");
    return nullptr;
}

} // namespace su
