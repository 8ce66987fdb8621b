// The module's function type: a native callable that presents itself to
// tools as a Python function (signature, annotations, defaults, a real code
// object, pickling by reference, binding as a method).
#pragma once

#include "ref.h"

namespace su {

// The body of one module-level function. `globals` is the module's
// namespace (borrowed); `args` holds exactly the function's parameters, in
// parameter order, defaults already filled in (borrowed). Returns a new
// reference, or nullptr with an error set.
using Impl = PyObject *(*)(PyObject *globals, PyObject *const *args);

constexpr int kMaxParams = 5;

struct ArgTypeCheck {
    int index;          // parameter position, -1 ends the list
    PyTypeObject *type; // the exact type demanded (list or dict)
};

struct FuncSpec {
    const char *name;
    int nparams;
    const char *params[kMaxParams];
    bool coroutine;
    Impl impl;
    const char *doc;                                   // nullptr: no docstring
    const char *annotations[2 * (kMaxParams + 1) + 1]; // key, value, ..., nullptr
    ArgTypeCheck checks[kMaxParams + 1];               // terminated by index -1
    int nposonly;                                      // leading positional-only parameters
};

struct FuncObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FuncSpec *spec;
    PyObject *name;        // str
    PyObject *qualname;    // str
    PyObject *module;      // __module__
    PyObject *doc;         // str or None
    PyObject *annotations; // dict
    PyObject *defaults;    // tuple or None
    PyObject *kwdefaults;  // dict or None
    PyObject *code;        // code object
    PyObject *globals;     // the module's namespace
    PyObject *dict;        // __dict__
    PyObject *type_params; // __type_params__ (3.12 on): a tuple, nullptr for ()
    PyObject *annotate;    // __annotate__ (3.14 on): callable, None, or nullptr (None)
    // For the function that a function's `__annotate__` holds: the function
    // whose annotations it gives; nullptr for every other function.
    const FuncSpec *annotates;
    PyObject *weakreflist;
    PyObject *varnames[kMaxParams]; // interned parameter names
};

extern PyTypeObject FuncType;

// Creates the function object of `spec` for the module whose namespace is
// `globals`. `defaults` may be nullptr (no defaults). `is_coroutine_marker`
// is the object stored as `_is_coroutine` for coroutine functions.
PyObject *make_function(const FuncSpec *spec, PyObject *globals, PyObject *module_name, PyObject *defaults,
                        PyObject *is_coroutine_marker, PyObject *filename);

int ready_function_type() noexcept;

// A function defined inside one of the module's functions, as a nested `def`
// defines one: every execution of the outer body makes a new function object
// (with its own attributes, `__dict__` and `__defaults__`), while the code
// object and the names, made on first use, are shared by all of them.
struct LocalFunction {
    FuncSpec spec;
    const char *qualname; // e.g. "outer.<locals>.inner"
    // made on first use, kept for the life of the process
    PyObject *name = nullptr;
    PyObject *qualname_str = nullptr;
    PyObject *code = nullptr;
    PyObject *varnames[kMaxParams] = {};
};

// A new function object of `fn` in the module namespace `globals`; its
// `__module__` is `globals['__name__']`, as for a `def`. nullptr with an
// error set on failure.
PyObject *new_local_function(LocalFunction &fn, PyObject *globals);

} // namespace su
