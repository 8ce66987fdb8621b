// Ownership of Python references, and the small helpers every unit shares.
//
// Rules:
//   * `Ref` owns exactly one strong reference (or nothing). It is built
//     explicitly: `Ref::steal(p)` adopts a new reference returned by the C
//     API, `Ref::borrow(p)` takes a new strong reference to a borrowed one.
//   * Failures follow the C API convention: a function returns an empty
//     `Ref` (or nullptr / -1) with the Python error indicator set, and the
//     caller passes it on untouched. The exception object raised by a
//     collaborator is therefore the very object the caller sees.
//   * Assignment stores the new pointer before releasing the old one, so a
//     destructor that runs Python code never sees a dangling field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#if defined(__GNUC__)
#define SU_LIKELY(x) __builtin_expect(!!(x), 1)
#define SU_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define SU_LIKELY(x) (x)
#define SU_UNLIKELY(x) (x)
#endif

namespace su {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref &o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(const Ref &o) noexcept {
        PyObject *old = p_;
        p_ = o.p_;
        Py_XINCREF(p_);
        Py_XDECREF(old);
        return *this;
    }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            PyObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning from a C slot).
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    // Drops the reference now.
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool operator!() const noexcept { return p_ == nullptr; }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Interned names. `SU_STR(np)` yields the interned str "np", created on first
// use and kept for the life of the process (like the interpreter's own
// identifiers). It is nullptr only if creating it failed, with MemoryError
// set; every helper below that takes a name passes that failure on.
// ---------------------------------------------------------------------------
inline PyObject *intern_cstr(const char *s) noexcept {
    return PyUnicode_InternFromString(s);
}

// Keeps `fresh` (a new reference, or nullptr) in the process-wide `slot`
// unless the slot was filled meanwhile, and returns what the slot holds.
// Making `fresh` may have run Python code (a collection, and with it any
// finalizer, or a switch to another thread), so a nested call or another
// thread may have filled the slot first: its object stays, `fresh` goes.
inline PyObject *keep_once(PyObject *&slot, PyObject *fresh) noexcept {
    if (SU_LIKELY(!slot))
        slot = fresh;
    else
        Py_XDECREF(fresh);
    return slot;
}

