// Space description: sensor values into numpy form and into spaces, the
// enriched observation space, the per-step sensor mapping, and filtering.
#include "impls.h"
#include "walk.h"

namespace su {

namespace {

// kestrelix_spaces.Box(low=-np.inf, high=np.inf, shape=shape)
Ref unbounded_box(PyObject *globals, PyObject *shape) {
    Ref box = global_attr(globals, SU_STR(kestrelix_spaces), SU_STR(Box));
    if (!box)
        return {};
    Ref inf = global_attr(globals, SU_STR(np), SU_STR(inf));
    if (!inf)
        return {};
    Ref neg = Ref::steal(PyNumber_Negative(inf.get()));
    if (!neg)
        return {};
    static PyObject *kwnames = nullptr;
    if (!kwnames) {
        kwnames = Py_BuildValue("(sss)", "low", "high", "shape");
        if (!kwnames)
            return {};
    }
    PyObject *argv[] = {neg.get(), inf.get(), shape};
    return Ref::steal(PyObject_Vectorcall(box.get(), argv, 0, kwnames));
}

Ref shape_one() {
    return Ref::steal(Py_BuildValue("(i)", 1));
}

// np.array([value], dtype=dtype)
Ref wrap_in_array(PyObject *globals, PyObject *value, PyObject *dtype) {
    Ref array = global_attr(globals, SU_STR(np), SU_STR(array));
    if (!array)
        return {};
    Ref lst = Ref::steal(PyList_New(1));
    if (!lst)
        return {};
    PyList_SET_ITEM(lst.get(), 0, Py_NewRef(value));
    PyObject *argv[] = {lst.get(), dtype};
    return call_kw(array.get(), argv, 1, SU_KWNAMES1(dtype));
}

} // namespace

PyObject *impl_convert_sensor_to_numpy_array(PyObject *globals, PyObject *const *args) {
    PyObject *sensor = args[0];
    RecursionGuard guard(" while converting a sensor value");
    if (!guard.ok())
        return nullptr;
    if (PyDict_Check(sensor)) {
        Ref result = Ref::steal(PyDict_New());
        if (!result)
            return nullptr;
        int r = for_each_item(sensor, [&](PyObject *key, PyObject *value) -> int {
            Ref fn = global(globals, SU_STR(_convert_sensor_to_numpy_array));
            if (!fn)
                return -1;
            Ref converted = call(fn.get(), value);
            if (!converted)
                return -1;
            return PyDict_SetItem(result.get(), key, converted.get());
        });
        return r < 0 ? nullptr : result.release();
    }
    Ref np = global(globals, SU_STR(np));
    if (!np)
        return nullptr;
    Ref ndarray = getattr(np.get(), SU_STR(ndarray));
    if (!ndarray)
        return nullptr;
    int is_array = isinstance(sensor, ndarray.get());
    if (is_array < 0)
        return nullptr;
    if (is_array) {
        Ref shape = getattr(sensor, SU_STR(shape));
        if (!shape)
            return nullptr;
        Py_ssize_t ndim = PyObject_Length(shape.get());
        if (ndim < 0)
            return nullptr;
        if (ndim != 0)
            return Py_NewRef(sensor);
        Ref dtype = getattr(sensor, SU_STR(dtype));
        if (!dtype)
            return nullptr;
        return wrap_in_array(globals, sensor, dtype.get()).release();
    }
    Ref f32 = global_attr(globals, SU_STR(np), SU_STR(float32));
    if (!f32)
        return nullptr;
    return wrap_in_array(globals, sensor, f32.get()).release();
}

PyObject *impl_convert_value_to_gym_space(PyObject *globals, PyObject *const *args) {
    PyObject *value = args[0];
    RecursionGuard guard(" while describing a value as a space");
    if (!guard.ok())
        return nullptr;
    if (PyDict_Check(value)) {
        Ref d = Ref::steal(PyDict_New());
        if (!d)
            return nullptr;
        int r = for_each_item(value, [&](PyObject *key, PyObject *member) -> int {
            Ref fn = global(globals, SU_STR(_convert_value_to_gym_space));
            if (!fn)
                return -1;
            Ref space = call(fn.get(), member);
            if (!space)
                return -1;
            return PyDict_SetItem(d.get(), key, space.get());
        });
        if (r < 0)
            return nullptr;
        Ref dict_space = global_attr(globals, SU_STR(kestrelix_spaces), SU_STR(Dict));
        if (!dict_space)
            return nullptr;
        return call(dict_space.get(), d.get()).release();
    }
    Ref ndarray = global_attr(globals, SU_STR(np), SU_STR(ndarray));
    if (!ndarray)
        return nullptr;
    int is_array = isinstance(value, ndarray.get());
    if (is_array < 0)
        return nullptr;
    if (is_array) {
        Ref shape = getattr(value, SU_STR(shape));
        if (!shape)
            return nullptr;
        Py_ssize_t ndim = PyObject_Length(shape.get());
        if (ndim < 0)
            return nullptr;
        if (ndim == 0) {
            Ref one = shape_one();
            return one ? unbounded_box(globals, one.get()).release() : nullptr;
        }
        // An array is described by its full shape, so that the space
        // contains the very value it was made from.
        Ref full = Ref::steal(PySequence_Tuple(shape.get()));
        return full ? unbounded_box(globals, full.get()).release() : nullptr;
    }
    // A numpy scalar (its class lives in a numpy module) or an int/float.
    Ref modname = getattr(reinterpret_cast<PyObject *>(Py_TYPE(value)), SU_STR(__module__));
    if (!modname)
        return nullptr;
    Ref modstr = Ref::steal(PyObject_Str(modname.get()));
    if (!modstr)
        return nullptr;
    int scalar = PyUnicode_Contains(modstr.get(), SU_STR(numpy));
    if (scalar < 0)
        return nullptr;
    if (!scalar) {
        Ref prims = global(globals, SU_STR(primitive_types));
        if (!prims)
            return nullptr;
        scalar = isinstance(value, prims.get());
        if (scalar < 0)
            return nullptr;
    }
    if (scalar) {
        Ref one = shape_one();
        return one ? unbounded_box(globals, one.get()).release() : nullptr;
    }
    Ref vstr = Ref::steal(PyObject_Str(value));
    if (!vstr)
        return nullptr;
    Ref tstr = Ref::steal(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(value))));
    if (!tstr)
        return nullptr;
    Ref msg = Ref::steal(PyUnicode_FromFormat("Unable to convert value (%U) to gym space!, got type %U",
                                              vstr.get(), tstr.get()));
    if (msg)
        PyErr_SetObject(PyExc_NotImplementedError, msg.get());
    return nullptr;
}

PyObject *impl_get_perceptor_space(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "_get_perceptor_space is not implemented yet");
    return nullptr;
}

PyObject *impl_get_kestrelix_space_info(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "get_kestrelix_space_info is not implemented yet");
    return nullptr;
}

PyObject *impl_convert_sim_sensors_to_kestrelix_sensors(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "convert_sim_sensors_to_kestrelix_sensors is not implemented yet");
    return nullptr;
}

PyObject *impl_filter_space(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "filter_space is not implemented yet");
    return nullptr;
}

PyObject *impl_filter_sample(PyObject *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "filter_sample is not implemented yet");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Coroutine type (placeholder until the native coroutine lands).
// ---------------------------------------------------------------------------
namespace {
PyTypeObject CoroType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "kestrelix_train.utils.space_utils.coroutine",
};
} // namespace

int ready_coroutine_types() noexcept {
    if (CoroType.tp_flags & Py_TPFLAGS_READY)
        return 0;
    CoroType.tp_basicsize = sizeof(PyObject);
    CoroType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    return PyType_Ready(&CoroType);
}

PyTypeObject *coroutine_type() noexcept {
    return &CoroType;
}

} // namespace su
