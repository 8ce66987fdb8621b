// numpy's C API and the collaborators' own objects, set up once per process
// (see collaborators.h).
#define SU_COLLABORATORS_UNIT
#include "collaborators.h"
#include "nested_dict.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace su {

namespace collaborators_detail {

Collaborators published;
int state = 0;

namespace {

// Whether the pending error only says that a collaborator cannot be had (it
// is missing, or not what the fast paths expect). Such an error turns the
// fast paths off for good; any other one is passed on.
bool only_unavailable() noexcept {
    return PyErr_ExceptionMatches(PyExc_ImportError) || PyErr_ExceptionMatches(PyExc_AttributeError) ||
           PyErr_ExceptionMatches(PyExc_TypeError);
}

Ref import(const char *module) {
    return Ref::steal(PyImport_ImportModule(module));
}

Ref attr(const Ref &owner, const char *name) {
    return owner ? Ref::steal(PyObject_GetAttrString(owner.get(), name)) : Ref();
}

Ref import_attr(const char *module, const char *name) {
    return attr(import(module), name);
}

// Whether the code of the Python function `fn` reads exactly the global and
// attribute names `reads`, in that order. Sets no error.
bool reads_exactly(PyObject *fn, std::initializer_list<const char *> reads) {
    if (!fn || !PyFunction_Check(fn))
        return false;
    Ref names = Ref::steal(PyObject_GetAttrString(PyFunction_GetCode(fn), "co_names"));
    if (!names || !PyTuple_Check(names.get()) ||
        PyTuple_GET_SIZE(names.get()) != static_cast<Py_ssize_t>(reads.size())) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t i = 0;
    for (const char *read : reads)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names.get(), i++), read) != 0)
            return false;
    return true;
}

// The member `name` of the class `cls` as its MRO finds it, when it is a
// Python function, or a property whose getter is one, whose code reads
// exactly the global and attribute names `reads`; else an empty Ref (no
// error set).
Ref member_reading(const Ref &cls, const char *name, std::initializer_list<const char *> reads) {
    if (!PyType_Check(cls.get()))
        return {};
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    PyObject *member =
        key ? internals::type_lookup(reinterpret_cast<PyTypeObject *>(cls.get()), key.get()) : nullptr;
    if (!member) {
        PyErr_Clear();
        return {};
    }
    PyObject *fn = member;
    Ref getter;
    if (PyObject_TypeCheck(member, &PyProperty_Type)) {
        getter = Ref::steal(PyObject_GetAttrString(member, "fget"));
        fn = getter.get();
    }
    if (!reads_exactly(fn, reads)) {
        PyErr_Clear();
        return {};
    }
    return Ref::borrow(member);
}

// The Python function behind one of numpy's functions, or an empty Ref (no
// error set). numpy's dispatcher keeps it as __wrapped__: the dispatcher is
// a C object from numpy 1.25 on, and before that a Python function of its
// own, made at import, whose code only hands the call on.
Ref python_function(PyObject *f) {
    Ref w = Ref::steal(PyObject_GetAttrString(f, "__wrapped__"));
    if (w && PyFunction_Check(w.get()))
        return w;
    PyErr_Clear();
    return PyFunction_Check(f) ? Ref::borrow(f) : Ref();
}

// The namespace the Python function `fn` reads its global names from, and
// its builtins, as new references in `globals` and `builtins`; both stay
// empty where they cannot be had.
void code_namespaces(PyObject *fn, PyObject *&globals, PyObject *&builtins) {
    if (!fn || !PyFunction_Check(fn))
        return;
    Ref b = Ref::steal(PyObject_GetAttrString(fn, "__builtins__"));
    if (!b || !PyDict_CheckExact(b.get())) {
        PyErr_Clear();
        return;
    }
    globals = Py_NewRef(PyFunction_GetGlobals(fn));
    builtins = b.release();
}