#define SU_STR(name)                                                                                         \
    ([]() noexcept -> PyObject * {                                                                           \
        static PyObject *s_ = nullptr;                                                                       \
        if (SU_UNLIKELY(!s_))                                                                                \
            ::su::keep_once(s_, ::su::intern_cstr(#name));                                                   \
        return s_;                                                                                           \
    }())

#define SU_LIT(text)                                                                                         \
    ([]() noexcept -> PyObject * {                                                                           \
        static PyObject *s_ = nullptr;                                                                       \
        if (SU_UNLIKELY(!s_))                                                                                \
            ::su::keep_once(s_, ::su::intern_cstr(text));                                                    \
        return s_;                                                                                           \
    }())

// ---------------------------------------------------------------------------
// Module globals. Every collaborator and every sibling function is looked up
// by name at the moment of use: first in the module's namespace, then in the
// module's builtins, as a function defined in the module resolves a global
// name. The module's builtins are those its namespace names under
// `__builtins__` (a module stands for its namespace), else the interpreter's
// own; never those of whichever frame happens to be calling.
// ---------------------------------------------------------------------------

// The interpreter's builtins namespace (borrowed; kept for the life of the
// process), or nullptr with an error set.
inline PyObject *interpreter_builtins() noexcept {
    static PyObject *ns = nullptr;
    if (SU_UNLIKELY(!ns)) {
        PyObject *m = PyImport_ImportModule("builtins");
        if (!m)
            return nullptr;
        keep_once(ns, Py_NewRef(PyModule_GetDict(m)));
        Py_DECREF(m);
    }
    return ns;
}

// The builtins of the namespace `globals` (borrowed): a dict, or any other
// mapping that `__builtins__` names. nullptr with an error set on failure.
inline PyObject *builtins_of(PyObject *globals) noexcept {
    PyObject *key = SU_STR(__builtins__);
    if (SU_UNLIKELY(!key))
        return nullptr;
    PyObject *b = PyDict_GetItemWithError(globals, key);
    if (!b)
        return PyErr_Occurred() ? nullptr : interpreter_builtins();
    return PyModule_Check(b) ? PyModule_GetDict(b) : b;
}

inline Ref global(PyObject *globals, PyObject *name) noexcept {
    if (SU_UNLIKELY(!name))
        return {};
    PyObject *v = PyDict_GetItemWithError(globals, name);
    if (SU_LIKELY(v))
        return Ref::borrow(v);
    if (PyErr_Occurred())
        return {};
    Ref builtins = Ref::borrow(builtins_of(globals));
    if (!builtins)
        return {};
    if (SU_LIKELY(PyDict_CheckExact(builtins.get()))) {
        v = PyDict_GetItemWithError(builtins.get(), name);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            return {};
    } else {
        Ref found = Ref::steal(PyObject_GetItem(builtins.get(), name));
        if (found || !PyErr_ExceptionMatches(PyExc_KeyError))
            return found;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

inline Ref getattr(PyObject *o, PyObject *name) noexcept {
    if (SU_UNLIKELY(!name))
        return {};
    return Ref::steal(PyObject_GetAttr(o, name));
}

// Global `module_name` then its attribute `attr` (e.g. np.concatenate).
inline Ref global_attr(PyObject *globals, PyObject *module_name, PyObject *attr) noexcept {
    Ref m = global(globals, module_name);
    if (!m)
        return {};
    return getattr(m.get(), attr);
}

// isinstance() against a type or a tuple, with the interpreter's semantics.
// Returns 1, 0 or -1 with an error set.
inline int isinstance(PyObject *o, PyObject *cls) noexcept {
    return PyObject_IsInstance(o, cls);
}

// Calls through vectorcall. Arguments are borrowed.
template <typename... A> inline Ref call(PyObject *callable, A... args) noexcept {
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call(PyObject *callable) noexcept {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

template <typename... A> inline Ref call_method(PyObject *self, PyObject *name, A... args) noexcept {
    if (SU_UNLIKELY(!name))
        return {};
    PyObject *argv[] = {self, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(*args, **{kwname: kwvalue})` without building a dict.
// `kwnames` must be a tuple of interned strings whose length is nkw; the
// last nkw entries of `args` are the keyword values.
inline Ref call_kw(PyObject *callable, PyObject *const *args, size_t npos, PyObject *kwnames) noexcept {
    if (SU_UNLIKELY(!kwnames))
        return {};
    return Ref::steal(PyObject_Vectorcall(callable, args, npos, kwnames));
}

// A one-element tuple of interned keyword names, created once (for call_kw).
#define SU_KWNAMES1(a)                                                                                       \
    ([]() noexcept -> PyObject * {                                                                           \
        static PyObject *t_ = nullptr;                                                                       \
        if (SU_UNLIKELY(!t_)) {                                                                              \
            PyObject *s = ::su::intern_cstr(#a);                                                             \
            if (s) {                                                                                         \
                ::su::keep_once(t_, PyTuple_Pack(1, s));                                                     \
                Py_DECREF(s);                                                                                \
            }                                                                                                \
        }                                                                                                    \
        return t_;                                                                                           \
    }())

// Guards one level of a recursive walk; `ok()` is false when the recursion
// limit was hit (RecursionError is then set).
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) noexcept : ok_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (ok_)
            Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    bool ok() const noexcept { return ok_; }

  private:
    bool ok_;
};

// Truth of an owned result; -1 with an error set on failure or empty Ref.
inline int truth(const Ref &r) noexcept {
    return r ? PyObject_IsTrue(r.get()) : -1;
}

} // namespace su
