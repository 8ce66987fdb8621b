// Module frame: the function type, the function table, and the import-time
// set-up of kestrelix_train.utils.space_utils.
#include "collaborators.h"
#include "coroutine.h"
#include "function.h"
#include "impls.h"
#include "internals.h"
#include "nested_dict.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <structmember.h>

namespace su {

// ===========================================================================
// The function type
// ===========================================================================

namespace {

inline FuncObject *as_func(PyObject *o) {
    return reinterpret_cast<FuncObject *>(o);
}

// The interpreter's own texts for a call that does not fit the signature.
int raise_too_many_positional(FuncObject *f, Py_ssize_t given) {
    const FuncSpec *s = f->spec;
    Py_ssize_t ndef = f->defaults && PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig;
    bool plural;
    if (ndef) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %d", s->nparams - ndef, s->nparams));
    } else {
        plural = s->nparams != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%d", s->nparams));
    }
    if (!sig)
        return -1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
                 sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
    return -1;
}

int raise_missing(FuncObject *f, PyObject **buf, int first_default) {
    const FuncSpec *s = f->spec;
    Ref names = Ref::steal(PyList_New(0));
    if (!names)
        return -1;
    for (int j = 0; j < first_default && j < s->nparams; ++j) {
        if (!buf[j]) {
            Ref r = Ref::steal(PyObject_Repr(f->varnames[j]));
            if (!r || PyList_Append(names.get(), r.get()) < 0)
                return -1;
        }
    }
    Py_ssize_t missing = PyList_GET_SIZE(names.get());
    Ref joined;
    if (missing == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        // 'a' and 'b'  /  'a', 'b', and 'c'
        PyObject *last = PyList_GET_ITEM(names.get(), missing - 1);
        Ref tail = Ref::borrow(last);
        if (PyList_SetSlice(names.get(), missing - 1, missing, nullptr) < 0)
            return -1;
        Ref sep = Ref::steal(PyUnicode_FromString(missing == 2 ? "" : ", "));
        if (!sep)
            return -1;
        Ref head = Ref::steal(PyUnicode_Join(sep.get(), names.get()));
        if (!head)
            return -1;
        joined = Ref::steal(
            PyUnicode_FromFormat(missing == 2 ? "%U and %U" : "%U, and %U", head.get(), tail.get()));
        if (!joined)
            return -1;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, missing,
                 missing == 1 ? "" : "s", joined.get());
    return -1;
}

// Fills `buf` with the function's parameters, in parameter order, as a
// Python function binds its arguments. All references are borrowed.
int bind_arguments(FuncObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **buf) {
    const FuncSpec *s = f->spec;
    const int n = s->nparams;
    for (int j = 0; j < n; ++j)
        buf[j] = j < nargs ? args[j] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, i);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return -1;
            }
            int j = 0;
            for (; j < n; ++j)
                if (f->varnames[j] == key)
                    break;
            if (j == n) {
                for (j = 0; j < n; ++j) {
                    int eq = PyUnicode_Compare(f->varnames[j], key);
                    if (eq == -1 && PyErr_Occurred())
                        return -1;
                    if (eq == 0)
                        break;
                }
            }
            if (j == n) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                             key);
                return -1;
            }
            if (j < s->nposonly) {
                PyErr_Format(PyExc_TypeError,
                             "%U() got some positional-only arguments passed as keyword arguments: '%S'",
                             f->qualname, key);
                return -1;
            }
            if (buf[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return -1;
            }
            buf[j] = args[nargs + i];
        }
    }
    if (nargs > n)
        return raise_too_many_positional(f, nargs);
    // The last defaults go with the last parameters; a tuple longer than the
    // parameter list gives its last n items, as a Python function's does.
    const Py_ssize_t ndef = f->defaults && PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    const int first_default = n - static_cast<int>(ndef < n ? ndef : n);
    for (int j = 0; j < n; ++j) {
        if (!buf[j]) {
            if (j < first_default)
                return raise_missing(f, buf, first_default);
            buf[j] = PyTuple_GET_ITEM(f->defaults, ndef - n + j);
        }
    }
    return 0;
}

PyObject *func_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FuncObject *f = as_func(self);
    const FuncSpec *s = f->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *buf[kMaxParams];
    PyObject *const *a = args;
    // Defaults filled in below are items of the defaults tuple; the body may
    // run code that replaces `__defaults__`, so the tuple is held until the
    // body returns (the caller owns every other argument).
    Ref defaults;
    if (SU_UNLIKELY(kwnames || nargs != s->nparams)) {
        defaults = Ref::borrow(f->defaults);
        if (bind_arguments(f, args, nargs, kwnames, buf) < 0)
            return nullptr;
        a = buf;
    }
    // Exact-type tests, in parameter order, before anything else runs
    // (for a coroutine function: before its coroutine exists).
    for (const ArgTypeCheck *c = s->checks; c->index >= 0; ++c) {
        PyObject *v = a[c->index];
        if (SU_UNLIKELY(Py_TYPE(v) != c->type)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         s->params[c->index], c->type->tp_name, Py_TYPE(v)->tp_name);
            return nullptr;
        }
    }
    if (SU_UNLIKELY(!f->globals)) {
        PyErr_SetString(PyExc_SystemError, "function has lost its module namespace");
        return nullptr;
    }
    return s->impl(f->globals, a);
}