// What the code of `fn` (a numpy function) reads by name: see
// Collaborators::any_reads. An empty Ref (no error set) where it cannot be
// had.
Ref code_reads(PyObject *fn) {
    Ref f = python_function(fn);
    PyObject *globals = nullptr, *builtins = nullptr;
    code_namespaces(f.get(), globals, builtins);
    Ref g = Ref::steal(globals), b = Ref::steal(builtins);
    Ref names = g ? Ref::steal(PyObject_GetAttrString(PyFunction_GetCode(f.get()), "co_names")) : Ref();
    Ref found = names ? Ref::steal(PyList_New(0)) : Ref();
    if (!found || !PyTuple_Check(names.get())) {
        PyErr_Clear();
        return {};
    }
    auto add = [&](PyObject *ns, PyObject *name, PyObject *value, PyObject *from) {
        Ref entry = Ref::steal(PyTuple_Pack(4, ns, name, value, from));
        return entry && PyList_Append(found.get(), entry.get()) == 0;
    };
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(names.get()); ++i) {
        PyObject *name = PyTuple_GET_ITEM(names.get(), i);
        PyObject *v = PyDict_GetItemWithError(g.get(), name);
        if (!v && !PyErr_Occurred())
            v = PyDict_GetItemWithError(b.get(), name);
        if (v)
            ok = add(g.get(), name, v, b.get());
        if (!v || !PyModule_CheckExact(v))
            continue;
        PyObject *module_ns = PyModule_GetDict(v);
        for (Py_ssize_t j = 0; ok && j < PyTuple_GET_SIZE(names.get()); ++j) {
            PyObject *attr = PyTuple_GET_ITEM(names.get(), j);
            if (PyObject *a = PyDict_GetItemWithError(module_ns, attr))
                ok = add(module_ns, attr, a, Py_None);
        }
    }
    if (!ok || PyErr_Occurred()) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(PyList_AsTuple(found.get()));
}

// The fields that only one fast path needs: each stays nullptr where it
// cannot be had (that fast path is then off). Sets no error.
void optional_fields(Collaborators &c) {
    Ref inf = import_attr("numpy", "inf");
    if (inf && PyFloat_CheckExact(inf.get()) && std::isinf(PyFloat_AS_DOUBLE(inf.get())) &&
        PyFloat_AS_DOUBLE(inf.get()) > 0)
        c.inf = inf.release();
    Ref forward_ad = import("torch.autograd.forward_ad");
    if (forward_ad && PyModule_CheckExact(forward_ad.get()))
        c.forward_ad_globals = Py_NewRef(PyModule_GetDict(forward_ad.get()));
    PyErr_Clear();
    Ref library = import("torch.library");
    Ref registry = attr(library, "_impls");
    if (registry && PyModule_CheckExact(library.get()) && Py_IS_TYPE(registry.get(), &PySet_Type)) {
        c.library_module = library.release();
        c.kernel_registry = registry.release();
    }
    PyErr_Clear();
    const struct {
        PyObject *Collaborators::*field;
        const char *name;
    } kTensorMembers[] = {
        {&Collaborators::tensor_add, "__add__"},
        {&Collaborators::tensor_shape, "shape"},
        {&Collaborators::tensor_dtype, "dtype"},
        {&Collaborators::tensor_requires_grad, "requires_grad"},
        {&Collaborators::tensor_is_cpu, "is_cpu"},
        {&Collaborators::tensor_layout, "layout"},
        {&Collaborators::tensor_is_nested, "is_nested"},
        {&Collaborators::tensor_is_neg, "is_neg"},
        {&Collaborators::tensor_is_contiguous, "is_contiguous"},
        {&Collaborators::tensor_data_ptr, "data_ptr"},
        {&Collaborators::tensor_getitem, "__getitem__"},
    };
    if (!c.tensor || !PyType_Check(c.tensor))
        return;
    for (const auto &m : kTensorMembers) {
        Ref key = Ref::steal(PyUnicode_InternFromString(m.name));
        PyObject *found =
            key ? internals::type_lookup(reinterpret_cast<PyTypeObject *>(c.tensor), key.get()) : nullptr;
        PyErr_Clear();
        // Attribute descriptors, methods and slots of torch's own base class
        // only.
        if (found && (Py_IS_TYPE(found, &PyGetSetDescr_Type) || Py_IS_TYPE(found, &PyMethodDescr_Type) ||
                      Py_IS_TYPE(found, &PyWrapperDescr_Type)))
            c.*m.field = Py_NewRef(found);
    }
}

