// Flattening and arrays: nested observations into flat arrays and tensors.
//
// Python code may run at any allocation (a collection runs finalizers), any
// call into numpy, torch or the core library (torch may let other threads
// run), attribute look-up, comparison, hash, isinstance() through an ABC and
// iteration of anything but an exact list, tuple or dict; it may change any
// input. After such a point the code here relies only on what it holds a
// strong reference to and has checked again: an array's size, shape, dtype
// and data are read after the last such point before its data is touched.
#include "array_cast.h"
#include "array_text.h"
#include "collaborators.h"
#include "function.h"
#include "guards.h"
#include "impls.h"
#include "row_join.h"
#include "walk.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace su {

namespace {

using guards::Has;
using guards::In;
using guards::Is;

using guards::is_own;

// make_np_array(child, dtype=dtype), through the module global.
Ref make_np_array_child(PyObject *globals, PyObject *child, PyObject *dtype) {
    Ref fn = global(globals, SU_STR(make_np_array));
    if (!fn)
        return {};
    PyObject *argv[] = {child, dtype};
    if (is_own(fn.get(), impl_make_np_array, globals))
        return Ref::steal(impl_make_np_array(globals, argv));
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
        if (!print || print_trace_line(print.get(), x) < 0)
            return nullptr;
    }
    Ref ndarray = global_attr(globals, SU_STR(np), SU_STR(ndarray));
    if (!ndarray)
        return nullptr;
    int is_array = isinstance(x, ndarray.get());
    if (is_array < 0)
        return nullptr;
    if (is_array) {
        Ref out;
        if (astype_natively(x, dtype, out) != 0)
            return out.release();
        return call_method(x, SU_STR(astype), dtype).release();
    }
    if (PyDict_Check(x))
        return map_items(x, [&](PyObject *value) { return make_np_array_child(globals, value, dtype); })
            .release();
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
    Ref out;
    if (array_natively(array.get(), x, dtype, false, out) != 0)
        return out.release();
    PyObject *argv[] = {x, dtype};
    return call_kw(array.get(), argv, 1, SU_KWNAMES1(dtype)).release();
}

// ===========================================================================
// Flattening
//
// Every function here walks a nested value as the Python rendering of its
// steps would: the same type tests, against the module globals looked up at
// the moment of each test, the same recursion through the module-level name,
// the same library calls. Three things make the common cases cheaper without
// changing the result (object kind, dtype, shape, values) or the errors:
//
//   * When the module-level name of a function is still this module's own
//     function object, a member is flattened by calling the body directly;
//     that is the very call the function object would make.
//   * A numpy join (`np.concatenate`) whose pieces are all exact
//     `numpy.ndarray`s of bool or plain numeric dtypes is done natively when
//     `np` is the numpy module and `np.concatenate` numpy's own function, as
//     numpy does it: numpy's promotion of the pieces (PyArray_ResultType)
//     gives the dtype, one array is allocated, and each piece is cast into
//     its window in order with numpy's own copy.
//   * A value made only of plain dicts with string keys, plain lists and
//     tuples and exact numpy arrays is gathered first (see "Gathering") and
//     joined in one allocation.
// In every other case the general path runs, so rebinding a module attribute
// or passing a subclass behaves as before.
// ===========================================================================

namespace {

// A dtype the native joins handle: bool or a plain number.
inline bool plain_number_dtype(const PyArray_Descr *d) noexcept {
    const int t = d->type_num;
    return PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t) || PyTypeNum_ISCOMPLEX(t);
}

inline PyArrayObject *as_array(PyObject *o) noexcept {
    return reinterpret_cast<PyArrayObject *>(o);
}

// Exactly numpy.ndarray (no subclass), of a bool or plain numeric dtype.
inline bool plain_array(PyObject *o) noexcept {
    return PyArray_CheckExact(o) && plain_number_dtype(PyArray_DESCR(as_array(o)));
}

// Copies the elements of `a` in C order, in their own dtype, to `dst`, one
// after another. Runs no Python code, allocates nothing and keeps the lock,
// so what the caller has checked of `a` just before holds throughout.
void copy_elements(PyArrayObject *a, char *dst) noexcept {
    const int nd = PyArray_NDIM(a);
    const npy_intp es = PyArray_ITEMSIZE(a);
    const char *src = PyArray_BYTES(a);
    if (PyArray_IS_C_CONTIGUOUS(a)) { // (the common case: one block)
        std::memcpy(dst, src, static_cast<size_t>(PyArray_SIZE(a) * es));
        return;
    }
    if (PyArray_SIZE(a) == 0)
        return;
    // The axes from the innermost out, with the source's and the
    // destination's strides; an axis that both sides step through as through
    // one with the axis inside it is merged into that one.
    npy_intp dims[NPY_MAXDIMS + 1], ss[NPY_MAXDIMS + 1], ds[NPY_MAXDIMS + 1];
    int n = 0;
    npy_intp packed = es;
    for (int i = nd - 1; i >= 0; --i) {
        const npy_intp dim = PyArray_DIM(a, i), sstride = PyArray_STRIDE(a, i);
        const npy_intp dstride = packed;
        packed *= dim;
        if (dim == 1)
            continue;
        if (n > 0 && sstride == ss[n - 1] * dims[n - 1] && dstride == ds[n - 1] * dims[n - 1]) {
            dims[n - 1] *= dim;
            continue;
        }
        dims[n] = dim;
        ss[n] = sstride;
        ds[n] = dstride;
        ++n;
    }
    if (n == 0) { // a single element
        dims[0] = 1;
        ss[0] = ds[0] = es;
        n = 1;
    }
    const bool packed_rows = ss[0] == es && ds[0] == es;
    npy_intp index[NPY_MAXDIMS + 1] = {};
    for (;;) {
        const char *s = src;
        char *d = dst;
        for (int k = 1; k < n; ++k) {
            s += index[k] * ss[k];
            d += index[k] * ds[k];
        }
        if (packed_rows) {
            std::memcpy(d, s, static_cast<size_t>(dims[0] * es));
        } else {
            for (npy_intp i = 0; i < dims[0]; ++i)
                std::memcpy(d + i * ds[0], s + i * ss[0], static_cast<size_t>(es));
        }
        int k = 1;
        for (; k < n; ++k) {
            if (++index[k] < dims[k])
                break;
            index[k] = 0;
        }
        if (k == n)
            return;
    }
}