// The annotation dict of `spec`, as its annotations are written: a new dict
// of strings.
Ref annotation_dict(const FuncSpec *spec) {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann)
        return {};
    for (const char *const *a = spec->annotations; *a; a += 2) {
        Ref v = Ref::steal(PyUnicode_FromString(a[1]));
        if (!v || PyDict_SetItemString(ann.get(), a[0], v.get()) < 0)
            return {};
    }
    return ann;
}

#if PY_VERSION_HEX >= 0x030E0000
// A function's `__annotate__(format)`. The annotations are strings, so every
// format gives them as written: VALUE (1), FORWARDREF (3) and STRING (4)
// alike. As the interpreter's own annotate functions do, a format above
// VALUE_WITH_FAKE_GLOBALS (2) that it does not know raises
// NotImplementedError, and a format that cannot be compared with 2 fails
// that comparison.
PyObject *annotate_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FuncObject *f = as_func(self);
    PyObject *buf[kMaxParams];
    const Ref defaults = Ref::borrow(f->defaults); // (see func_vectorcall)
    if (bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, buf) < 0)
        return nullptr;
    PyObject *format = buf[0];
    bool known = false;
    if (PyLong_Check(format)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(format, &overflow);
        if (v == -1 && PyErr_Occurred())
            return nullptr;
        known = overflow < 0 || (overflow == 0 && v <= 4);
    } else {
        Ref two = Ref::steal(PyLong_FromLong(2));
        if (!two)
            return nullptr;
        const int above = PyObject_RichCompareBool(format, two.get(), Py_GT);
        if (above < 0)
            return nullptr;
        known = !above;
    }
    if (!known) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    return annotation_dict(f->annotates).release();
}
#endif

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    FuncObject *f = as_func(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->type_params);
    Py_VISIT(f->annotate);
    return 0;
}

int func_clear(PyObject *self) {
    FuncObject *f = as_func(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->annotate);
    return 0;
}

void func_dealloc(PyObject *self) {
    FuncObject *f = as_func(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist)
        PyObject_ClearWeakRefs(self);
    func_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    for (PyObject *&v : f->varnames)
        Py_CLEAR(v);
    PyObject_GC_Del(self);
}

PyObject *func_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

// Stored on a class, the function binds like a Python function.
PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference: the unpickler looks the name up in __module__.
PyObject *func_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_func(self)->qualname);
}

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *get_name(PyObject *self, void *) {
    return Py_NewRef(as_func(self)->name);
}
int set_name(PyObject *self, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_func(self)->name, Py_NewRef(v));
    return 0;
}
PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(as_func(self)->qualname);
}
int set_qualname(PyObject *self, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_func(self)->qualname, Py_NewRef(v));
    return 0;
}
PyObject *get_doc(PyObject *self, void *) {
    PyObject *d = as_func(self)->doc;
    return Py_NewRef(d ? d : Py_None);
}
int set_doc(PyObject *self, PyObject *v, void *) {
    Py_XSETREF(as_func(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    FuncObject *f = as_func(self);
#if PY_VERSION_HEX >= 0x030E0000
    // As a def's: without a dict, what `__annotate__(VALUE)` gives, kept.
    if (!f->annotations && f->annotate && PyCallable_Check(f->annotate)) {
        const Ref annotate = Ref::borrow(f->annotate);
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref d = one ? call(annotate.get(), one.get()) : Ref();
        if (!d)
            return nullptr;
        if (!PyDict_Check(d.get())) {
            PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                         Py_TYPE(d.get())->tp_name);
            return nullptr;
        }
        Py_XSETREF(f->annotations, d.release());
    }
#endif
    // (making the dict may run Python code that asks for it too)
    if (!f->annotations && !keep_once(f->annotations, PyDict_New()))
        return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *v, void *) {
    if (v == Py_None)
        v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_XNewRef(v));
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(as_func(self)->annotate); // (the dict given, or none, replaces both)
#endif
    return 0;
}
#if PY_VERSION_HEX >= 0x030E0000
// As on a def: None, or a callable that replaces the annotation dict; it
// cannot be deleted.
PyObject *get_annotate(PyObject *self, void *) {
    PyObject *a = as_func(self)->annotate;
    return Py_NewRef(a ? a : Py_None);
}
int set_annotate(PyObject *self, PyObject *v, void *) {
    FuncObject *f = as_func(self);
    if (!v) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (v == Py_None) {
        Py_XSETREF(f->annotate, Py_NewRef(v));
        return 0;
    }
    if (!PyCallable_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(f->annotate, Py_NewRef(v));
    Py_CLEAR(f->annotations);
    return 0;
}
#endif
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None)
        v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_func(self)->defaults, Py_XNewRef(v));
    return 0;
}
PyObject *get_kwdefaults(PyObject *self, void *) {
    PyObject *d = as_func(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None)
        v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}