// Each field of `c` a new reference. 1 loaded, 0 with an error set.
int load(Collaborators &c) {
    auto take = [](PyObject *&field, Ref value) -> bool {
        field = value.release();
        return field != nullptr;
    };
    // numpy's functions are taken from the modules that define them, so a
    // replacement bound on the numpy package does not count as numpy's own.
    // Those modules live in numpy._core from numpy 2 on (numpy.core remains
    // there only as a deprecated alias).
    const bool numpy2 = PyArray_RUNTIME_VERSION >= NPY_2_0_API_VERSION;
    auto numpy_attr = [numpy2](const char *module, const char *name) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", numpy2 ? "numpy._core" : "numpy.core", module));
        return full ? attr(Ref::steal(PyImport_Import(full.get())), name) : Ref();
    };
    if (!take(c.numpy, import("numpy")) || !take(c.array, numpy_attr("_multiarray_umath", "array")) ||
        !take(c.concatenate, numpy_attr("multiarray", "concatenate")) ||
        !take(c.any, numpy_attr("fromnumeric", "any")) ||
        !take(c.multiply, numpy_attr("umath", "multiply")) ||
        !take(c.clip, numpy_attr("fromnumeric", "clip")) || !take(c.prod, numpy_attr("fromnumeric", "prod")))
        return 0;
    c.any_reads = code_reads(c.any).release();
    c.prod_reads = code_reads(c.prod).release();
    c.clip_reads = code_reads(c.clip).release();
    if (PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) {
        // numpy's own ufuncs for the arithmetic the rescale does, from the
        // module that defines them: not what set_numeric_ops reports now,
        // which a program may have replaced before this set-up.
        if (!take(c.set_numeric_ops, import_attr("numpy.core._multiarray_umath", "set_numeric_ops")) ||
            !take(c.numeric_ops, Ref::steal(PyDict_New())))
            return 0;
        for (const char *op : kNumericOps) {
            Ref ufunc = numpy_attr("umath", op);
            if (!ufunc || PyDict_SetItemString(c.numeric_ops, op, ufunc.get()) < 0)
                return 0;
        }
    }
    Ref torch = import("torch");
    Ref torch_c = import("torch._C");
    if (!torch || !torch_c)
        return 0;
    c.torch = Py_NewRef(torch.get());
    if (!take(c.tensor, attr(torch, "Tensor")) || !take(c.from_numpy, attr(torch, "from_numpy")) ||
        !take(c.flatten, attr(torch, "flatten")) || !take(c.cat, attr(torch, "cat")) ||
        !take(c.empty, attr(torch, "empty")) || !take(c.reshape, attr(torch, "reshape")) ||
        !take(c.grad_enabled, attr(torch_c, "is_grad_enabled")) || !take(c.log, attr(torch, "log")) ||
        !take(c.clamp, attr(torch, "clamp")) || !take(c.empty_like, attr(torch, "empty_like")) ||
        !take(c.is_grad_enabled, attr(torch, "is_grad_enabled")) ||
        !take(c.get_default_dtype, attr(torch, "get_default_dtype")) ||
        !take(c.strided, attr(torch, "strided")) ||
        !take(c.contiguous_format, attr(torch, "contiguous_format")) ||
        !take(c.bfloat16, attr(torch, "bfloat16")) ||
        !take(c.function_mode_enabled, attr(torch_c, "_is_torch_function_mode_enabled")) ||
        !take(c.dispatch_stack_len, attr(torch_c, "_len_torch_dispatch_stack")) ||
        !take(c.functorch_active, attr(torch_c, "_are_functorch_transforms_active")))
        return 0;
    {
        Ref base = attr(torch_c, "TensorBase");
        if (!base || !take(c.split_with_sizes, attr(base, "split_with_sizes")))
            return 0;
        if (!PyType_Check(base.get())) {
            PyErr_SetString(PyExc_TypeError, "torch's TensorBase is not a class");
            return 0;
        }
        PyMappingMethods *m = reinterpret_cast<PyTypeObject *>(base.get())->tp_as_mapping;
        c.tensor_subscript = m ? m->mp_subscript : nullptr;
    }
    {
        Ref device = attr(torch, "device");
        if (!device || !take(c.cpu, Ref::steal(PyObject_CallFunction(device.get(), "s", "cpu"))))
            return 0;
    }
    // The numpy types torch.from_numpy takes, with the dtype it gives them.
    static const struct {
        int type_num;
        const char *name;
    } kTorchTypes[] = {
        {NPY_BOOL, "bool"},
        {NPY_BYTE, "int8"},
        {NPY_UBYTE, "uint8"},
        {NPY_SHORT, "int16"},
        {NPY_INT, "int32"},
        {NPY_HALF, "float16"},
        {NPY_FLOAT, "float32"},
        {NPY_DOUBLE, "float64"},
        {NPY_CFLOAT, "complex64"},
        {NPY_CDOUBLE, "complex128"},
        {sizeof(long) == 8 ? NPY_LONG : NPY_LONGLONG, "int64"},
    };
    for (const auto &t : kTorchTypes)
        if (!take(c.torch_dtype[t.type_num], attr(torch, t.name)))
            return 0;
    optional_fields(c);
    if (!take(c.nested_dict,
              nested_dict_class([] { return import_attr(kNestedDictModule, "NestedDict"); })) ||
        !take(c.ordered_dict, import_attr("collections", "OrderedDict")) ||
        !take(c.spaces_module, import("kestrelix_core.spaces")))
        return 0;
    PyObject *dict_space = nullptr, *tuple_space = nullptr;
    const bool spaces_ok = take(dict_space, import_attr("kestrelix_core.spaces", "Dict")) &&
                           take(tuple_space, import_attr("kestrelix_core.spaces", "Tuple"));
    c.dict_space = reinterpret_cast<PyTypeObject *>(dict_space);
    c.tuple_space = reinterpret_cast<PyTypeObject *>(tuple_space);
    if (!spaces_ok)
        return 0;
    if (!PyType_Check(dict_space) || !PyType_Check(tuple_space)) {
        PyErr_SetString(PyExc_TypeError, "the spaces' Dict and Tuple are not classes");
        return 0;
    }
    Ref box = import_attr("kestrelix_core.spaces", "Box");
    Ref discrete = import_attr("kestrelix_core.spaces", "Discrete");
    Ref multi_discrete = import_attr("kestrelix_core.spaces", "MultiDiscrete");
    Ref selector = import_attr("kestrelix_core.agent.skill.skill_selector", "SkillSelector");
    if (!box || !discrete || !multi_discrete || !selector)
        return 0;
    if (!PyType_Check(box.get()) || !PyType_Check(discrete.get()) || !PyType_Check(multi_discrete.get())) {
        PyErr_SetString(PyExc_TypeError, "the spaces' Box, Discrete and MultiDiscrete are not classes");
        return 0;
    }
    c.box_space = reinterpret_cast<PyTypeObject *>(Py_NewRef(box.get()));
    c.discrete_space = reinterpret_cast<PyTypeObject *>(Py_NewRef(discrete.get()));
    c.multi_discrete_space = reinterpret_cast<PyTypeObject *>(Py_NewRef(multi_discrete.get()));
    c.box_size = member_reading(box, "size", {"int", "np", "prod", "shape", "int64"}).release();
    c.box_shape = member_reading(box, "shape", {"_shape"}).release();
    if (c.box_size && !take(c.box_size_getter, attr(Ref::borrow(c.box_size), "fget")))
        return 0;
    c.dict_iter = member_reading(Ref::borrow(dict_space), "__iter__", {"spaces"}).release();
    c.dict_getitem = member_reading(Ref::borrow(dict_space), "__getitem__", {"spaces"}).release();
    c.selector_is_fixed_order = member_reading(selector, "is_fixed_order", {"fixed_order"}).release();
    c.selector_children =
        member_reading(selector, "get_children_names", {"list", "children_names"}).release();
    c.selector_is_repeat = member_reading(selector, "is_repeat", {"repeat"}).release();
    code_namespaces(c.box_size_getter, c.box_code_globals, c.box_code_builtins);
    // Discrete.size reads its one global name where Box.size reads them.
    Ref discrete_size = member_reading(discrete, "size", {"int", "n"});
    Ref discrete_getter = discrete_size ? attr(discrete_size, "fget") : Ref();
    if (discrete_size && !discrete_getter)
        return 0;
    if (discrete_getter && c.box_code_globals && PyFunction_Check(discrete_getter.get()) &&
        PyFunction_GetGlobals(discrete_getter.get()) == c.box_code_globals) {
        c.discrete_size = discrete_size.release();
        c.discrete_shape = member_reading(discrete, "shape", {"size"}).release();
    }
    code_namespaces(c.selector_children, c.selector_code_globals, c.selector_code_builtins);
    return PyErr_Occurred() ? 0 : 1;
}

