// Native stand-ins for the numpy conversions of the sensor mapping:
// `x.astype(dtype)` and `np.array(value, dtype=dtype)` (or `np.array([value],
// dtype=dtype)`) for a float32 or float64 `dtype`, where numpy's result is
// known exactly:
//
//   * astype of an exact numpy.ndarray of bool, integer or real float dtype:
//     numpy's own steps for it (a new array laid out like `x`, then numpy's
//     copy with casting), without parsing the call; the copy is numpy's, and
//     so are its cast warnings and errors (overflow, underflow) under the
//     error state in force.
//   * np.array of an exact bool, an int whose magnitude is at most 2**53, a
//     float, or an exact numpy float32/float64 scalar: a new 0-d array (or a
//     one-element array for the listed form) holding the value rounded to the
//     target precision, as numpy rounds it. Only where numpy would report
//     nothing: a value beyond float32's range (numpy reports the overflow),
//     or a numpy float64 scalar that float32 can hold only as a subnormal
//     number or zero (numpy's cast of a numpy scalar reports the underflow;
//     that of a Python float does not), goes to numpy.
//
// Each returns 1 with `out` set, 0 when numpy must be called (nothing has
// run), or -1 with an error set.
#pragma once

#include "collaborators.h"
#include "guards.h"

#include <numpy/arrayscalars.h>

#include <cmath>
#include <limits>

namespace su {

namespace array_cast_detail {

// The builtin descriptor that `dtype` names: np.float32 or np.float64, as a
// scalar type or as numpy's own dtype object; nullptr otherwise (borrowed).
inline PyArray_Descr *target_descr(PyObject *dtype) noexcept {
    int type_num = -1;
    if (dtype == reinterpret_cast<PyObject *>(&PyFloatArrType_Type))
        type_num = NPY_FLOAT;
    else if (dtype == reinterpret_cast<PyObject *>(&PyDoubleArrType_Type))
        type_num = NPY_DOUBLE;
    else if (PyArray_DescrCheck(dtype))
        type_num = reinterpret_cast<PyArray_Descr *>(dtype)->type_num;
    if (type_num != NPY_FLOAT && type_num != NPY_DOUBLE)
        return nullptr;
    PyArray_Descr *d = PyArray_DescrFromType(type_num);
    Py_XDECREF(d); // builtin descriptors live as long as numpy
    if (PyArray_DescrCheck(dtype) && reinterpret_cast<PyArray_Descr *>(dtype) != d)
        return nullptr; // an equal but distinct dtype object (byte order, metadata)
    return d;
}

// A source array whose cast numpy makes without any question of its own:
// numpy's builtin descriptor of a bool, integer or real float type.
inline bool plain_source(PyArrayObject *a) noexcept {
    PyArray_Descr *d = PyArray_DESCR(a);
    const int t = d->type_num;
    if (!(PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t)))
        return false;
    PyArray_Descr *b = PyArray_DescrFromType(t);
    Py_XDECREF(b);
    return b == d;
}

// `value` as a double that holds it exactly; false when it is not one of
// the handled kinds.
inline bool exact_double(PyObject *value, double &v) noexcept {
    if (PyFloat_CheckExact(value)) {
        v = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyBool_Check(value)) {
        v = value == Py_True ? 1.0 : 0.0;
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
        constexpr long long kExact = 1LL << 53;
        if (overflow || i > kExact || i < -kExact) {
            if (i == -1 && PyErr_Occurred())
                PyErr_Clear();
            return false;
        }
        v = static_cast<double>(i);
        return true;
    }
    if (Py_TYPE(value) == &PyDoubleArrType_Type) {
        v = PyArrayScalar_VAL(value, Double);
        return true;
    }
    if (Py_TYPE(value) == &PyFloatArrType_Type) {
        v = static_cast<double>(PyArrayScalar_VAL(value, Float));
        return true;
    }
    return false;
}

} // namespace array_cast_detail

// x.astype(dtype)
inline int astype_natively(PyObject *x, PyObject *dtype, Ref &out) {
    using namespace array_cast_detail;
    const int ready = collaborators_ready();
    if (ready <= 0)
        return ready;
    if (!PyArray_CheckExact(x))
        return 0;
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(x);
    PyArray_Descr *descr = target_descr(dtype);
    if (!descr || !plain_source(a))
        return 0;
    Py_INCREF(descr); // stolen by PyArray_NewLikeArray
    Ref result = Ref::steal(PyArray_NewLikeArray(a, NPY_KEEPORDER, descr, 1));
    if (!result || PyArray_CopyInto(reinterpret_cast<PyArrayObject *>(result.get()), a) < 0)
        return -1;
    out = std::move(result);
    return 1;
}

// np.array(value, dtype=dtype) (`listed`: np.array([value], dtype=dtype)).
// `array` is the function that `np.array` named at the call.
inline int array_natively(PyObject *array, PyObject *value, PyObject *dtype, bool listed, Ref &out) {
    using namespace array_cast_detail;
    const int ready = collaborators_ready();
    if (ready <= 0)
        return ready;
    if (!guards::same(guards::Is::Array, array))
        return 0;
    PyArray_Descr *descr = target_descr(dtype);
    double v = 0;
    if (!descr || !exact_double(value, v))
        return 0;
    if (descr->type_num == NPY_FLOAT && std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
        return 0; // numpy reports the overflow
    if (descr->type_num == NPY_FLOAT && Py_TYPE(value) == &PyDoubleArrType_Type && v != 0 &&
        std::fabs(v) < std::numeric_limits<float>::min())
        return 0; // numpy's cast of the scalar reports the underflow
    npy_intp one = 1;
    Py_INCREF(descr); // stolen by PyArray_NewFromDescr
    Ref result = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, listed ? 1 : 0,
                                                 listed ? &one : nullptr, nullptr, nullptr, 0, nullptr));
    if (!result)
        return -1;
    void *data = PyArray_DATA(reinterpret_cast<PyArrayObject *>(result.get()));
    if (descr->type_num == NPY_FLOAT)
        *static_cast<float *>(data) = static_cast<float>(v);
    else
        *static_cast<double *>(data) = v;
    out = std::move(result);
    return 1;
}

} // namespace su