PyObject *get_code(PyObject *self, void *) {
    PyObject *c = as_func(self)->code;
    return Py_NewRef(c ? c : Py_None);
}
PyObject *get_globals(PyObject *self, void *) {
    PyObject *g = as_func(self)->globals;
    return Py_NewRef(g ? g : Py_None);
}
// The builtins that the module's own look-ups fall back on: what the
// namespace's `__builtins__` names, else the interpreter's.
PyObject *get_builtins(PyObject *self, void *) {
    PyObject *g = as_func(self)->globals;
    if (!g)
        Py_RETURN_NONE;
    return Py_XNewRef(builtins_of(g));
}
PyObject *get_closure(PyObject *, void *) {
    Py_RETURN_NONE;
}
#if PY_VERSION_HEX >= 0x030C0000
// As on a `def` without type parameters: () until a tuple is set; it cannot
// be deleted.
PyObject *get_type_params(PyObject *self, void *) {
    PyObject *t = as_func(self)->type_params;
    return t ? Py_NewRef(t) : PyTuple_New(0);
}
int set_type_params(PyObject *self, PyObject *v, void *) {
    if (!v || !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_func(self)->type_params, Py_NewRef(v));
    return 0;
}
#endif

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030C0000
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(FuncObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

} // namespace

PyTypeObject FuncType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "kestrelix_train.utils.space_utils.function",
};

int ready_function_type() noexcept {
    if (FuncType.tp_flags & Py_TPFLAGS_READY)
        return 0;
    FuncType.tp_basicsize = sizeof(FuncObject);
    FuncType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    FuncType.tp_doc = "A function of kestrelix_train.utils.space_utils.";
    FuncType.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    FuncType.tp_call = PyVectorcall_Call;
    FuncType.tp_traverse = func_traverse;
    FuncType.tp_clear = func_clear;
    FuncType.tp_dealloc = func_dealloc;
    FuncType.tp_repr = func_repr;
    FuncType.tp_descr_get = func_descr_get;
    FuncType.tp_methods = func_methods;
    FuncType.tp_getset = func_getset;
    FuncType.tp_members = func_members;
    FuncType.tp_dictoffset = offsetof(FuncObject, dict);
    FuncType.tp_weaklistoffset = offsetof(FuncObject, weakreflist);
    return PyType_Ready(&FuncType);
}

// A real code object: argument names and counts, and the coroutine flag,
// so that inspect and asyncio see the function as they see a `def`.
static Ref make_code(const FuncSpec *spec, PyObject *filename, PyObject *name, PyObject *qualname) {
    // The file name goes in through replace(): it need not be valid UTF-8
    // (a path with undecodable bytes carries surrogates).
    const char *cname = PyUnicode_AsUTF8(name);
    if (!cname)
        return {};
    Ref empty = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("", cname, 1)));
    if (!empty)
        return {};
    Ref varnames = Ref::steal(PyTuple_New(spec->nparams));
    if (!varnames)
        return {};
    for (int i = 0; i < spec->nparams; ++i) {
        PyObject *v = PyUnicode_InternFromString(spec->params[i]);
        if (!v)
            return {};
        PyTuple_SET_ITEM(varnames.get(), i, v);
    }
    Ref replace = getattr(empty.get(), SU_STR(replace));
    Ref kw = Ref::steal(PyDict_New());
    if (!replace || !kw)
        return {};
    long flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec->coroutine ? CO_COROUTINE : 0);
    Ref argc = Ref::steal(PyLong_FromLong(spec->nparams));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref fl = Ref::steal(PyLong_FromLong(flags));
    Ref posonly = Ref::steal(PyLong_FromLong(spec->nposonly));
    if (!argc || !zero || !fl || !posonly)
        return {};
    if (PyDict_SetItemString(kw.get(), "co_argcount", argc.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "co_posonlyargcount", posonly.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "co_kwonlyargcount", zero.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "co_nlocals", argc.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "co_flags", fl.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "co_qualname", qualname) < 0 ||
        PyDict_SetItemString(kw.get(), "co_filename", filename) < 0)
        return {};
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs)
        return {};
    return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kw.get()));
}

// A function object of `spec` in `globals` with every other field empty,
// not yet tracked by the collector; nullptr with an error set.
FuncObject *alloc_function(const FuncSpec *spec, PyObject *globals) {
    FuncObject *f = PyObject_GC_New(FuncObject, &FuncType);
    if (!f)
        return nullptr;
    f->vectorcall = func_vectorcall;
    f->spec = spec;
    f->name = f->qualname = f->module = f->doc = nullptr;
    f->annotations = f->defaults = f->kwdefaults = f->code = f->dict = f->weakreflist = nullptr;
    f->type_params = f->annotate = nullptr;
    f->annotates = nullptr;
    f->globals = Py_NewRef(globals);
    for (PyObject *&v : f->varnames)
        v = nullptr;
    return f;
}

