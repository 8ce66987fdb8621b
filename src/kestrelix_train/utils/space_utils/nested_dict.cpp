// Where the module's NestedDict comes from (see nested_dict.h).
#include "nested_dict.h"

#include <cstring>
#include <initializer_list>

namespace su {

namespace {

PyObject *stand_in_new(PyTypeObject *, PyObject *, PyObject *) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "NestedDict is not available: RLlib's NestedDict cannot be imported here (no module %s)",
                 kNestedDictModule);
    return nullptr;
}

// Not a base type and with no way to make an instance: no value is ever an
// instance of it.
PyTypeObject NestedDictStandIn = {
    PyVarObject_HEAD_INIT(nullptr, 0) "kestrelix_train.utils.space_utils.NestedDict",
};

// Whether the pending ModuleNotFoundError names `dotted` or one of the
// packages on its path.
bool not_found_on_path(const char *dotted) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = PyErr_GetRaisedException();
#else
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
#endif
    bool found = false;
    Ref name = exc ? Ref::steal(PyObject_GetAttrString(exc, "name")) : Ref();
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        const char *s = PyUnicode_AsUTF8AndSize(name.get(), &n);
        const size_t len = std::strlen(dotted);
        found = s && static_cast<size_t>(n) <= len && std::memcmp(s, dotted, static_cast<size_t>(n)) == 0 &&
                (static_cast<size_t>(n) == len || dotted[n] == '.');
    }
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, exc, tb);
#endif
    return found;
}

// ---- knowing the module absent without importing ---------------------------
//
// The import of `ray.rllib.utils.nested_dict` finds each package on the way
// with the finders on sys.meta_path (each asked `find_spec(name, path)`,
// path being the parent package's __path__), executes it, and asks again
// for the next name within its __path__. The probe asks the same finders
// the same questions without executing anything, which tells what the
// import would find as long as a package's __path__ is known before its
// code runs: for a package that a file loader loads from a directory, it is
// the one directory its ModuleSpec names (what ray's packages are). Namespace
// packages, zip archives, other loaders, finders without find_spec, and
// anything already in sys.modules below `ray` leave the answer unknown.
// Where the answer is "absent", the code of ray and RLlib does not run, so
// an error it would raise does not arise either.

enum Probe { kError = -1, kUnknown = 0, kAbsent = 1, kFound = 2 };

// The ModuleSpec the finders on sys.meta_path (as it is now: a finder may have
// replaced it) give `name` within `path` (None for a top-level name), into
// `spec`: kFound, kAbsent (no finder has it), kUnknown, or kError with an
// error set.
Probe find_spec(const char *name, PyObject *path, Ref &spec) {
    PyObject *meta_path = PySys_GetObject("meta_path"); // borrowed, copied at once
    if (!meta_path || !PyList_Check(meta_path))
        return kUnknown;
    Ref finders = Ref::steal(PyList_AsTuple(meta_path));
    Ref key = finders ? Ref::steal(PyUnicode_FromString(name)) : Ref();
    if (!key)
        return kError;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(finders.get()); ++i) {
        Ref method = Ref::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(finders.get(), i), "find_spec"));
        if (!method)
            return PyErr_ExceptionMatches(PyExc_AttributeError) ? (PyErr_Clear(), kUnknown) : kError;
        spec = call(method.get(), key.get(), path ? path : Py_None);
        if (!spec)
            return kError;
        if (spec.get() != Py_None)
            return kFound;
    }
    return kAbsent;
}

// The __path__ a package whose ModuleSpec is `spec` gets before its code runs,
// where that is one directory from a file loader (a new list); empty Ref
// otherwise, with an error set only for kError.
Probe package_path(PyObject *spec, PyObject *file_loaders, Ref &path) {
    Ref loader = Ref::steal(PyObject_GetAttrString(spec, "loader"));
    Ref origin = loader ? Ref::steal(PyObject_GetAttrString(spec, "origin")) : Ref();
    Ref locations = origin ? Ref::steal(PyObject_GetAttrString(spec, "submodule_search_locations")) : Ref();
    if (!locations)
        return kError;
    const int from_file = PyObject_IsInstance(loader.get(), file_loaders);
    if (from_file < 0)
        return kError;
    if (!from_file || !PyUnicode_Check(origin.get()) || !PyList_CheckExact(locations.get()) ||
        PyList_GET_SIZE(locations.get()) != 1 || !PyUnicode_CheckExact(PyList_GET_ITEM(locations.get(), 0)))
        return kUnknown;
    path = Ref::steal(PyList_GetSlice(locations.get(), 0, 1));
    return path ? kFound : kError;
}

