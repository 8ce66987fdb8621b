// The interpreter internals that the fast paths use, in one place.
//
// Each helper below says what it is for, what it rests on for each CPython
// version, and the public replacement where one exists. Code outside this
// header does not touch private API or private struct fields of the
// interpreter; it calls these helpers.
#pragma once

#include "ref.h"

#include <cstdint>

namespace su::internals {

// The member that a class's MRO gives for `name` (borrowed; nullptr when no
// class defines it), found as generic attribute access finds it, without
// running Python code and without setting an error.
//   3.11: _PyType_Lookup (private, exported), which also uses the type
//         method cache.
inline PyObject *type_lookup(PyTypeObject *tp, PyObject *name) noexcept {
    return _PyType_Lookup(tp, name);
}

// What the interpreter finds to call for `obj.name(...)`: 1 with an unbound
// method in *found (the instance then goes first), 0 with a bound value, or
// -1 with an error set and *found nullptr. *found is a new reference.
//   3.11: _PyObject_GetMethod (private, exported).
inline int get_method(PyObject *obj, PyObject *name, PyObject **found) noexcept {
    return _PyObject_GetMethod(obj, name, found);
}

// The class's version tag, or 0 when it has none. Any change to the class or
// to one of its bases gives it a new tag (or none).
//   3.11: tp_version_tag under Py_TPFLAGS_VALID_VERSION_TAG.
inline unsigned int type_tag(PyTypeObject *tp) noexcept {
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
}

// A number that differs from every earlier one whenever the dict `d` was
// changed since it was last read (a key added, removed or rebound).
//   3.11: ma_version_tag, which the interpreter bumps on every change.
inline uint64_t dict_tag(PyObject *d) noexcept {
    return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
}

} // namespace su::internals
