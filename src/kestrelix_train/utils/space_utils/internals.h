// The interpreter internals that the fast paths use, in one place.
//
// Each helper below says what it is for, what it rests on for each CPython
// version (3.11 to 3.14), and the public replacement where one exists. 3.14
// added public API (PyType_GetBaseByToken, PyUnstable_Object_IsUniquelyReferenced,
// PyImport_ImportModuleAttr, ...) but none for a type's member look-up, its
// version tag or a method look-up without a bound method, so each helper
// keeps its 3.13 form there.
// Code outside this header does not touch private API or private struct
// fields of the interpreter; it calls these helpers. init() runs once at
// import, before any of them is used.
#pragma once

#include "ref.h"

#include <cstdint>

// 3.15 is refused until its stack is there: dm-tree and Ray publish no 3.15
// wheels yet. Its headers (3.15.2) still declare and export what the helpers
// use (_PyType_Lookup, _PyObject_GetMethod in the internal headers,
// tp_version_tag, PyGen_GetCode, the dict watchers); lifting the gate needs
// each helper checked against the final 3.15 headers, the benchmarks run
// there, and the suite passing on a 3.15 environment.
#if PY_VERSION_HEX < 0x030B0000
#error "space_utils supports CPython 3.11 to 3.14"
#elif PY_VERSION_HEX >= 0x030F0000
#error "space_utils supports CPython 3.11 to 3.14; CPython 3.15 is not supported yet (see internals.h)"
#endif

namespace su::internals {

// The member that a class's MRO gives for `name` (borrowed; nullptr when no
// class defines it), found as generic attribute access finds it, without
// running Python code and without setting an error.
//   3.11-3.13: _PyType_Lookup, private but declared in the public headers
//         and exported. It uses the interpreter's method cache and assigns
//         the class its version tag (type_tag below relies on that). There
//         is no public equivalent before 3.14; walking tp_mro through
//         PyType_GetDict would give the same answer without the cache, for
//         a dict look-up per class on every call of a fast path's guard.
//   3.14: the same function, still declared in cpython/object.h; 3.14 adds
//         _PyType_LookupRef (a new reference, equally private) and still no
//         public look-up through the cache.
inline PyObject *type_lookup(PyTypeObject *tp, PyObject *name) noexcept {
    return _PyType_Lookup(tp, name);
}

// What the interpreter finds to call for `obj.name(...)`: 1 with an unbound
// method in *found (the instance then goes first), 0 with a bound value, or
// -1 with an error set and *found nullptr. *found is a new reference.
//   3.11, 3.12: _PyObject_GetMethod, private but declared in the public
//         headers; it makes no bound method.
//   3.13: the same function, still exported by the interpreter but declared
//         only in its internal headers, so it is declared here. The public
//         alternative, PyObject_GetAttr and unwrapping the bound method it
//         makes, allocates that bound method on every call: the skill
//         selector's mask, which makes two such look-ups, took 1.5x as long
//         with it on 3.13 (0.49 against 0.32 us on 3.12, benchmarks/
//         bench_actions.py).
//   3.14: as on 3.13 (exported, declared in internal/pycore_object.h only);
//         3.14 has no public look-up that skips the bound method either.
#if PY_VERSION_HEX >= 0x030D0000
} // namespace su::internals
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
namespace su::internals {
#endif
inline int get_method(PyObject *obj, PyObject *name, PyObject **found) noexcept {
    return _PyObject_GetMethod(obj, name, found);
}

// The class's version tag, or 0 when it has none. Any change to the class or
// to one of its bases gives it a new tag (or none).
//   3.11, 3.12: tp_version_tag under Py_TPFLAGS_VALID_VERSION_TAG, public
//         fields of the type object.
//   3.13, 3.14: the interpreter no longer keeps that flag (it stays clear);
//         a tp_version_tag of 0 is the one mark of no tag, and a change to
//         the class sets it to 0. There is no public reader of the tag.
// The look-up above (and PyUnstable_Type_AssignVersionTag from 3.13 on)
// gives a class its tag. Type watchers (3.12 on) would tell of a change too,
// but only of the first one after each PyType_Watch: a tag that is read and
// compared is both simpler and as cheap.
inline unsigned int type_tag(PyTypeObject *tp) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#else
    return tp->tp_version_tag;
#endif
}

// The code flags of a generator object (`gen` an exact generator), to tell
// a generator-based coroutine (CO_ITERABLE_COROUTINE) from a plain one.
//   3.11: the gi_code field of the generator object.
//   3.12 to 3.14: that field is gone; PyGen_GetCode (public).
inline int gen_code_flags(PyObject *gen) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyGenObject *>(gen)->gi_code->co_flags;
#else
    PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(gen));
    const int flags = code->co_flags;
    Py_DECREF(code);
    return flags;
#endif
}

#if PY_VERSION_HEX >= 0x030C0000
// 3.12 on: a dict watcher of the module's own. Every dict that dict_tag()
// was asked about is watched; any change to one of them (a key added,
// removed or rebound, a clear, an update into an empty dict) and its
// deallocation move one counter on. -1: no watcher could be had (all the
// interpreter's watcher slots taken); every tag is then a new number and the
// guards built on them never hold.
inline int dict_watcher = -1;
inline uint64_t dict_epoch = 1;

inline int on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    ++dict_epoch;
    return 0;
}
#endif

// A number that differs from every earlier one whenever the dict `d` was
// changed since it was last read (a key added, removed or rebound). Equal
// numbers for one dict mean no change between the two reads; a change to
// another dict may give a new number too.
//   3.11: ma_version_tag, which the interpreter bumps on every change.
//   3.12 to 3.14: ma_version_tag is deprecated (3.14 removed it from the
//         dict object), so the tag rests on the public dict watchers: `d` is
//         watched from its first read on (PyDict_Watch sets one bit in the
//         dict; watching again is a no-op) and the tag is the watcher's
//         counter.
inline uint64_t dict_tag(PyObject *d) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
#else
    if (SU_UNLIKELY(dict_watcher < 0))
        return ++dict_epoch;
    // (cannot fail: `d` is a dict and the watcher is ours)
    (void)PyDict_Watch(dict_watcher, d);
    return dict_epoch;
#endif
}

// Whether equal tags mean an unchanged dict and a new tag a change (false
// only on 3.12 on without a watcher, where every tag is a new number).
inline bool dict_tags_work() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return true;
#else
    return dict_watcher >= 0;
#endif
}

// Readies what the helpers need; called once when the module is first
// imported. 0; it cannot fail (without a watcher the tags are never equal).
inline int init() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (dict_watcher < 0) {
        dict_watcher = PyDict_AddWatcher(on_dict_event);
        if (dict_watcher < 0)
            PyErr_Clear();
    }
#endif
    return 0;
}

} // namespace su::internals