enum class Axis { Ravel, First }; // np.concatenate(..., axis=None) / np.concatenate(...)

// np.concatenate(pieces[, axis=None]) for exact arrays of plain numeric
// dtypes, done as numpy does it: numpy's promotion of the pieces gives the
// dtype, one new array, each piece cast into its window in order. Returns 1
// with `out` set, 0 when numpy has to do it itself (nothing observable has
// been done), -1 with an error set.
int native_concatenate(const std::vector<Ref> &pieces, Axis axis, Ref &out) {
    const size_t n = pieces.size();
    if (n == 0 || n > static_cast<size_t>(INT_MAX))
        return 0;
    // Each piece as it is now: the sizes and dtypes (held, so that a piece's
    // dtype can be compared by identity later) that the result is laid out by.
    std::vector<PyArrayObject *> arrays(n);
    std::vector<npy_intp> sizes(n);
    std::vector<Ref> dtypes(n);
    npy_intp total = 0;
    for (size_t i = 0; i < n; ++i) {
        PyObject *p = pieces[i].get();
        if (!plain_array(p))
            return 0;
        PyArrayObject *a = as_array(p);
        if (axis == Axis::First && PyArray_NDIM(a) != 1)
            return 0;
        const npy_intp size = PyArray_SIZE(a);
        if (size > NPY_MAX_INTP - total)
            return 0; // numpy reports the overflow itself
        total += size;
        arrays[i] = a;
        sizes[i] = size;
        dtypes[i] = Ref::borrow(reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
    }
    PyArray_Descr *descr = PyArray_ResultType(static_cast<npy_intp>(n), arrays.data(), 0, nullptr);
    if (!descr)
        return -1;
    for (PyArrayObject *a : arrays) {
        // Always true: the promoted dtype of plain numbers holds each piece.
        if (!PyArray_CanCastArrayTo(a, descr, NPY_SAME_KIND_CASTING)) {
            Py_DECREF(descr);
            return 0;
        }
    }
    Ref result =
        Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &total, nullptr, nullptr, 0, nullptr));
    if (!result)
        return -1;
    PyArray_Descr *rd = PyArray_DESCR(as_array(result.get()));
    char *const base = PyArray_BYTES(as_array(result.get()));
    // The pieces of another dtype are cast by numpy into a window of the
    // result; the windows are made first, as allocations may run Python code.
    std::vector<Ref> windows(n);
    npy_intp offset = 0;
    for (size_t i = 0; i < n; ++i) {
        if (sizes[i] != 0 && !PyArray_EquivTypes(reinterpret_cast<PyArray_Descr *>(dtypes[i].get()), rd)) {
            Py_INCREF(rd);
            windows[i] = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, rd, 1, &sizes[i], nullptr,
                                                         base + offset * PyDataType_ELSIZE(rd),
                                                         NPY_ARRAY_CARRAY, nullptr));
            if (!windows[i])
                return -1;
        }
        offset += sizes[i];
    }
    // Each piece is read only if it still is as it was counted; one that has
    // changed leaves the whole join to numpy.
    offset = 0;
    for (size_t i = 0; i < n; ++i) {
        PyArrayObject *a = arrays[i];
        if (reinterpret_cast<PyObject *>(PyArray_DESCR(a)) != dtypes[i].get() ||
            PyArray_SIZE(a) != sizes[i] || (axis == Axis::First && PyArray_NDIM(a) != 1))
            return 0;
        if (windows[i]) {
            if (PyArray_CopyAnyInto(as_array(windows[i].get()), a) < 0)
                return -1;
        } else {
            copy_elements(a, base + offset * PyDataType_ELSIZE(rd));
        }
        offset += sizes[i];
    }
    out = std::move(result);
    return 1;
}

// A list of pieces as a new Python list.
Ref as_list(const std::vector<Ref> &pieces) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!list)
        return {};
    for (size_t i = 0; i < pieces.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(pieces[i].get()));
    return list;
}

// Whether np.concatenate, as looked up, may be done natively: 1 or 0, -1
// with an error set.
inline int native_join_allowed(PyObject *np, PyObject *concatenate) noexcept {
    const int ready = collaborators_ready();
    if (ready <= 0)
        return ready;
    return guards::same(Is::Numpy, np) && guards::same(Is::Concatenate, concatenate);
}

// `np.concatenate(pieces)` (Axis::First) or `np.concatenate(pieces,
// axis=None)` (Axis::Ravel), `np` looked up now.
Ref concatenate(PyObject *globals, const std::vector<Ref> &pieces, Axis axis) {
    Ref np = global(globals, SU_STR(np));
    if (!np)
        return {};
    Ref fn = getattr(np.get(), SU_STR(concatenate));
    if (!fn)
        return {};
    const int native = native_join_allowed(np.get(), fn.get());
    if (native < 0)
        return {};
    if (native) {
        Ref out;
        int r = native_concatenate(pieces, axis, out);
        if (r != 0)
            return out;
    }
    Ref list = as_list(pieces);
    if (!list)
        return {};
    if (axis == Axis::First)
        return call(fn.get(), list.get());
    PyObject *argv[] = {list.get(), Py_None};
    return call_kw(fn.get(), argv, 1, SU_KWNAMES1(axis));
}

// isinstance(x, <module global `mod`>.<attr>), both looked up now.
int isinstance_of(PyObject *globals, PyObject *x, PyObject *mod, PyObject *attr) {
    Ref cls = global_attr(globals, mod, attr);
    if (!cls)
        return -1;
    return isinstance(x, cls.get());
}

// ---------------------------------------------------------------------------
// _flatten_unknown(space, x)
// ---------------------------------------------------------------------------
Ref flatten_unknown(PyObject *globals, PyObject *space, PyObject *x);
int flatten_unknown_spaceless(PyObject *globals, PyObject *x, Ref &out);

