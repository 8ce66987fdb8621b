// Flattening and arrays: nested observations into flat arrays and tensors.
#include "impls.h"
#include "walk.h"

namespace su {

namespace {

// make_np_array(child, dtype=dtype), through the module global.
Ref make_np_array_child(PyObject *globals, PyObject *child, PyObject *dtype) {
    Ref fn = global(globals, SU_STR(make_np_array));
    if (!fn)
        return {};
    PyObject *argv[] = {child, dtype};
    return call_kw(fn.get(), argv, 1, SU_KWNAMES1(dtype));
}

} // namespace

PyObject *impl_make_np_array(PyObject *globals, PyObject *const *args) {
    PyObject *x = args[0];
    PyObject *dtype = args[1];
    RecursionGuard guard(" while building numpy arrays");
    if (!guard.ok())
        return nullptr;
    {
        // The trace line: print("x===", x, type(x)).
        Ref print = global(globals, SU_STR(print));
        if (!print)
            return nullptr;
        Ref printed = call(print.get(), SU_LIT("x==="), x, reinterpret_cast<PyObject *>(Py_TYPE(x)));
        if (!printed)
            return nullptr;
    }
    Ref ndarray = global_attr(globals, SU_STR(np), SU_STR(ndarray));
    if (!ndarray)
        return nullptr;
    int is_array = isinstance(x, ndarray.get());
    if (is_array < 0)
        return nullptr;
    if (is_array)
        return call_method(x, SU_STR(astype), dtype).release();
    if (PyDict_Check(x)) {
        Ref result = Ref::steal(PyDict_New());
        if (!result)
            return nullptr;
        int r = for_each_item(x, [&](PyObject *key, PyObject *value) -> int {
            Ref converted = make_np_array_child(globals, value, dtype);
            if (!converted)
                return -1;
            return PyDict_SetItem(result.get(), key, converted.get());
        });
        return r < 0 ? nullptr : result.release();
    }
    if (PyTuple_Check(x)) {
        Ref items = Ref::steal(PyList_New(0));
        if (!items)
            return nullptr;
        int r = for_each(x, [&](PyObject *member) -> int {
            Ref converted = make_np_array_child(globals, member, dtype);
            if (!converted)
                return -1;
            return PyList_Append(items.get(), converted.get());
        });
        return r < 0 ? nullptr : PyList_AsTuple(items.get());
    }
    Ref array = global_attr(globals, SU_STR(np), SU_STR(array));
    if (!array)
        return nullptr;
    PyObject *argv[] = {x, dtype};
    return call_kw(array.get(), argv, 1, SU_KWNAMES1(dtype)).release();
}

PyObject *impl_flatten_unknown(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "_flatten_unknown is not implemented yet");
    return nullptr;
}

PyObject *impl_flatten_object_torch(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "flatten_object_torch is not implemented yet");
    return nullptr;
}

PyObject *impl_flatten_object_batch(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "flatten_object_batch is not implemented yet");
    return nullptr;
}

PyObject *impl_flatten_object_numpy(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "flatten_object_numpy is not implemented yet");
    return nullptr;
}

} // namespace su