// The interned parameter names of `spec` into `out` (new references);
// -1 with an error set, and nothing kept, on failure.
int intern_params(const FuncSpec *spec, PyObject **out) {
    for (int i = 0; i < spec->nparams; ++i) {
        out[i] = PyUnicode_InternFromString(spec->params[i]);
        if (!out[i]) {
            while (i--)
                Py_CLEAR(out[i]);
            return -1;
        }
    }
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// The `__annotate__` of the function of `spec`: a function of this type,
// named as a def's is (`name.__annotate__`, one positional-only `format`).
constexpr FuncSpec kAnnotateSpec = {"__annotate__", 1,         {"format"},      false, nullptr,
                                    nullptr,        {nullptr}, {{-1, nullptr}}, 1};

Ref make_annotate(const FuncSpec *spec, PyObject *globals, PyObject *module_name, PyObject *filename) {
    Ref name = Ref::steal(PyUnicode_InternFromString(kAnnotateSpec.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", spec->name, kAnnotateSpec.name));
    if (!name || !qualname)
        return {};
    Ref code = make_code(&kAnnotateSpec, filename, name.get(), qualname.get());
    if (!code)
        return {};
    FuncObject *f = alloc_function(&kAnnotateSpec, globals);
    if (!f)
        return {};
    Ref result = Ref::steal(reinterpret_cast<PyObject *>(f));
    f->vectorcall = annotate_vectorcall;
    f->annotates = spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = Py_NewRef(Py_None);
    f->code = code.release();
    if (intern_params(&kAnnotateSpec, f->varnames) < 0)
        return {};
    PyObject_GC_Track(result.get());
    return result;
}
#endif

PyObject *make_function(const FuncSpec *spec, PyObject *globals, PyObject *module_name, PyObject *defaults,
                        PyObject *is_coroutine_marker, PyObject *filename) {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec->name));
    if (!name)
        return nullptr;
    Ref code = make_code(spec, filename, name.get(), name.get());
    if (!code)
        return nullptr;
    Ref doc = spec->doc ? Ref::steal(PyUnicode_FromString(spec->doc)) : Ref::borrow(Py_None);
    Ref ann = annotation_dict(spec);
    Ref dict = Ref::steal(PyDict_New());
    if (!doc || !ann || !dict)
        return nullptr;
#if PY_VERSION_HEX >= 0x030E0000
    Ref annotate;
    if (*spec->annotations) {
        annotate = make_annotate(spec, globals, module_name, filename);
        if (!annotate)
            return nullptr;
    }
#endif
    if (PyDict_SetItemString(dict.get(), "_is_coroutine", spec->coroutine ? is_coroutine_marker : Py_False) <
        0)
        return nullptr;

    FuncObject *f = alloc_function(spec, globals);
    if (!f)
        return nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject *>(f));
    f->name = Py_NewRef(name.get());
    f->qualname = name.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
#if PY_VERSION_HEX >= 0x030E0000
    // As for a def: where there are annotations, `__annotate__` holds them
    // and the first read of `__annotations__` makes the dict.
    if (annotate)
        ann.reset();
    f->annotate = annotate.release();
#endif
    f->annotations = ann.release();
    f->defaults = Py_XNewRef(defaults);
    f->code = code.release();
    f->dict = dict.release();
    if (intern_params(spec, f->varnames) < 0)
        return nullptr;
    PyObject_GC_Track(result.get());
    return result.release();
}

PyObject *new_local_function(LocalFunction &fn, PyObject *globals) {
    const FuncSpec *spec = &fn.spec;
    if (SU_UNLIKELY(!fn.code)) {
        Ref name = Ref::steal(PyUnicode_InternFromString(spec->name));
        Ref qualname = Ref::steal(PyUnicode_InternFromString(fn.qualname));
        if (!name || !qualname)
            return nullptr;
        // The file of the module the outer function belongs to.
        PyObject *filename = PyDict_GetItemWithError(globals, SU_STR(__file__));
        if (!filename && PyErr_Occurred())
            return nullptr;
        if (!filename || !PyUnicode_Check(filename))
            filename = qualname.get();
        Ref code = make_code(spec, filename, name.get(), qualname.get());
        PyObject *varnames[kMaxParams] = {};
        if (!code || intern_params(spec, varnames) < 0)
            return nullptr;
        if (!fn.code) { // (make_code may have let another thread in first)
            fn.name = name.release();
            fn.qualname_str = qualname.release();
            std::copy(std::begin(varnames), std::end(varnames), fn.varnames);
            fn.code = code.release();
        } else {
            for (PyObject *v : varnames)
                Py_XDECREF(v);
        }
    }
    // A `def` takes __module__ from the namespace's __name__ (None without one).
    PyObject *module = PyDict_GetItemWithError(globals, SU_STR(__name__));
    if (!module && PyErr_Occurred())
        return nullptr;
    FuncObject *f = alloc_function(spec, globals);
    if (!f)
        return nullptr;
    f->name = Py_NewRef(fn.name);
    f->qualname = Py_NewRef(fn.qualname_str);
    f->module = Py_NewRef(module ? module : Py_None);
    f->doc = Py_NewRef(Py_None);
    f->code = Py_NewRef(fn.code);
    for (int i = 0; i < kMaxParams; ++i)
        f->varnames[i] = Py_XNewRef(fn.varnames[i]);
    PyObject *result = reinterpret_cast<PyObject *>(f);
    PyObject_GC_Track(result);
    return result;
}