// _flatten_unknown(sub_space, member), through the module global.
Ref flatten_unknown_member(PyObject *globals, PyObject *sub_space, PyObject *member) {
    Ref fn = global(globals, SU_STR(_flatten_unknown));
    if (!fn)
        return {};
    if (is_own(fn.get(), impl_flatten_unknown, globals))
        return flatten_unknown(globals, sub_space, member);
    return call(fn.get(), sub_space, member);
}

// The `spaces` mapping of `space` when it is a dictionary space; an empty
// Ref with no error set otherwise.
int dict_space_members(PyObject *globals, PyObject *space, Ref &members) {
    int r = isinstance_of(globals, space, SU_STR(kestrelix_spaces), SU_STR(Dict));
    if (r <= 0)
        return r;
    members = getattr(space, SU_STR(spaces));
    return members ? 0 : -1;
}

// The sub-space that goes with the dict member `key`: the dictionary
// space's own member where it holds that key, else None (array members
// never read their space).
Ref member_space(PyObject *members, PyObject *key) {
    if (members) {
        int r = PySequence_Contains(members, key);
        if (r < 0)
            return {};
        if (r)
            return Ref::steal(PyObject_GetItem(members, key));
    }
    return Ref::borrow(Py_None);
}

Ref flatten_unknown(PyObject *globals, PyObject *space, PyObject *x) {
    RecursionGuard guard(" while flattening a value along its space");
    if (!guard.ok())
        return {};
    int r = isinstance_of(globals, x, SU_STR(np), SU_STR(ndarray));
    if (r < 0)
        return {};
    if (r)
        return call_method(x, SU_STR(flatten));

    std::vector<Ref> pieces;
    if (PyDict_Check(x)) {
        Ref members;
        if (dict_space_members(globals, space, members) < 0)
            return {};
        if (!members) {
            // Not a dictionary space: whatever that test ran is behind us,
            // and every member goes with None.
            Ref out;
            int r = flatten_unknown_spaceless(globals, x, out);
            if (r != 0)
                return out;
        }
        int rc = for_each_item(x, [&](PyObject *key, PyObject *) -> int {
            Ref member = Ref::steal(PyObject_GetItem(x, key));
            if (!member)
                return -1;
            Ref sub = member_space(members.get(), key);
            if (!sub)
                return -1;
            Ref piece = flatten_unknown_member(globals, sub.get(), member.get());
            if (!piece)
                return -1;
            pieces.push_back(std::move(piece));
            return 0;
        });
        if (rc < 0)
            return {};
        return concatenate(globals, pieces, Axis::First);
    }
    if (PyTuple_Check(x)) {
        // zip(x, space.spaces): stops at the shorter of the two.
        Ref spaces = getattr(space, SU_STR(spaces));
        if (!spaces)
            return {};
        Ref it_x = Ref::steal(PyObject_GetIter(x));
        if (!it_x)
            return {};
        Ref it_s = Ref::steal(PyObject_GetIter(spaces.get()));
        if (!it_s)
            return {};
        for (;;) {
            Ref member = Ref::steal(PyIter_Next(it_x.get()));
            if (!member)
                break;
            Ref sub = Ref::steal(PyIter_Next(it_s.get()));
            if (!sub)
                break;
            Ref piece = flatten_unknown_member(globals, sub.get(), member.get());
            if (!piece)
                return {};
            pieces.push_back(std::move(piece));
        }
        if (PyErr_Occurred())
            return {};
        return concatenate(globals, pieces, Axis::First);
    }
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// flatten_object_numpy / flatten_object_torch / flatten_object_batch
// ---------------------------------------------------------------------------
// The four walks; Unknown is _flatten_unknown (which only the gathered path
// shares with the others).
enum class Target { Numpy, Torch, Batch, Unknown };

PyObject *own_name(Target t) noexcept {
    switch (t) {
    case Target::Unknown:
        return SU_STR(_flatten_unknown);
    case Target::Numpy:
        return SU_STR(flatten_object_numpy);
    case Target::Torch:
        return SU_STR(flatten_object_torch);
    case Target::Batch:
        break;
    }
    return SU_STR(flatten_object_batch);
}

Impl own_impl(Target t) noexcept {
    switch (t) {
    case Target::Unknown:
        return impl_flatten_unknown;
    case Target::Numpy:
        return impl_flatten_object_numpy;
    case Target::Torch:
        return impl_flatten_object_torch;
    case Target::Batch:
        break;
    }
    return impl_flatten_object_batch;
}

PyObject *one() noexcept {
    static PyObject *v = PyLong_FromLong(1);
    return v;
}

// torch.flatten(t) / torch.flatten(t, start_dim=1), the function given.
Ref torch_flatten(PyObject *flatten, PyObject *t, Target target) {
    if (target != Target::Batch)
        return call(flatten, t);
    PyObject *argv[] = {t, one()};
    if (!argv[1])
        return {};
    return call_kw(flatten, argv, 1, SU_KWNAMES1(start_dim));
}

// A numpy array leaf.
Ref array_leaf(PyObject *globals, PyObject *x, Target t) {
    if (t == Target::Numpy)
        return Ref::borrow(x); // returned as it is, unflattened
    // torch.flatten(torch.from_numpy(x)[, start_dim=1]), evaluated in that order.
    Ref flatten = global_attr(globals, SU_STR(torch), SU_STR(flatten));
    if (!flatten)
        return {};
    Ref from_numpy = global_attr(globals, SU_STR(torch), SU_STR(from_numpy));
    if (!from_numpy)
        return {};
    Ref tensor = call(from_numpy.get(), x);
    if (!tensor)
        return {};
    return torch_flatten(flatten.get(), tensor.get(), t);
}

// A tensor leaf.
Ref tensor_leaf(PyObject *globals, PyObject *x, Target t) {
    Ref flatten = global_attr(globals, SU_STR(torch), SU_STR(flatten));
    if (!flatten)
        return {};
    Ref flat = torch_flatten(flatten.get(), x, t);
    if (!flat || t != Target::Numpy)
        return flat;
    // torch.flatten(x).detach().numpy()
    Ref detached = call_method(flat.get(), SU_STR(detach));
    if (!detached)
        return {};
    return call_method(detached.get(), SU_STR(numpy));
}

// Joins the pieces of a mapping or sequence.
Ref join(PyObject *globals, const std::vector<Ref> &pieces, Target t) {
    if (t == Target::Numpy)
        return concatenate(globals, pieces, Axis::Ravel);
    Ref list = as_list(pieces);
    if (!list)
        return {};
    Ref cat = global_attr(globals, SU_STR(torch), SU_STR(cat));
    if (!cat)
        return {};
    if (t == Target::Torch)
        return call(cat.get(), list.get());
    PyObject *argv[] = {list.get(), one()};
    if (!argv[1])
        return {};
    return call_kw(cat.get(), argv, 1, SU_KWNAMES1(dim));
}

Ref flatten_object(PyObject *globals, PyObject *x, Target t);

// The function applied to one member, through its module-level name.
Ref flatten_member(PyObject *globals, PyObject *member, Target t) {
    Ref fn = global(globals, own_name(t));
    if (!fn)
        return {};
    if (is_own(fn.get(), own_impl(t), globals))
        return flatten_object(globals, member, t);
    return call(fn.get(), member);
}

Ref flatten_object(PyObject *globals, PyObject *x, Target t) {
    RecursionGuard guard(" while flattening an object");
    if (!guard.ok())
        return {};
    int r = isinstance_of(globals, x, SU_STR(np), SU_STR(ndarray));
    if (r < 0)
        return {};
    if (r)
        return array_leaf(globals, x, t);
    r = isinstance_of(globals, x, SU_STR(torch), SU_STR(Tensor));
    if (r < 0)
        return {};
    if (r)
        return tensor_leaf(globals, x, t);

    bool mapping = PyDict_Check(x);
    if (!mapping) {
        Ref nested_dict = global(globals, SU_STR(NestedDict));
        if (!nested_dict)
            return {};
        r = isinstance(x, nested_dict.get());
        if (r < 0)
            return {};
        mapping = r;
    }
    std::vector<Ref> pieces;
    auto add = [&](PyObject *member) -> int {
        Ref piece = flatten_member(globals, member, t);
        if (!piece)
            return -1;
        pieces.push_back(std::move(piece));
        return 0;
    };
    if (mapping) {
        int rc = for_each_key(x, [&](PyObject *key) -> int {
            Ref member = Ref::steal(PyObject_GetItem(x, key));
            return member ? add(member.get()) : -1;
        });
        if (rc < 0)
            return {};
    } else if (PyTuple_Check(x) || PyList_Check(x)) {
        if (for_each(x, add) < 0)
            return {};
    } else {
        PyErr_Format(PyExc_ValueError, "Unsupported object type: %S",
                     reinterpret_cast<PyObject *>(Py_TYPE(x)));
        return {};
    }
    return join(globals, pieces, t);
}

// ---------------------------------------------------------------------------
// Gathering.
//
// A value made only of plain dicts with string keys, plain lists and tuples
// (none empty), exact numpy arrays and exact torch tensors, with the module
// globals still the originals, is walked by the general path without any
// type test or lookup running Python code: each has a known answer. Such a
// value is scanned first (the scan runs no Python code, so declining leaves
// nothing done) and its entries, leaves and container ends in walking
// order, are then played back:
//   * numpy leaves of one dtype: one new array (flatten_object_numpy,
//     _flatten_unknown: every intermediate join would keep that dtype) or
//     one new CPU tensor (flatten_object_torch / _batch, for arrays that
//     torch.from_numpy takes as they are), laid out as the nested joins lay
//     them out;
//   * otherwise the very calls of the general path, in its order (torch's
//     calls for the leaves and joins, numpy joins done natively as above),
//     without its type tests and lookups.
// Whenever torch is called, no torch function or dispatch mode and no
// functorch transform may be active: those run Python code of their own.
// ---------------------------------------------------------------------------
struct Gather {
    enum Kind : unsigned char { Array, Tensor, Open, Close };
    struct Entry {
        Kind kind;
        Ref leaf;
        npy_intp count = 0; // an array's elements (flat) or features per row (batch), as scanned
    };
    explicit Gather(Target t) : target(t) { entries.reserve(64); }
    Target target;
    int list_is_mapping = -1; // isinstance(<list>, NestedDict), asked once
    int tuple_is_mapping = -1;
    std::vector<Entry> entries;
    bool has_tensors = false;
    PyArray_Descr *descr = nullptr; // the arrays' dtype while they share one
    bool uniform = true;            // all leaves arrays of one builtin plain dtype
    bool fillable = true;           // torch: arrays torch.from_numpy takes as they are
    npy_intp total = 0;             // elements (flat) or features per row (batch)
    npy_intp rows = -1;             // batch: the arrays' common first dimension
};

// The builtin dtype object for a numpy type number, when `d` is it.
inline bool builtin_descr(PyArray_Descr *d) noexcept {
    PyArray_Descr *b = PyArray_DescrFromType(d->type_num);
    Py_XDECREF(b);
    return b == d;
}

// Whether torch.from_numpy takes the array as it is.
inline bool torch_takes(PyArrayObject *a) noexcept {
    PyArray_Descr *d = PyArray_DESCR(a);
    if (d->type_num >= NPY_NTYPES_LEGACY || !collaborators().torch_dtype[d->type_num] || !builtin_descr(d))
        return false;
    for (int i = 0; i < PyArray_NDIM(a); ++i) {
        const npy_intp s = PyArray_STRIDE(a, i);
        if (s < 0 || s % PyDataType_ELSIZE(d) != 0)
            return false;
    }
    return true;
}

// Elements (or, for a batch, features per row) of an array; false when the
// count overflows.
bool leaf_count(const Gather &g, PyArrayObject *a, npy_intp &count) {
    if (g.target != Target::Batch) {
        count = PyArray_SIZE(a);
        return true;
    }
    count = 1;
    for (int i = 1; i < PyArray_NDIM(a); ++i) {
        const npy_intp dim = PyArray_DIM(a, i);
        if (dim != 0 && count > NPY_MAX_INTP / dim)
            return false;
        count *= dim;
    }
    return true;
}

// An exact numpy array leaf. 1: taken, 0: decline.
int gather_array(Gather &g, PyObject *x) {
    PyArrayObject *a = as_array(x);
    PyArray_Descr *d = PyArray_DESCR(a);
    if (g.target == Target::Torch || g.target == Target::Batch) {
        // torch.from_numpy warns for a read-only array; that warning (and
        // whatever a warnings hook does) is left to the general path.
        if (!PyArray_ISWRITEABLE(a))
            return 0;
        bool fits = torch_takes(a);
        if (g.target == Target::Batch) {
            fits = fits && PyArray_NDIM(a) >= 2 && (g.rows < 0 || PyArray_DIM(a, 0) == g.rows);
            if (fits)
                g.rows = PyArray_DIM(a, 0);
        }
        g.fillable = g.fillable && fits;
    }
    if (!g.descr)
        g.descr = d;
    g.uniform = g.uniform && d == g.descr && plain_number_dtype(d) && builtin_descr(d);
    npy_intp count = 0;
    if (!leaf_count(g, a, count) || count > NPY_MAX_INTP - g.total)
        g.uniform = g.fillable = false;
    else
        g.total += count;
    g.entries.push_back({Gather::Array, Ref::borrow(x), count});
    return 1;
}

// isinstance(x, np.ndarray) asks a tensor for its __class__, which must
// come from object; `space.spaces` of a Dict or Tuple space must come from
// the instance.
constexpr guards::Member kFromObjectClass[] = {{"__class__", Has::ObjectClass}};
constexpr guards::Member kOwnSpaces[] = {{"spaces", Has::Nothing}};
guards::Members tensor_members{kFromObjectClass}, dict_spaces_members{kOwnSpaces},
    tuple_space_members{kOwnSpaces};

// An exact torch.Tensor leaf. isinstance(x, np.ndarray) asks the tensor for
// its __class__, which must come from object. 1: taken, 0: decline.
int gather_tensor(Gather &g, PyObject *x) {
    if (g.target == Target::Unknown ||
        !tensor_members.hold(reinterpret_cast<PyTypeObject *>(collaborators().tensor)))
        return 0;
    g.has_tensors = true;
    g.uniform = g.fillable = false;
    g.entries.push_back({Gather::Tensor, Ref::borrow(x)});
    return 1;
}

// isinstance(<exact list or tuple>, NestedDict), asked once per call.
int sequence_is_mapping(Gather &g, PyObject *x) {
    int &known = Py_TYPE(x) == &PyList_Type ? g.list_is_mapping : g.tuple_is_mapping;
    if (known < 0)
        known = isinstance(x, collaborators().nested_dict);
    return known;
}

// One level of the recursion the general path enters per value it visits.
struct ScanLevel {
    ScanLevel() noexcept : ok(Py_EnterRecursiveCall("") == 0) {
        if (!ok)
            PyErr_Clear();
    }
    ~ScanLevel() {
        if (ok)
            Py_LeaveRecursiveCall();
    }
    ScanLevel(const ScanLevel &) = delete;
    ScanLevel &operator=(const ScanLevel &) = delete;
    bool ok;
};

// The scan of flatten_object_*: 1 qualifies, 0 not (nothing done).
int gather(Gather &g, PyObject *x) {
    ScanLevel level;
    if (!level.ok)
        return 0;
    if (PyArray_CheckExact(x))
        return gather_array(g, x);
    PyTypeObject *tp = Py_TYPE(x);
    if (tp == reinterpret_cast<PyTypeObject *>(collaborators().tensor))
        return gather_tensor(g, x);
    if (tp == &PyDict_Type) {
        if (PyDict_GET_SIZE(x) == 0)
            return 0;
        g.entries.push_back({Gather::Open, {}});
        // isinstance() further down may run Python code (an ABC's hooks)
        // that changes this dict: the walk then fails as the general path's
        // walk of it does.
        DictWalk walk(x);
        PyObject *key, *value;
        for (;;) {
            const int more = walk.next(&key, &value);
            if (more <= 0) {
                if (more < 0)
                    return -1;
                break;
            }
            if (!PyUnicode_CheckExact(key))
                return 0;
            Ref hold = Ref::borrow(value);
            int r = gather(g, hold.get());
            if (r <= 0)
                return r;
        }
    } else if (tp == &PyList_Type || tp == &PyTuple_Type) {
        int r = sequence_is_mapping(g, x);
        if (r != 0) {
            // An error here is left to the general path, which meets it in
            // its own order, unless it is one that must not wait
            // (KeyboardInterrupt and the like).
            if (r > 0 || PyErr_ExceptionMatches(PyExc_Exception)) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        // (The question may have run Python code that emptied the list.)
        if (PySequence_Fast_GET_SIZE(x) == 0)
            return 0;
        g.entries.push_back({Gather::Open, {}});
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(x); ++i) {
            Ref hold = Ref::borrow(PySequence_Fast_GET_ITEM(x, i));
            r = gather(g, hold.get());
            if (r <= 0)
                return r;
        }
    } else {
        return 0;
    }
    g.entries.push_back({Gather::Close, {}});
    return 1;
}

// `space.spaces` of an exact Dict or Tuple space, read without running any
// Python code (the attribute comes from the instance); empty (no error set)
// when that cannot be done.
Ref plain_spaces(PyObject *space, PyTypeObject *cls, guards::Members &members) {
    if (Py_TYPE(space) != cls || !members.hold(cls))
        return {};
    Ref v = getattr(space, SU_STR(spaces));
    if (!v)
        PyErr_Clear();
    return v;
}

// The scan of _flatten_unknown(space, x): 1 qualifies, 0 not (nothing done).
// The space is read only as the general path reads it: a dict's own Dict
// space gives each member's sub-space (None where it lacks the key), a
// tuple is zipped with its Tuple space's sub-spaces. A null `space` stands
// for a space already found not to be a Dict (for a dict `x` only): every
// member then goes with None.
int gather_unknown(Gather &g, PyObject *space, PyObject *x) {
    ScanLevel level;
    if (!level.ok)
        return 0;
    if (PyArray_CheckExact(x))
        return gather_array(g, x);
    PyTypeObject *tp = Py_TYPE(x);
    if (tp == &PyDict_Type) {
        // isinstance(space, Dict) has a known answer only for an exact Dict
        // (or when it was asked already).
        Ref members;
        if (space) {
            members = plain_spaces(space, collaborators().dict_space, dict_spaces_members);
            if (!members ||
                (Py_TYPE(members.get()) != &PyDict_Type &&
                 Py_TYPE(members.get()) != reinterpret_cast<PyTypeObject *>(collaborators().ordered_dict)))
                return 0;
        }
        if (PyDict_GET_SIZE(x) == 0)
            return 0;
        g.entries.push_back({Gather::Open, {}});
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(x, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key))
                return 0;
            PyObject *sub = members ? PyDict_GetItemWithError(members.get(), key) : nullptr;
            if (!sub && PyErr_Occurred()) {
                PyErr_Clear();
                return 0;
            }
            Ref hold_sub = Ref::borrow(sub ? sub : Py_None), hold = Ref::borrow(value);
            int r = gather_unknown(g, hold_sub.get(), hold.get());
            if (r <= 0)
                return r;
        }
    } else if (tp == &PyTuple_Type) {
        Ref spaces = plain_spaces(space, collaborators().tuple_space, tuple_space_members);
        if (!spaces || !PyTuple_CheckExact(spaces.get()))
            return 0;
        const Py_ssize_t n = std::min(PyTuple_GET_SIZE(x), PyTuple_GET_SIZE(spaces.get()));
        if (n == 0)
            return 0;
        g.entries.push_back({Gather::Open, {}});
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref sub = Ref::borrow(PyTuple_GET_ITEM(spaces.get(), i)),
                member = Ref::borrow(PyTuple_GET_ITEM(x, i));
            int r = gather_unknown(g, sub.get(), member.get());
            if (r <= 0)
                return r;
        }
    } else {
        return 0; // its None would meet np.concatenate's error
    }
    g.entries.push_back({Gather::Close, {}});
    return 1;
}