Probe probe() {
    PyObject *modules = PyImport_GetModuleDict(); // borrowed
    for (const char *name : {"ray.rllib", "ray.rllib.utils", kNestedDictModule}) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        const int in = key ? PyDict_Contains(modules, key.get()) : -1;
        if (in != 0)
            return in < 0 ? kError : kUnknown;
    }
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    Ref source = machinery ? Ref::steal(PyObject_GetAttrString(machinery.get(), "SourceFileLoader")) : Ref();
    Ref sourceless =
        source ? Ref::steal(PyObject_GetAttrString(machinery.get(), "SourcelessFileLoader")) : Ref();
    Ref file_loaders = sourceless ? Ref::steal(PyTuple_Pack(2, source.get(), sourceless.get())) : Ref();
    if (!file_loaders)
        return kError;

    Ref path, spec;
    Probe p;
    Ref ray_name = Ref::steal(PyUnicode_FromString("ray"));
    if (!ray_name)
        return kError;
    if (Ref ray = Ref::steal(PyImport_GetModule(ray_name.get()))) {
        // Imported already: its __path__ is what the import searches, as
        // long as it is the plain one of a package from a directory.
        spec = Ref::steal(PyObject_GetAttrString(ray.get(), "__spec__"));
        Ref now = spec ? Ref::steal(PyObject_GetAttrString(ray.get(), "__path__")) : Ref();
        if (!now)
            return PyErr_ExceptionMatches(PyExc_AttributeError) ? (PyErr_Clear(), kUnknown) : kError;
        if (spec.get() == Py_None)
            return kUnknown;
        if ((p = package_path(spec.get(), file_loaders.get(), path)) != kFound)
            return p;
        const int same =
            PyList_CheckExact(now.get()) ? PyObject_RichCompareBool(now.get(), path.get(), Py_EQ) : 0;
        if (same <= 0)
            return same < 0 ? kError : kUnknown;
    } else if (PyErr_Occurred()) {
        return kError;
    } else {
        if ((p = find_spec("ray", nullptr, spec)) != kFound)
            return p; // no Ray at all: the import fails on `ray`
        if ((p = package_path(spec.get(), file_loaders.get(), path)) != kFound)
            return p;
    }
    // A Ray without RLlib's packages is no release pip installs: there the
    // import is made, and whatever Ray's own code raises passes on.
    for (const char *name : {"ray.rllib", "ray.rllib.utils"}) {
        if ((p = find_spec(name, path.get(), spec)) != kFound)
            return p == kAbsent ? kUnknown : p;
        if ((p = package_path(spec.get(), file_loaders.get(), path)) != kFound)
            return p;
    }
    p = find_spec(kNestedDictModule, path.get(), spec);
    return p == kFound ? kUnknown : p;
}

} // namespace

int nested_dict_known_absent() noexcept {
    const Probe p = probe();
    if (p != kError)
        return p == kAbsent ? 1 : 0;
    // What a finder raised, the import raises again when it asks the same
    // finder; only what must not wait for that is passed on here.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
        return -1;
    PyErr_Clear();
    return 0;
}

Ref nested_dict_stand_in() noexcept {
    if (!(NestedDictStandIn.tp_flags & Py_TPFLAGS_READY)) {
        NestedDictStandIn.tp_basicsize = sizeof(PyObject);
        NestedDictStandIn.tp_flags = Py_TPFLAGS_DEFAULT;
        NestedDictStandIn.tp_doc =
            "Stands in for RLlib's NestedDict where Ray does not provide it: it has no "
            "instances and cannot be subclassed.";
        NestedDictStandIn.tp_new = stand_in_new;
        if (PyType_Ready(&NestedDictStandIn) < 0)
            return {};
    }
    return Ref::borrow(reinterpret_cast<PyObject *>(&NestedDictStandIn));
}

Ref nested_dict_or_stand_in(Ref imported) noexcept {
    if (imported || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError) ||
        !not_found_on_path(kNestedDictModule))
        return imported;
    PyErr_Clear();
    return nested_dict_stand_in();
}

} // namespace su