// ===========================================================================
// The function table
// ===========================================================================

namespace {

constexpr const char kDocConvertSensor[] =
    "\n    Convert an incoming space (Array or Dictionary) to a numpy array\n    ";

constexpr const char kDocSpaceInfo[] =
    "\n"
    "    Generate the enriched space. This takes the base sim space and adds perceptors, skill groups, ...\n"
    "\n"
    "    It takes the sensor space (Box, Dict, MultiDiscrete, MultiBinary, Tuple) and returns a\n"
    "    dictionary of the space, keyed by name:\n"
    "\n"
    "    {\n"
    "        'sensor1': gym.Space,\n"
    "        'sensor2': gym.Space,\n"
    "        ...\n"
    "        'perceptor1': gym.Space,\n"
    "        'perceptor2': gym.Space,\n"
    "        ...\n"
    "        'skill_group1': gym.Space,\n"
    "        'skill_group2': gym.Space,\n"
    "        ...\n"
    "    }\n"
    "\n"
    "    Note: the keys still have to be filtered according to the skill being trained.\n"
    "    ";

constexpr const char kDocConvertSim[] =
    "\n"
    "    The incoming sensor values are mapped to a sensor space set at simulation side. Users of the\n"
    "    platform then set which data points map to which sensors. In this function we perform that "
    "mapping.\n"
    "    ";

constexpr const char kDocUnsquash[] =
    "Unsquash all components of `action` according to the given space.\n"
    "\n"
    "    This is the inverse of a `normalize_action()` operation: policy outputs, normalised to\n"
    "    lie between -1.0 and 1.0, are mapped into the bounds (`low` and `high`) of an\n"
    "    environment's action space. Only Box components of dtype float32 or float64 are\n"
    "    rescaled this way.\n"
    "\n"
    "    Args:\n"
    "        action: The action to unsquash. Any complex action is accepted, such as a dict\n"
    "            or a tuple.\n"
    "        action_space_struct: The structure of the action space, for example\n"
    "            `{\"a\": Box()}` for the space `Dict({\"a\": Box()})`.\n"
    "\n"
    "    Returns:\n"
    "        The input action unsquashed to the bounds of the space, ready to be sent to the\n"
    "        environment.\n"
    "    ";

constexpr const char kDocApplyMask[] =
    "\n"
    "    Action masks comes in as a dict, tuple, list or numpy array so we apply the action mask\n"
    "    according to the action space here\n"
    "\n"
    "    The mask is applied by setting the indicices of the logits to -inf where the mask is 0\n"
    "\n"
    "    Args:\n"
    "        logits: The logits (probability output of the NN) to apply the mask to\n"
    "        action_mask: The mask to apply\n"
    "\n"
    "    Returns:\n"
    "        The masked logits\n"
    "    ";

constexpr const char kDocMaskAllZero[] =
    "\n"
    "    Action masks comes in as a dict, tuple, list or numpy array, we check if they are all zero here\n"
    "\n"
    "    Args:\n"
    "        logits: The logits (probability output of the NN) to apply the mask to\n"
    "        action_mask: The mask to check for all zeros\n"
    "\n"
    "    Returns:\n"
    "        True if all elements are 0, otherwise False\n"
    "    ";

constexpr const char kDocUnpackLogits[] =
    "Unpack a flattened Dict or Tuple sensor array/tensor.\n"
    "\n"
    "    Args:\n"
    "        obs: The flattened array/tensor to unpack. Its last dimension is the flat size of\n"
    "            the space; any number of batch dimensions may come in front of it, for\n"
    "            example [B, 4] or [B, T, 4] for a `Box(4,)`.\n"
    "        space: The space the array/tensor was flattened from.\n"
    "        tensorlib: The library used to reshape the unpacked pieces.\n"
    "    ";

#define NO_CHECKS                                                                                            \
    {                                                                                                        \
        {                                                                                                    \
            -1, nullptr                                                                                      \
        }                                                                                                    \
    }
#define NO_ANN {nullptr}

const FuncSpec kFunctions[] = {
    {"_convert_sensor_to_numpy_array",
     1,
     {"sensor"},
     false,
     impl_convert_sensor_to_numpy_array,
     kDocConvertSensor,
     {"sensor", "Union[np.ndarray | Dict]", "return", "np.ndarray | Dict[str, np.ndarray]", nullptr},
     NO_CHECKS},
    {"_convert_value_to_gym_space",
     1,
     {"value"},
     false,
     impl_convert_value_to_gym_space,
     nullptr,
     {"value", "Any", "return", "kestrelix_spaces.Space", nullptr},
     NO_CHECKS},
    {"_get_perceptor_space",
     2,
     {"perceptors", "sensor_space_spec"},
     true,
     impl_get_perceptor_space,
     nullptr,
     {"perceptors", "List[Perceptor]", "sensor_space_spec", "kestrelix_spaces.Space", "return",
      "kestrelix_spaces.Dict", nullptr},
     {{0, &PyList_Type}, {-1, nullptr}}},
    {"get_kestrelix_space_info",
     4,
     {"sensor_space_spec", "sensors", "perceptors", "skill_processors"},
     true,
     impl_get_kestrelix_space_info,
     kDocSpaceInfo,
     {"sensor_space_spec", "kestrelix_spaces.Space", "sensors", "List[Sensor]", "perceptors",
      "List[Perceptor]", "skill_processors", "List", "return", "TypeKestrelixSpace", nullptr},
     {{1, &PyList_Type}, {2, &PyList_Type}, {3, &PyList_Type}, {-1, nullptr}}},
    {"convert_sim_sensors_to_kestrelix_sensors",
     5,
     {"sim_sensors", "sim_sensors_spec", "agent_sensors", "perceptors", "skill_processors"},
     true,
     impl_convert_sim_sensors_to_kestrelix_sensors,
     kDocConvertSim,
     {"sim_sensors", "Union[OrderedDict, Dict]", "sim_sensors_spec", "kestrelix_spaces.Space",
      "agent_sensors", "List[Sensor]", "perceptors", "List[Perceptor]", "return", "TypeKestrelixSpace",
      nullptr},
     {{2, &PyList_Type}, {3, &PyList_Type}, {-1, nullptr}}},
    {"filter_space",
     2,
     {"space", "keys"},
     false,
     impl_filter_space,
     nullptr,
     {"space", "kestrelix_spaces.Dict", "keys", "List[str]", "return", "kestrelix_spaces.Space", nullptr},
     {{1, &PyList_Type}, {-1, nullptr}}},
    {"filter_sample",
     2,
     {"sample", "keys"},
     false,
     impl_filter_sample,
     nullptr,
     {"sample", "Dict", "keys", "List[str]", "return", "Dict", nullptr},
     {{0, &PyDict_Type}, {1, &PyList_Type}, {-1, nullptr}}},
    {"_flatten_unknown",
     2,
     {"space", "x"},
     false,
     impl_flatten_unknown,
     nullptr,
     {"return", "Union[dict, np.ndarray]", nullptr},
     NO_CHECKS},
    {"compute_selector_action_mask",
     2,
     {"previous_action", "skill"},
     false,
     impl_compute_selector_action_mask,
     nullptr,
     {"skill", "SkillSelector", nullptr},
     NO_CHECKS},
    {"unsquash_action_batch",
     2,
     {"action_batch", "action_space_struct"},
     false,
     impl_unsquash_action_batch,
     nullptr,
     NO_ANN,
     NO_CHECKS},
    {"unsquash_action",
     2,
     {"action", "action_space_struct"},
     false,
     impl_unsquash_action,
     kDocUnsquash,
     NO_ANN,
     NO_CHECKS},
    {"action_fits_mask",
     3,
     {"action", "action_mask", "action_space"},
     false,
     impl_action_fits_mask,
     nullptr,
     NO_ANN,
     NO_CHECKS},
    {"make_np_array", 2, {"x", "dtype"}, false, impl_make_np_array, nullptr, NO_ANN, NO_CHECKS},
    {"combine_masks", 2, {"mask1", "mask2"}, false, impl_combine_masks, nullptr, NO_ANN, NO_CHECKS},
    {"apply_mask",
     2,
     {"logits", "action_mask"},
     false,
     impl_apply_mask,
     kDocApplyMask,
     {"logits", "Union[Dict, Tuple, List, np.ndarray]", "action_mask", "Union[Dict, Tuple, List, np.ndarray]",
      nullptr},
     NO_CHECKS},
    {"mask_all_zero", 1, {"action_mask"}, false, impl_mask_all_zero, kDocMaskAllZero, NO_ANN, NO_CHECKS},
    {"flatten_object_torch", 1, {"object"}, false, impl_flatten_object_torch, nullptr, NO_ANN, NO_CHECKS},
    {"flatten_object_batch", 1, {"object"}, false, impl_flatten_object_batch, nullptr, NO_ANN, NO_CHECKS},
    {"flatten_object_numpy", 1, {"object"}, false, impl_flatten_object_numpy, nullptr, NO_ANN, NO_CHECKS},
    {"unpack_logits",
     2,
     {"logits", "space"},
     false,
     impl_unpack_logits,
     kDocUnpackLogits,
     {"logits", "torch.Tensor", "space", "kestrelix_spaces.Space", nullptr},
     NO_CHECKS},
};

#undef NO_CHECKS
#undef NO_ANN

// ===========================================================================
// Import-time set-up
// ===========================================================================

// The module object once its set-up has completed; the process keeps it
// for good, so importing again returns this very object.
PyObject *g_module = nullptr;
int64_t g_interpreter_id = -1;

// `import dotted.name` and the object bound by `import dotted.name as x`.
Ref import_module(PyObject *globals, const char *dotted) {
    Ref name = Ref::steal(PyUnicode_FromString(dotted));
    if (!name)
        return {};
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, nullptr, 0));
    if (!top)
        return {};
    // Walk down to the leaf, as `import a.b as c` does.
    Ref mod = top;
    const char *p = dotted;
    while ((p = std::strchr(p, '.')) != nullptr) {
        ++p;
        const char *end = p;
        while (*end && *end != '.')
            ++end;
        Ref part = Ref::steal(PyUnicode_FromStringAndSize(p, end - p));
        if (!part)
            return {};
        Ref next = Ref::steal(PyObject_GetAttr(mod.get(), part.get()));
        if (!next) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return {};
            PyErr_Clear();
            Ref full = Ref::steal(PyUnicode_FromStringAndSize(dotted, end - dotted));
            if (!full)
                return {};
            next = Ref::steal(PyImport_GetModule(full.get()));
            if (!next) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ImportError, "cannot import name %U", part.get());
                return {};
            }
        }
        mod = std::move(next);
    }
    return mod;
}