// What each walk reads by name: its own module-level name (the recursion),
// the type tests against `np.ndarray`, `torch.Tensor` and `NestedDict` (or
// the spaces' `Dict`), and the library calls that join the leaves.
constexpr guards::Name kUnknownNames[] = {{In::Module, "_flatten_unknown", Is::Own, impl_flatten_unknown},
                                          {In::Module, "np", Is::Numpy},
                                          {In::Numpy, "ndarray", Is::NdArray},
                                          {In::Numpy, "concatenate", Is::Concatenate},
                                          {In::Module, "kestrelix_spaces", Is::SpacesModule},
                                          {In::Spaces, "Dict", Is::DictSpace}};
// The three walks of nested values share their type tests.
constexpr guards::Name kWalkNames[] = {
    {In::Module, "np", Is::Numpy},       {In::Numpy, "ndarray", Is::NdArray},
    {In::Module, "torch", Is::Torch},    {In::Torch, "Tensor", Is::Tensor},
    {In::Torch, "flatten", Is::Flatten}, {In::Module, "NestedDict", Is::NestedDict}};
constexpr guards::Name kNumpyNames[] = {
    {In::Module, "flatten_object_numpy", Is::Own, impl_flatten_object_numpy},
    {In::Numpy, "concatenate", Is::Concatenate}};
