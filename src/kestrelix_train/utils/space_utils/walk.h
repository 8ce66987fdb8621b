// Iteration helpers shared by the recursive walks: they iterate as the
// matching Python loop would, with its errors, and hold a strong reference
// to every item while callbacks (which may run arbitrary Python) execute.
#pragma once

#include "ref.h"

namespace su {

// Unpacks a 2-item iterable as `k, v = item` does. Returns 0 or -1.
inline int unpack_pair(PyObject *item, Ref &k, Ref &v) {
    if (SU_LIKELY(PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2)) {
        k = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        v = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return -1;
    }
    Ref parts[2];
    for (int i = 0; i < 2; ++i) {
        parts[i] = Ref::steal(PyIter_Next(it.get()));
        if (!parts[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred())
        return -1;
    k = std::move(parts[0]);
    v = std::move(parts[1]);
    return 0;
}

// Reads a plain dict entry by entry with the checks of the interpreter's
// dict iterator: a change of size, or more entries than the dict held at the
// start (keys replaced while the walk runs), raises RuntimeError. Without
// the second check a callback that swaps one key for another on every step
// would keep the walk going for ever.
class DictWalk {
  public:
    explicit DictWalk(PyObject *dict) noexcept : dict_(dict), used_(PyDict_GET_SIZE(dict)), left_(used_) {}
    // 1 with borrowed *k, *v; 0 at the end; -1 with RuntimeError set.
    int next(PyObject **k, PyObject **v) noexcept {
        if (SU_UNLIKELY(PyDict_GET_SIZE(dict_) != used_)) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(dict_, &pos_, k, v))
            return 0;
        if (SU_UNLIKELY(left_ == 0)) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        --left_;
        return 1;
    }

  private:
    PyObject *dict_;
    const Py_ssize_t used_;
    Py_ssize_t left_;
    Py_ssize_t pos_ = 0;
};

// Iterates any iterable; fn(PyObject* item) -> int (0 go on, 1 stop, -1 error).
// Returns -1 on error, 1 if fn stopped early, 0 at the end.
template <class F> int for_each(PyObject *iterable, F &&fn) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        // Index-based, as the list iterator does (a list may change size).
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
            int r = fn(item.get());
            if (r)
                return r;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item)
            return PyErr_Occurred() ? -1 : 0;
        int r = fn(item.get());
        if (r)
            return r;
    }
}

// Iterates `obj.items()` as `for k, v in obj.items()` does; a plain dict is
// read directly, raising the interpreter's RuntimeError if it changes size.
// fn(PyObject* key, PyObject* value) -> int (0 go on, 1 stop, -1 error).
template <class F> int for_each_item(PyObject *obj, F &&fn) {
    if (PyDict_CheckExact(obj)) {
        DictWalk walk(obj);
        PyObject *k, *v;
        for (;;) {
            const int more = walk.next(&k, &v);
            if (more <= 0)
                return more;
            Ref kr = Ref::borrow(k), vr = Ref::borrow(v);
            int r = fn(kr.get(), vr.get());
            if (r)
                return r;
        }
    }
    Ref items = call_method(obj, SU_STR(items));
    if (!items)
        return -1;
    return for_each(items.get(), [&](PyObject *item) -> int {
        Ref k, v;
        if (unpack_pair(item, k, v) < 0)
            return -1;
        return fn(k.get(), v.get());
    });
}

// Iterates `obj.keys()` as `for k in obj.keys()` does (a plain dict directly).
template <class F> int for_each_key(PyObject *obj, F &&fn) {
    if (PyDict_CheckExact(obj))
        return for_each_item(obj, [&](PyObject *key, PyObject *) -> int { return fn(key); });
    Ref keys = call_method(obj, SU_STR(keys));
    if (!keys)
        return -1;
    return for_each(keys.get(), fn);
}

// A new plain dict holding, for each pair of `src.items()` in order, the same
// key and `fn(value)` (a Ref; empty on error).
template <class F> Ref map_items(PyObject *src, F &&fn) {
    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return {};
    int r = for_each_item(src, [&](PyObject *key, PyObject *value) -> int {
        Ref mapped = fn(value);
        return mapped ? PyDict_SetItem(result.get(), key, mapped.get()) : -1;
    });
    return r < 0 ? Ref() : result;
}

} // namespace su