void release(Collaborators &c) noexcept {
    for (PyObject **field :
         {&c.numpy, &c.array, &c.concatenate, &c.any, &c.multiply, &c.torch, &c.tensor, &c.from_numpy,
          &c.flatten, &c.cat, &c.empty, &c.cpu, &c.function_mode_enabled, &c.dispatch_stack_len,
          &c.functorch_active, &c.nested_dict, &c.ordered_dict, &c.spaces_module})
        Py_CLEAR(*field);
    for (PyObject **field : {&c.inf,
                             &c.log,
                             &c.clamp,
                             &c.empty_like,
                             &c.is_grad_enabled,
                             &c.get_default_dtype,
                             &c.strided,
                             &c.contiguous_format,
                             &c.bfloat16,
                             &c.forward_ad_globals,
                             &c.tensor_add,
                             &c.tensor_shape,
                             &c.tensor_dtype,
                             &c.tensor_requires_grad,
                             &c.tensor_is_cpu,
                             &c.tensor_layout,
                             &c.tensor_is_nested,
                             &c.tensor_is_neg,
                             &c.tensor_is_contiguous,
                             &c.tensor_data_ptr,
                             &c.tensor_getitem,
                             &c.library_module,
                             &c.kernel_registry})
        Py_CLEAR(*field);
    for (PyObject *&dtype : c.torch_dtype)
        Py_CLEAR(dtype);
    Py_CLEAR(c.dict_space);
    Py_CLEAR(c.tuple_space);
    Py_CLEAR(c.multi_discrete_space);
    Py_CLEAR(c.discrete_space);
    Py_CLEAR(c.box_space);
    for (PyObject **field :
         {&c.reshape, &c.grad_enabled, &c.split_with_sizes, &c.discrete_size, &c.discrete_shape})
        Py_CLEAR(*field);
    for (PyObject **field :
         {&c.clip, &c.prod, &c.set_numeric_ops, &c.numeric_ops, &c.any_reads, &c.prod_reads, &c.clip_reads,
          &c.box_code_globals, &c.box_code_builtins, &c.selector_code_globals, &c.selector_code_builtins,
          &c.box_size, &c.box_shape, &c.box_size_getter, &c.dict_iter, &c.dict_getitem,
          &c.selector_is_fixed_order, &c.selector_children, &c.selector_is_repeat})
        Py_CLEAR(*field);
}

} // namespace