constexpr guards::Name kTorchNames[] = {
    {In::Module, "flatten_object_torch", Is::Own, impl_flatten_object_torch},
    {In::Torch, "from_numpy", Is::FromNumpy},
    {In::Torch, "cat", Is::Cat}};
constexpr guards::Name kBatchNames[] = {
    {In::Module, "flatten_object_batch", Is::Own, impl_flatten_object_batch},
    {In::Torch, "from_numpy", Is::FromNumpy},
    {In::Torch, "cat", Is::Cat}};
guards::Names unknown_names{kUnknownNames}, walk_names{kWalkNames}, numpy_names{kNumpyNames},
    torch_names{kTorchNames}, batch_names{kBatchNames};

// Whether the names that the walk of `target` reads are the originals, so
// that its type tests and calls have known answers: 1 or 0, -1 with an
// error set.
int gather_allowed(PyObject *globals, Target target) {
    const int ready = collaborators_ready();
    if (ready <= 0)
        return ready;
    switch (target) {
    case Target::Unknown:
        return unknown_names.hold(globals);
    case Target::Numpy:
        return walk_names.hold(globals) && numpy_names.hold(globals);
    case Target::Torch:
        return walk_names.hold(globals) && torch_names.hold(globals);
    case Target::Batch:
        break;
    }
    return walk_names.hold(globals) && batch_names.hold(globals);
}