// `from dotted import name`: the attribute, or failing that the already
// imported submodule of that name.
Ref import_from(PyObject *globals, const char *dotted, const char *attr) {
    Ref name = Ref::steal(PyUnicode_FromString(dotted));
    Ref aname = Ref::steal(PyUnicode_InternFromString(attr));
    if (!name || !aname)
        return {};
    Ref fromlist = Ref::steal(PyTuple_Pack(1, aname.get()));
    if (!fromlist)
        return {};
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), 0));
    if (!mod)
        return {};
    Ref v = Ref::steal(PyObject_GetAttr(mod.get(), aname.get()));
    if (v)
        return v;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return {};
    PyErr_Clear();
    Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", dotted, attr));
    if (!full)
        return {};
    v = Ref::steal(PyImport_GetModule(full.get()));
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "cannot import name %U", aname.get());
    return v;
}

int bind(PyObject *d, const char *name, const Ref &value) {
    if (!value)
        return -1;
    return PyDict_SetItemString(d, name, value.get());
}

Ref lookup(PyObject *d, const char *name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key)
        return {};
    return global(d, key.get());
}

int import_collaborators(PyObject *d) {
    if (bind(d, "OrderedDict", import_from(d, "collections", "OrderedDict")) < 0)
        return -1;
    for (const char *n : {"Any", "Dict", "List", "Tuple", "TypeVar", "Union"})
        if (bind(d, n, import_from(d, "typing", n)) < 0)
            return -1;
    if (bind(d, "TypingDict", import_from(d, "typing", "Dict")) < 0)
        return -1;
    if (bind(d, "kestrelix_spaces", import_module(d, "kestrelix_core.spaces")) < 0 ||
        bind(d, "gym", import_module(d, "gymnasium")) < 0 || bind(d, "np", import_module(d, "numpy")) < 0 ||
        bind(d, "torch", import_module(d, "torch")) < 0 || bind(d, "tree", import_module(d, "tree")) < 0)
        return -1;
    if (bind(d, "Perceptor", import_from(d, "kestrelix_core.agent.perceptor.perceptor", "Perceptor")) < 0 ||
        bind(d, "Sensor", import_from(d, "kestrelix_core.agent.sensor", "Sensor")) < 0 ||
        bind(d, "SkillSelector",
             import_from(d, "kestrelix_core.agent.skill.skill_selector", "SkillSelector")) < 0 ||
        bind(d, "sensor_util", import_from(d, "kestrelix_core.utils", "sensor_util")) < 0 ||
        bind(d, "NestedDict",
             nested_dict_class([d] { return import_from(d, kNestedDictModule, "NestedDict"); })) < 0)
        return -1;
    return 0;
}