int set_up() noexcept {
    // Importing runs Python code and lets other threads run: this thread may
    // find everything set up by another one (or by a nested call) once its
    // own loading is done. Publishing is one step with no Python code in it.
    Collaborators loaded;
    bool unusable_api = false;
    if (_import_array() < 0) {
        // numpy's own checks of its C API (version, byte order) raise
        // RuntimeError: the API cannot be used, the general paths still can.
        unusable_api = PyErr_ExceptionMatches(PyExc_RuntimeError);
    } else if (load(loaded)) {
        if (state == 0) {
            published = loaded;
            state = 1;
        } else {
            release(loaded);
        }
        return state > 0;
    }
    release(loaded);
    if (!unusable_api && !only_unavailable())
        return -1;
    PyErr_Clear();
    if (state == 0)
        state = -1;
    return state > 0;
}

} // namespace collaborators_detail

int torch_plain() noexcept {
    const Collaborators &c = collaborators();
    Ref fm = call(c.function_mode_enabled);
    Ref ds = fm ? call(c.dispatch_stack_len) : Ref();
    Ref ft = ds ? call(c.functorch_active) : Ref();
    if (!ft) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        return 0;
    }
    int overflow = 0; // (an exact int sets no error, even beyond a C long)
    return fm.get() == Py_False && PyLong_CheckExact(ds.get()) &&
           PyLong_AsLongAndOverflow(ds.get(), &overflow) == 0 && !overflow && ft.get() == Py_False;
}

} // namespace su