// numpy leaves of one dtype into one new array (flatten_object_numpy,
// _flatten_unknown). The allocation is the last point where Python code
// could run before the leaves are read: each is copied only if its dtype and
// size are still the ones the scan found (a finalizer or another thread may
// have resized, reshaped or retyped it), natively, with nothing in between.
// 1 with `out` set, 0 when a leaf changed (the calls of the general path are
// then played back), -1 with an error set.
int fill_array(const Gather &g, Ref &out) {
    npy_intp total = g.total;
    Py_INCREF(g.descr);
    Ref result =
        Ref::steal(PyArray_NewFromDescr(&PyArray_Type, g.descr, 1, &total, nullptr, nullptr, 0, nullptr));
    if (!result)
        return -1;
    char *at = PyArray_BYTES(as_array(result.get()));
    for (const Gather::Entry &e : g.entries) {
        if (e.kind != Gather::Array)
            continue;
        PyArrayObject *a = as_array(e.leaf.get());
        if (PyArray_DESCR(a) != g.descr || PyArray_SIZE(a) != e.count)
            return 0;
        copy_elements(a, at);
        at += e.count * PyDataType_ELSIZE(g.descr);
    }
    out = std::move(result);
    return 1;
}

PyObject *kwnames_dtype_device() noexcept {
    static PyObject *t = nullptr;
    if (SU_UNLIKELY(!t)) {
        PyObject *a = SU_STR(dtype), *b = SU_STR(device);
        if (a && b)
            keep_once(t, PyTuple_Pack(2, a, b));
    }
    return t;
}