// Dict[str, <attr of module global>]
Ref dict_alias(PyObject *d, const char *module_global, const char *attr) {
    Ref dict = lookup(d, "Dict");
    Ref mod = lookup(d, module_global);
    if (!dict || !mod)
        return {};
    Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), attr));
    if (!value)
        return {};
    Ref key = Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyUnicode_Type), value.get()));
    if (!key)
        return {};
    return Ref::steal(PyObject_GetItem(dict.get(), key.get()));
}

int bind_aliases(PyObject *d) {
    {
        Ref typevar = lookup(d, "TypeVar");
        if (!typevar)
            return -1;
        Ref tname = Ref::steal(PyUnicode_FromString("T"));
        if (!tname || bind(d, "T", call(typevar.get(), tname.get())) < 0)
            return -1;
    }
    {
        Ref uni = lookup(d, "Union");
        Ref np = lookup(d, "np");
        Ref typing_dict = lookup(d, "TypingDict");
        Ref gym = lookup(d, "gym");
        if (!uni || !np || !typing_dict || !gym)
            return -1;
        Ref ndarray = Ref::steal(PyObject_GetAttrString(np.get(), "ndarray"));
        if (!ndarray)
            return -1;
        Ref gspaces = Ref::steal(PyObject_GetAttrString(gym.get(), "spaces"));
        if (!gspaces)
            return -1;
        Ref graph = Ref::steal(PyObject_GetAttrString(gspaces.get(), "GraphInstance"));
        if (!graph)
            return -1;
        Ref members = Ref::steal(PyTuple_Pack(4, ndarray.get(), typing_dict.get(),
                                              reinterpret_cast<PyObject *>(&PyTuple_Type), graph.get()));
        if (!members || bind(d, "FlatType", Ref::steal(PyObject_GetItem(uni.get(), members.get()))) < 0)
            return -1;
    }
    if (bind(d, "primitive_types",
             Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyLong_Type),
                                     reinterpret_cast<PyObject *>(&PyFloat_Type)))) < 0)
        return -1;
    if (bind(d, "TypeKestrelixSpace", dict_alias(d, "kestrelix_spaces", "Space")) < 0 ||
        bind(d, "TypeKestrelixSensorValues", dict_alias(d, "np", "ndarray")) < 0)
        return -1;
    return 0;
}