// The layout of the gathered numpy leaves as they are now: their dtype,
// sizes, rows and what torch.from_numpy needs must still be the ones the
// tensor was made for. Python code (a finalizer run by torch.empty's
// allocation, say, or another thread while torch let it run) may have
// reshaped, resized or retyped a leaf since the scan, so the leaves are read
// only after the last point where that can happen. False when anything
// changed (the tensor is then dropped and the general calls replayed).
bool leaves_unchanged(const Gather &g, std::vector<RowPiece> &pieces) {
    const bool batch = g.target == Target::Batch;
    const size_t es = static_cast<size_t>(PyDataType_ELSIZE(g.descr));
    npy_intp total = 0;
    pieces.clear();
    for (const Gather::Entry &e : g.entries) {
        if (e.kind != Gather::Array)
            continue;
        PyArrayObject *a = as_array(e.leaf.get());
        npy_intp f = 0;
        if (PyArray_DESCR(a) != g.descr || !leaf_count(g, a, f) || f > g.total - total ||
            !PyArray_ISWRITEABLE(a) || !torch_takes(a))
            return false;
        if (batch && (PyArray_NDIM(a) < 2 || PyArray_DIM(a, 0) != g.rows))
            return false;
        total += f;
        // A piece that is not one C-ordered block is copied by numpy instead.
        const bool whole = PyArray_IS_C_CONTIGUOUS(a);
        pieces.push_back({whole ? PyArray_BYTES(a) : nullptr, static_cast<size_t>(f) * es});
    }
    return total == g.total;
}

// For a leaf that is not one C-ordered block: a view of its columns
// [offset, offset + f) of every row of the (rows, total) destination (or of
// its window of a flat one), in the leaf's shape, for numpy to copy into.
Ref strided_window(const Gather &g, PyArrayObject *a, char *base, npy_intp offset) {
    const npy_intp es = PyDataType_ELSIZE(g.descr);
    npy_intp dims[NPY_MAXDIMS], strides[NPY_MAXDIMS];
    int nd = PyArray_NDIM(a);
    if (g.target == Target::Batch) {
        strides[0] = g.total * es;
        npy_intp s = es;
        for (int i = nd - 1; i >= 0; --i) {
            dims[i] = PyArray_DIM(a, i);
            if (i >= 1) {
                strides[i] = s;
                s *= dims[i];
            }
        }
    } else {
        nd = 1;
        dims[0] = PyArray_SIZE(a);
        strides[0] = es;
    }
    Py_INCREF(g.descr);
    return Ref::steal(PyArray_NewFromDescr(&PyArray_Type, g.descr, nd, dims, strides, base + offset * es,
                                           NPY_ARRAY_WRITEABLE, nullptr));
}

// numpy leaves of one dtype into one new CPU tensor, laid out as the nested
// torch.cat calls lay them out: (total,), or (rows, total) for a batch.
// Returns 1 with `out` set, 0 when the general calls are to be replayed
// instead (a leaf changed while torch ran, or torch no longer behaves
// plainly; nothing written), -1 with an error set.
int fill_tensor(const Gather &g, Ref &out) {
    const bool batch = g.target == Target::Batch;
    Ref rows = Ref::steal(PyLong_FromSsize_t(batch ? g.rows : g.total));
    Ref total = Ref::steal(PyLong_FromSsize_t(g.total));
    if (!rows || !total)
        return -1;
    const Collaborators &c = collaborators();
    PyObject *dtype = c.torch_dtype[g.descr->type_num];
    PyObject *argv[] = {rows.get(), total.get(), dtype, c.cpu};
    if (!batch) {
        argv[1] = dtype;
        argv[2] = c.cpu;
    }
    // torch.empty lets other threads run and may trigger a collection, and
    // data_ptr() is a call too: the leaves are read only after both, and
    // only if torch still behaves plainly (a mode set up meanwhile would
    // have seen, and could have changed, the new tensor).
    Ref tensor = call_kw(c.empty, argv, batch ? 2 : 1, kwnames_dtype_device());
    if (!tensor)
        return -1;
    Ref address = call_method(tensor.get(), SU_STR(data_ptr));
    if (!address)
        return -1;
    char *base = static_cast<char *>(PyLong_AsVoidPtr(address.get()));
    if (!base && PyErr_Occurred())
        return -1;
    // A mode set up meanwhile would have seen, and could have changed, the
    // new tensor (and a Python kernel registered meanwhile could take over
    // the general path's calls).
    const int plain = torch_plain();
    if (plain <= 0)
        return plain;
    if (!guards::kernels_plain(guards::Kernels::Cpu))
        return 0;
    std::vector<RowPiece> pieces;
    pieces.reserve(g.entries.size());
    if (!leaves_unchanged(g, pieces))
        return 0;
    const size_t es = static_cast<size_t>(PyDataType_ELSIZE(g.descr));
    const size_t n_rows = batch ? static_cast<size_t>(g.rows) : 1;
    const size_t row_bytes = static_cast<size_t>(g.total) * es;
    // numpy copies the leaves that are not one block, through windows made
    // before any leaf is read (making them allocates); the leaves are then
    // checked once more.
    std::vector<std::pair<PyArrayObject *, Ref>> strided;
    npy_intp offset = 0; // elements (flat) or features (batch) before the leaf
    size_t i = 0;
    for (const Gather::Entry &e : g.entries) {
        if (e.kind != Gather::Array)
            continue;
        const RowPiece &p = pieces[i++];
        if (!p.src && p.width != 0 && n_rows != 0) {
            PyArrayObject *a = as_array(e.leaf.get());
            Ref window = strided_window(g, a, base, offset);
            if (!window)
                return -1;
            strided.emplace_back(a, std::move(window));
        }
        offset += static_cast<npy_intp>(p.width / es);
    }
    if (!strided.empty()) {
        std::vector<RowPiece> again;
        again.reserve(pieces.size());
        if (!leaves_unchanged(g, again) || !std::equal(pieces.begin(), pieces.end(), again.begin(),
                                                       again.end(), [](const RowPiece &x, const RowPiece &y) {
                                                           return x.src == y.src && x.width == y.width;
                                                       }))
            return 0;
        for (const auto &[a, window] : strided) {
            PyArrayObject *w = as_array(window.get());
            if (batch ? !PyArray_SAMESHAPE(a, w) : PyArray_SIZE(a) != PyArray_SIZE(w))
                return 0;
        }
    }
    // No Python code runs from here on, but for numpy's copies.
    advise_huge_pages(base, n_rows * row_bytes);
    join_rows(base, pieces.data(), pieces.size(), n_rows, row_bytes);
    for (const auto &[a, window] : strided)
        if (PyArray_CopyAnyInto(as_array(window.get()), a) < 0)
            return -1;
    out = std::move(tensor);
    return 1;
}

// Plays the general path's calls back over the gathered entries.
Ref replay(Gather &g) {
    const Target t = g.target;
    const Axis axis = t == Target::Unknown ? Axis::First : Axis::Ravel;
    std::vector<std::vector<Ref>> open;
    Ref result;
    for (Gather::Entry &e : g.entries) {
        Ref piece;
        switch (e.kind) {
        case Gather::Open:
            open.emplace_back();
            continue;
        case Gather::Array:
            if (t == Target::Numpy) {
                piece = std::move(e.leaf); // returned as it is
            } else if (t == Target::Unknown) {
                piece = Ref::steal(PyArray_Flatten(as_array(e.leaf.get()), NPY_CORDER)); // x.flatten()
            } else {
                Ref tensor = call(collaborators().from_numpy, e.leaf.get());
                piece = tensor ? torch_flatten(collaborators().flatten, tensor.get(), t) : Ref();
            }
            break;
        case Gather::Tensor:
            piece = torch_flatten(collaborators().flatten, e.leaf.get(), t);
            if (piece && t == Target::Numpy) {
                piece = call_method(piece.get(), SU_STR(detach));
                piece = piece ? call_method(piece.get(), SU_STR(numpy)) : Ref();
            }
            break;
        case Gather::Close: {
            std::vector<Ref> pieces = std::move(open.back());
            open.pop_back();
            if (t == Target::Numpy || t == Target::Unknown) {
                int r = native_concatenate(pieces, axis, piece);
                if (r < 0)
                    return {};
                if (r == 0) {
                    Ref list = as_list(pieces);
                    if (!list)
                        return {};
                    PyObject *argv[] = {list.get(), Py_None};
                    piece = axis == Axis::First
                                ? call(collaborators().concatenate, list.get())
                                : call_kw(collaborators().concatenate, argv, 1, SU_KWNAMES1(axis));
                }
            } else {
                Ref list = as_list(pieces);
                if (!list)
                    return {};
                PyObject *argv[] = {list.get(), one()};
                piece = t == Target::Torch ? call(collaborators().cat, list.get())
                                           : call_kw(collaborators().cat, argv, 1, SU_KWNAMES1(dim));
            }
            break;
        }
        }
        if (!piece)
            return {};
        if (open.empty())
            result = std::move(piece); // the outermost container closed
        else
            open.back().push_back(std::move(piece));
    }
    return result;
}

// The gathered path at the top of a call. Returns 1 with `out` set, 0 when
// the general path is to run (nothing done), -1 on error.
int flatten_gathered(PyObject *globals, PyObject *space, PyObject *x, Target target, Ref &out) {
    PyTypeObject *tp = Py_TYPE(x);
    if (tp != &PyDict_Type && tp != &PyList_Type && tp != &PyTuple_Type)
        return 0;
    const int allowed = gather_allowed(globals, target);
    if (allowed <= 0)
        return allowed;
    // The general path needs a few more recursion levels than the scan does
    // (its type tests enter their own); a margin keeps the scan from
    // succeeding where the general path would raise RecursionError.
    constexpr int kMargin = 8;
    int entered = 0;
    while (entered < kMargin && Py_EnterRecursiveCall("") == 0)
        ++entered;
    Gather g(target);
    int r = 0;
    if (entered < kMargin)
        PyErr_Clear();
    else
        r = target == Target::Unknown ? gather_unknown(g, space, x) : gather(g, x);
    for (; entered > 0; --entered)
        Py_LeaveRecursiveCall();
    if (r <= 0)
        return r;
    const bool calls_torch = target == Target::Torch || target == Target::Batch || g.has_tensors;
    if (calls_torch) {
        // (torch.empty stands in for torch.flatten and torch.cat: a Python
        // kernel of any of them must run where the general path runs it)
        const int plain = torch_plain();
        if (plain <= 0)
            return plain;
        if (!guards::kernels_plain(guards::Kernels::Cpu))
            return 0;
    }
    if (g.uniform && (g.fillable || target == Target::Numpy || target == Target::Unknown)) {
        const int filled =
            target == Target::Numpy || target == Target::Unknown ? fill_array(g, out) : fill_tensor(g, out);
        if (filled != 0)
            return filled;
    }
    out = replay(g);
    return out ? 1 : -1;
}

// _flatten_unknown(space, x) for a dict `x` whose space was just found not
// to be a dictionary space: the gathered path, with None for every member.
int flatten_unknown_spaceless(PyObject *globals, PyObject *x, Ref &out) {
    return flatten_gathered(globals, nullptr, x, Target::Unknown, out);
}

} // namespace

PyObject *impl_flatten_unknown(PyObject *globals, PyObject *const *args) {
    Ref out;
    int r = flatten_gathered(globals, args[0], args[1], Target::Unknown, out);
    if (r != 0)
        return out.release();
    return flatten_unknown(globals, args[0], args[1]).release();
}

namespace {

PyObject *flatten_object_top(PyObject *globals, PyObject *x, Target t) {
    Ref out;
    int r = flatten_gathered(globals, nullptr, x, t, out);
    if (r != 0)
        return out.release();
    return flatten_object(globals, x, t).release();
}

} // namespace

PyObject *impl_flatten_object_torch(PyObject *globals, PyObject *const *args) {
    return flatten_object_top(globals, args[0], Target::Torch);
}

PyObject *impl_flatten_object_batch(PyObject *globals, PyObject *const *args) {
    return flatten_object_top(globals, args[0], Target::Batch);
}

PyObject *impl_flatten_object_numpy(PyObject *globals, PyObject *const *args) {
    return flatten_object_top(globals, args[0], Target::Numpy);
}

} // namespace su