int bind_functions(PyObject *m, PyObject *d) {
    Ref module_name = Ref::steal(PyUnicode_InternFromString("kestrelix_train.utils.space_utils"));
    if (!module_name)
        return -1;
    Ref filename = Ref::steal(PyModule_GetFilenameObject(m));
    if (!filename) {
        PyErr_Clear();
        filename = Ref::borrow(module_name.get());
    }
    Ref marker = import_from(d, "asyncio.coroutines", "_is_coroutine");
    if (!marker)
        return -1;
    for (const FuncSpec &spec : kFunctions) {
        Ref defaults;
        if (spec.impl == impl_make_np_array) {
            // The default dtype is whatever `np.float32` names right now.
            Ref np = lookup(d, "np");
            if (!np)
                return -1;
            Ref f32 = Ref::steal(PyObject_GetAttrString(np.get(), "float32"));
            if (!f32)
                return -1;
            defaults = Ref::steal(PyTuple_Pack(1, f32.get()));
            if (!defaults)
                return -1;
        }
        Ref fn = Ref::steal(
            make_function(&spec, d, module_name.get(), defaults.get(), marker.get(), filename.get()));
        if (bind(d, spec.name, fn) < 0)
            return -1;
    }
    return 0;
}

// The coroutine objects count as coroutines for collections.abc.
int register_coroutine_type(PyObject *d) {
    Ref coroutine_abc = import_from(d, "collections.abc", "Coroutine");
    if (!coroutine_abc)
        return -1;
    Ref r =
        call_method(coroutine_abc.get(), SU_STR(register), reinterpret_cast<PyObject *>(coroutine_type()));
    return r ? 0 : -1;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    PyInterpreterState *interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1)
        return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per "
            "process.");
        return nullptr;
    }
    if (g_module) {
        // The import machinery resets the module's state pointer when a
        // create slot hands back an existing module, and allocates a new
        // (empty) one on exec; release the old one so nothing leaks.
        void *state = PyModule_GetState(g_module);
        PyMem_Free(state);
        return Py_NewRef(g_module);
    }
    Ref name = getattr(spec, SU_STR(name));
    if (!name)
        return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject *m) {
    if (g_module == m)
        return 0;
    if (g_module) {
        PyErr_SetString(
            PyExc_RuntimeError,
            "Module 'space_utils' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    PyObject *d = PyModule_GetDict(m);
    if (!d)
        return -1;
    if (internals::init() < 0 || ready_function_type() < 0 || ready_coroutine_types() < 0)
        return -1;
    if (import_collaborators(d) < 0 || bind_aliases(d) < 0 || bind_functions(m, d) < 0 ||
        register_coroutine_type(d) < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "init kestrelix_train.utils.space_utils");
        return -1;
    }
    g_module = Py_NewRef(m);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    // The module relies on the global interpreter lock (its functions and
    // guards share state without locks of their own): a free-threaded
    // interpreter enables the GIL when it loads the module.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

constexpr const char kModuleDoc[] =
    "\n"
    "This module converts gymnasium spaces (https://gymnasium.farama.org/api/spaces/) into one unified,\n"
    "generic format that the platform supports and can work with: a np.ndarray holding values of any type.\n"
    "An array was chosen because it makes it easy to iterate over the different data points and map them\n"
    "as needed; such an array may also hold a single dictionary.\n";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "space_utils", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace su

PyMODINIT_FUNC PyInit_space_utils(void) {
    return PyModuleDef_Init(&su::module_def);
}
