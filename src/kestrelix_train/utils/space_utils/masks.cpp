// Action masks: application, combination, all-zero and fit tests.
//
// Python code may run at any allocation (a collection runs finalizers), any
// call into numpy, torch or the core library (torch may let other threads
// run), attribute look-up, comparison, hash, isinstance() through an ABC and
// iteration of anything but an exact list, tuple or dict; it may change any
// input. After such a point the code here relies only on what it holds a
// strong reference to and has checked again: an array's size, shape, dtype
// and data are read after the last such point before its data is touched.
//
// A mask is a tree in the shape of the action space: dicts, tuples and lists
// as branches, numpy arrays or torch tensors of 0/1 entries as leaves. Each
// function walks its tree recursively, reaching itself again through its
// module-level name, and every collaborator (np, torch, NestedDict, ...) is
// looked up in the module's namespace at the moment it is used.
//
// Numpy leaves have native fast paths against numpy's C API: the all-zero
// test scans the data, the combination multiplies into a new int8 array, and
// the fit test reads the chosen entry. Each is taken only where its result is
// provably the one the general path would give: the leaf is exactly
// numpy.ndarray with a dtype the path handles, and the names that the general
// path would read are still numpy's own objects (each path's table of names,
// checked as guards.h describes). Everything else (a rebound `np`, an ndarray
// subclass, an object dtype, a swapped byte order, ...) takes the general
// path. Likewise a recursive call runs the body directly, without a call
// through the interpreter, only while the module-level name is still bound
// to this module's own function.
#include "collaborators.h"
#include "function.h"
#include "guards.h"
#include "impls.h"
#include "tensor_mask.h"
#include "walk.h"

#include <algorithm>
#include <cstring>
#include <numpy/arrayscalars.h>

namespace su {

namespace {

using guards::Has;
using guards::In;
using guards::Is;

PyArrayObject *as_array(PyObject *o) {
    return reinterpret_cast<PyArrayObject *>(o);
}

// ---- the all-zero scan -----------------------------------------------------

// Whether one element is nonzero, as numpy's truth of the element: a NaN is
// nonzero, a negative zero is zero, a complex number is nonzero when either
// part is.
template <class T> struct NonzeroReal {
    static bool test(const char *p) { return load<T>(p) != T(0); }
};
struct NonzeroHalf {
    static bool test(const char *p) { return (load<npy_uint16>(p) & 0x7fffu) != 0; }
};
template <class T> struct NonzeroComplex {
    static bool test(const char *p) { return load<T>(p) != T(0) || load<T>(p + sizeof(T)) != T(0); }
};

// Visits the elements of `a` in memory order for contiguous arrays and index
// order otherwise; true at the first nonzero element.
template <class Test> bool scan_nonzero(PyArrayObject *a) {
    const npy_intp size = PyArray_SIZE(a);
    if (size == 0)
        return false;
    const char *data = PyArray_BYTES(a);
    const int nd = PyArray_NDIM(a);
    if (nd == 0)
        return Test::test(data);
    const npy_intp item = PyArray_ITEMSIZE(a);
    if (PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a)) {
        for (npy_intp i = 0; i < size; ++i)
            if (Test::test(data + i * item))
                return true;
        return false;
    }
    const npy_intp *dims = PyArray_DIMS(a);
    const npy_intp *strides = PyArray_STRIDES(a);
    const npy_intp inner = dims[nd - 1];
    const npy_intp step = strides[nd - 1];
    npy_intp index[NPY_MAXDIMS] = {};
    for (;;) {
        const char *row = data;
        for (int k = 0; k < nd - 1; ++k)
            row += index[k] * strides[k];
        for (npy_intp i = 0; i < inner; ++i)
            if (Test::test(row + i * step))
                return true;
        int k = nd - 2;
        for (; k >= 0; --k) {
            if (++index[k] < dims[k])
                break;
            index[k] = 0;
        }
        if (k < 0)
            return false;
    }
}

// 1 if the array holds a nonzero element, 0 if not, -1 if its dtype is not
// one that the scan handles (plain numeric or bool, native byte order).
int array_any(PyArrayObject *a) {
    PyArray_Descr *d = PyArray_DESCR(a);
    if (!PyArray_ISNOTSWAPPED(a) || PyDataType_HASFIELDS(d))
        return -1;
    switch (d->type_num) {
    case NPY_BOOL:
    case NPY_BYTE:
    case NPY_UBYTE:
        return scan_nonzero<NonzeroReal<npy_uint8>>(a);
    case NPY_SHORT:
    case NPY_USHORT:
        return scan_nonzero<NonzeroReal<npy_uint16>>(a);
    case NPY_INT:
    case NPY_UINT:
        return scan_nonzero<NonzeroReal<npy_uint32>>(a);
    case NPY_LONG:
    case NPY_ULONG:
        return scan_nonzero<NonzeroReal<npy_ulong>>(a);
    case NPY_LONGLONG:
    case NPY_ULONGLONG:
        return scan_nonzero<NonzeroReal<npy_ulonglong>>(a);
    case NPY_HALF:
        return scan_nonzero<NonzeroHalf>(a);
    case NPY_FLOAT:
        return scan_nonzero<NonzeroReal<npy_float>>(a);
    case NPY_DOUBLE:
        return scan_nonzero<NonzeroReal<npy_double>>(a);
    case NPY_LONGDOUBLE:
        return scan_nonzero<NonzeroReal<npy_longdouble>>(a);
    case NPY_CFLOAT:
        return scan_nonzero<NonzeroComplex<npy_float>>(a);
    case NPY_CDOUBLE:
        return scan_nonzero<NonzeroComplex<npy_double>>(a);
    case NPY_CLONGDOUBLE:
        return scan_nonzero<NonzeroComplex<npy_longdouble>>(a);
    default:
        return -1;
    }
}

// mask_all_zero of an exact ndarray stands in for np.any(mask) with numpy's
// own `np`, `np.ndarray` and `np.any`, and for what np.any reads in turn.
constexpr guards::Name kAllZeroNames[] = {{In::Module, "np", Is::Numpy},
                                          {In::Numpy, "ndarray", Is::NdArray},
                                          {In::Numpy, "any", Is::Any},
                                          {In::NumpyCode, "any", Is::CodeReads}};
guards::Names all_zero_names{kAllZeroNames};

// mask_all_zero of an exact ndarray while the names above hold:
// Py_True/Py_False (new reference), or nullptr without an error where the
// general path must run.
PyObject *all_zero_fast(PyObject *globals, PyObject *mask) {
    if (Py_TYPE(mask) != &PyArray_Type || !all_zero_names.hold(globals))
        return nullptr;
    int any = array_any(as_array(mask));
    if (any < 0)
        return nullptr;
    return PyBool_FromLong(!any);
}

// ---- the int8 product ------------------------------------------------------

// The product stands in for np.multiply(m1, m2, dtype=np.int8) after
// isinstance(m1, np.ndarray), with numpy's own objects behind those names.
constexpr guards::Name kCombineNames[] = {{In::Module, "np", Is::Numpy},
                                          {In::Numpy, "ndarray", Is::NdArray},
                                          {In::Numpy, "multiply", Is::Multiply},
                                          {In::Numpy, "int8", Is::Int8}};
guards::Names combine_names{kCombineNames};

// np.multiply(m1, m2, dtype=np.int8) for two exact, C-contiguous ndarrays of
// one shape (at least one dimension) and of dtypes bool or int8, while
// `np.ndarray`, `np.multiply` and `np.int8` are numpy's own. numpy casts a
// bool entry to 0 or 1 and wraps the int8 product. Returns 1 with the new
// array in `out`, 0 where the general path must run, -1 with an error.
int combine_fast(PyObject *globals, PyObject *m1, PyObject *m2, Ref &out) {
    if (Py_TYPE(m1) != &PyArray_Type || Py_TYPE(m2) != &PyArray_Type)
        return 0;
    PyArrayObject *a = as_array(m1);
    PyArrayObject *b = as_array(m2);
    // What the product relies on. It is asked again once the result is
    // allocated, the last point where Python code could run before the
    // arrays are read.
    auto fits = [a, b](npy_intp *shape_of_result) -> bool {
        const int ta = PyArray_TYPE(a), tb = PyArray_TYPE(b);
        if ((ta != NPY_BOOL && ta != NPY_BYTE) || (tb != NPY_BOOL && tb != NPY_BYTE))
            return false;
        const int nd = PyArray_NDIM(a);
        if (nd == 0 || nd != PyArray_NDIM(b) || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_IS_C_CONTIGUOUS(b))
            return false;
        const size_t bytes = sizeof(npy_intp) * static_cast<size_t>(nd);
        return std::memcmp(PyArray_DIMS(a), PyArray_DIMS(b), bytes) == 0 &&
               (!shape_of_result || std::memcmp(PyArray_DIMS(a), shape_of_result, bytes) == 0);
    };
    if (!fits(nullptr) || !combine_names.hold(globals))
        return 0;
    out = Ref::steal(PyArray_SimpleNew(PyArray_NDIM(a), PyArray_DIMS(a), NPY_BYTE));
    if (!out)
        return -1;
    if (PyArray_NDIM(as_array(out.get())) != PyArray_NDIM(a) || !fits(PyArray_DIMS(as_array(out.get())))) {
        out.reset();
        return 0;
    }
    const int ta = PyArray_TYPE(a), tb = PyArray_TYPE(b);
    const npy_intp n = PyArray_SIZE(a);
    const auto *pa = static_cast<const npy_int8 *>(PyArray_DATA(a));
    const auto *pb = static_cast<const npy_int8 *>(PyArray_DATA(b));
    auto *po = static_cast<npy_int8 *>(PyArray_DATA(as_array(out.get())));
    const bool ba = ta == NPY_BOOL, bb = tb == NPY_BOOL;
    if (!ba && !bb) {
        for (npy_intp i = 0; i < n; ++i)
            po[i] = static_cast<npy_int8>(pa[i] * pb[i]);
    } else {
        for (npy_intp i = 0; i < n; ++i) {
            const int x = ba ? pa[i] != 0 : pa[i];
            const int y = bb ? pb[i] != 0 : pb[i];
            po[i] = static_cast<npy_int8>(x * y);
        }
    }
    return 1;
}

// ---- the chosen entry ------------------------------------------------------

// Whether one entry of a numpy mask equals 1, as `entry == 1` compares a
// numpy scalar with the int 1.
template <class T> bool real_is_one(const char *p) {
    return load<T>(p) == T(1);
}
template <class T> bool complex_is_one(const char *p) {
    return load<T>(p) == T(1) && load<T>(p + sizeof(T)) == T(0);
}

// 1 or 0 for the entry's comparison with 1, -1 for a dtype not handled.
int entry_is_one(int type_num, const char *p) {
    switch (type_num) {
    case NPY_BOOL:
        return load<npy_uint8>(p) != 0;
    case NPY_BYTE:
        return real_is_one<npy_int8>(p);
    case NPY_UBYTE:
        return real_is_one<npy_uint8>(p);
    case NPY_SHORT:
        return real_is_one<npy_short>(p);
    case NPY_USHORT:
        return real_is_one<npy_ushort>(p);
    case NPY_INT:
        return real_is_one<npy_int>(p);
    case NPY_UINT:
        return real_is_one<npy_uint>(p);
    case NPY_LONG:
        return real_is_one<npy_long>(p);
    case NPY_ULONG:
        return real_is_one<npy_ulong>(p);
    case NPY_LONGLONG:
        return real_is_one<npy_longlong>(p);
    case NPY_ULONGLONG:
        return real_is_one<npy_ulonglong>(p);
    case NPY_HALF:
        return load<npy_uint16>(p) == 0x3c00u; // the one bit pattern of 1.0
    case NPY_FLOAT:
        return real_is_one<npy_float>(p);
    case NPY_DOUBLE:
        return real_is_one<npy_double>(p);
    case NPY_LONGDOUBLE:
        return real_is_one<npy_longdouble>(p);
    case NPY_CFLOAT:
        return complex_is_one<npy_float>(p);
    case NPY_CDOUBLE:
        return complex_is_one<npy_double>(p);
    case NPY_CLONGDOUBLE:
        return complex_is_one<npy_longdouble>(p);
    default:
        return -1;
    }
}

// The index of an exact int action into a mask of `n` entries; -1 where
// the general path must decide (an index out of range: the container raises
// its own IndexError).
Py_ssize_t mask_index(PyObject *action, Py_ssize_t n) {
    Py_ssize_t i = PyLong_AsSsize_t(action);
    if (i == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return i >= 0 && i < n ? i : -1;
}

// action_mask[int(action)] == 1 for a non-negative int action and a list or
// (while `numpy_ready`) a one-dimensional numpy mask. The result is nullptr
// without an error where the general path must run.
PyObject *discrete_fits_fast(PyObject *action, PyObject *mask, bool numpy_ready) {
    if (!PyLong_CheckExact(action))
        return nullptr;
    if (PyList_CheckExact(mask)) {
        Py_ssize_t i = mask_index(action, PyList_GET_SIZE(mask));
        if (i < 0)
            return nullptr;
        Ref entry = Ref::borrow(PyList_GET_ITEM(mask, i));
        if (PyLong_CheckExact(entry.get())) {
            int overflow = 0;
            long v = PyLong_AsLongAndOverflow(entry.get(), &overflow);
            return PyBool_FromLong(v == 1 && !overflow);
        }
        Ref one = Ref::steal(PyLong_FromLong(1));
        return one ? PyObject_RichCompare(entry.get(), one.get(), Py_EQ) : nullptr;
    }
    if (!numpy_ready || Py_TYPE(mask) != &PyArray_Type)
        return nullptr;
    PyArrayObject *a = as_array(mask);
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a))
        return nullptr;
    Py_ssize_t i = mask_index(action, PyArray_DIM(a, 0));
    if (i < 0)
        return nullptr;
    int one = entry_is_one(PyArray_TYPE(a), PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
    if (one < 0)
        return nullptr;
    PyArrayScalar_RETURN_BOOL_FROM_LONG(one);
}

// `<module global>.<attr>`. A plain module resolves a name that its type
// does not define from its namespace first, so that namespace is read
// directly; anything else (a name it lacks, a module subclass, an object
// that is no module) goes through the interpreter's attribute lookup.
Ref attr_of_module_object(PyObject *m, PyObject *attr) {
    if (!attr)
        return {};
    if (SU_LIKELY(PyModule_CheckExact(m))) {
        PyObject *v = PyDict_GetItemWithError(PyModule_GetDict(m), attr);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            return {};
    }
    return getattr(m, attr);
}

Ref module_attr(PyObject *globals, PyObject *module_name, PyObject *attr) {
    Ref m = global(globals, module_name);
    return m ? attr_of_module_object(m.get(), attr) : Ref();
}

// The three kinds apply_mask sorts its arguments into. Each test looks up
// all the names it tests against before testing, as isinstance() with a
// tuple of classes does, and tests them in order.

// isinstance(x, (dict, NestedDict, OrderedDict))
int is_dict_like(PyObject *globals, PyObject *x) {
    Ref nested = global(globals, SU_STR(NestedDict));
    if (!nested)
        return -1;
    Ref ordered = global(globals, SU_STR(OrderedDict));
    if (!ordered)
        return -1;
    if (PyDict_Check(x))
        return 1;
    int r = isinstance(x, nested.get());
    if (r)
        return r;
    return isinstance(x, ordered.get());
}

// isinstance(x, (list, tuple))
bool is_sequence(PyObject *x) {
    return PyList_Check(x) || PyTuple_Check(x);
}

// Which array library an object belongs to: isinstance() against
// np.ndarray, then torch.Tensor.
enum ArrayKind { kNoArray = 0, kNumpy = 1, kTorch = 2 };

int array_kind(PyObject *x, PyObject *ndarray, PyObject *tensor) {
    int r = isinstance(x, ndarray);
    if (r)
        return r < 0 ? -1 : kNumpy;
    r = isinstance(x, tensor);
    return r < 0 ? -1 : r ? kTorch : kNoArray;
}

// isinstance(x, (np.ndarray, torch.Tensor)), as an ArrayKind (or -1). When
// `other` is given and `x` is an array, `*other_kind` receives the kind of
// `other`, tested against the same two classes.
int is_array(PyObject *globals, PyObject *x, PyObject *other = nullptr, int *other_kind = nullptr) {
    Ref ndarray = module_attr(globals, SU_STR(np), SU_STR(ndarray));
    if (!ndarray)
        return -1;
    Ref tensor = module_attr(globals, SU_STR(torch), SU_STR(Tensor));
    if (!tensor)
        return -1;
    int kind = array_kind(x, ndarray.get(), tensor.get());
    if (kind > 0 && other) {
        *other_kind = array_kind(other, ndarray.get(), tensor.get());
        if (*other_kind < 0)
            return -1;
    }
    return kind;
}

// isinstance(x, <module global>.<attr>)
int is_instance_of(PyObject *globals, PyObject *x, PyObject *module_name, PyObject *attr) {
    Ref cls = module_attr(globals, module_name, attr);
    if (!cls)
        return -1;
    return isinstance(x, cls.get());
}

using guards::own_globals;

// Calls `fn`, the value of a module-level name looked up beforehand. While it
// is this module's own function with the body `impl`, the body runs directly:
// that is exactly what the call would do.
Ref invoke(PyObject *fn, Impl impl, PyObject *const *args, size_t nargs) {
    if (PyObject *g = own_globals(fn, impl))
        return Ref::steal(impl(g, args));
    return Ref::steal(PyObject_Vectorcall(fn, args, nargs, nullptr));
}

PyObject *raise_unsupported_mask(PyObject *mask) {
    PyErr_Format(PyExc_ValueError, "Unsupported mask type: %S", reinterpret_cast<PyObject *>(Py_TYPE(mask)));
    return nullptr;
}

// ---------------------------------------------------------------------------
// apply_mask
// ---------------------------------------------------------------------------

// Whether the pair passes the kind check that precedes the conversion: the
// same class, or both dict-like, both sequences or both arrays. 1, 0 or -1.
int same_kind(PyObject *globals, PyObject *logits, PyObject *mask) {
    if (Py_TYPE(mask) == Py_TYPE(logits))
        return 1;
    int a = is_dict_like(globals, logits);
    if (a < 0)
        return -1;
    if (a) {
        int b = is_dict_like(globals, mask);
        if (b)
            return b;
    }
    if (is_sequence(logits) && is_sequence(mask))
        return 1;
    a = is_array(globals, logits);
    if (a <= 0)
        return a;
    a = is_array(globals, mask);
    return a < 0 ? -1 : a > 0;
}

// with np.errstate(all="ignore"): np.maximum(np.log(mask), -np.inf)
//
// The logarithm is taken with numpy's floating-point error handling off:
// a zero entry becomes minus infinity and a negative or NaN entry NaN,
// without the warning (or, under np.errstate(all="raise"), the error) that
// numpy would otherwise give for them.
Ref numpy_additive_mask(PyObject *globals, PyObject *mask) {
    Ref errstate = module_attr(globals, SU_STR(np), SU_STR(errstate));
    if (!errstate)
        return {};
    PyObject *argv[] = {SU_STR(ignore)};
    Ref ctx = call_kw(errstate.get(), argv, 0, SU_KWNAMES1(all));
    if (!ctx)
        return {};
    Ref enter = getattr(ctx.get(), SU_STR(__enter__));
    if (!enter)
        return {};
    Ref exit = getattr(ctx.get(), SU_STR(__exit__));
    if (!exit)
        return {};
    Ref entered = call(enter.get());
    if (!entered)
        return {};
    Ref result = [&]() -> Ref {
        Ref maximum = module_attr(globals, SU_STR(np), SU_STR(maximum));
        if (!maximum)
            return {};
        Ref log = module_attr(globals, SU_STR(np), SU_STR(log));
        if (!log)
            return {};
        Ref logged = call(log.get(), mask);
        if (!logged)
            return {};
        Ref inf = module_attr(globals, SU_STR(np), SU_STR(inf));
        if (!inf)
            return {};
        Ref neg = Ref::steal(PyNumber_Negative(inf.get()));
        if (!neg)
            return {};
        return call(maximum.get(), logged.get(), neg.get());
    }();
    if (result) {
        Ref done = call(exit.get(), Py_None, Py_None, Py_None);
        return done ? std::move(result) : Ref();
    }
    // Leave the context with the error, as a with statement does; errstate
    // never swallows it, and an error of __exit__ itself replaces it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Ref done = call(exit.get(), type, value, tb ? tb : Py_None);
    if (!done) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return {};
    }
    PyErr_Restore(type, value, tb);
    return {};
}

// torch.clamp(torch.log(mask), min=-np.inf)
Ref torch_additive_mask(PyObject *globals, PyObject *mask) {
    Ref torch = global(globals, SU_STR(torch));
    if (!torch)
        return {};
    Ref clamp = attr_of_module_object(torch.get(), SU_STR(clamp));
    if (!clamp)
        return {};
    Ref log = attr_of_module_object(torch.get(), SU_STR(log));
    if (!log)
        return {};
    Ref logged = call(log.get(), mask);
    if (!logged)
        return {};
    Ref inf = module_attr(globals, SU_STR(np), SU_STR(inf));
    if (!inf)
        return {};
    Ref neg = Ref::steal(PyNumber_Negative(inf.get()));
    if (!neg)
        return {};
    PyObject *argv[] = {logged.get(), neg.get()};
    return call_kw(clamp.get(), argv, 1, SU_KWNAMES1(min));
}

// Raises ValueError with `fmt` filled by fetch(mask) and fetch(logits), both
// taken anew as the message's own evaluation does. Always returns nullptr.
template <class Fetch>
PyObject *raise_mismatch(PyObject *mask, PyObject *logits, Fetch fetch, const char *fmt) {
    Ref m = fetch(mask);
    if (!m)
        return nullptr;
    Ref l = fetch(logits);
    if (!l)
        return nullptr;
    PyErr_Format(PyExc_ValueError, fmt, m.get(), l.get());
    return nullptr;
}

// torch reads a numpy array only where it has no negative stride, no stride
// that is a fraction of its item size and the machine's byte order, and it
// has no counterpart for a few of numpy's dtypes.
// The dtype a mask is brought over in: its own where torch has it, double
// for long double and object entries, complex double for complex long
// double, and for an unsigned integer that numpy has two names for, the name
// torch knows it by (numpy's uint32 or uint64 type number: which of uint,
// ulong and ulonglong that is depends on the width of `long`); -1 where
// there is none (torch then reports the dtype itself).
int torch_type_of(int type_num) {
    switch (type_num) {
    case NPY_BOOL:
    case NPY_BYTE:
    case NPY_UBYTE:
    case NPY_SHORT:
    case NPY_USHORT:
    case NPY_INT:
    case NPY_LONG:
    case NPY_LONGLONG:
    case NPY_HALF:
    case NPY_FLOAT:
    case NPY_DOUBLE:
    case NPY_CFLOAT:
    case NPY_CDOUBLE:
        return type_num;
    case NPY_UINT:
        return NPY_UINT32;
    case NPY_ULONG: // paired by width: uint32 where long is 32 bits wide
        return NPY_SIZEOF_LONG == 8 ? NPY_UINT64 : NPY_UINT32;
    case NPY_ULONGLONG:
        return NPY_UINT64;
    case NPY_LONGDOUBLE:
    case NPY_OBJECT:
        return NPY_DOUBLE;
    case NPY_CLONGDOUBLE:
        return NPY_CDOUBLE;
    default:
        return -1;
    }
}

// A numpy mask in a form torch.tensor() takes: the mask itself when torch
// can read it as it is, else a new C-contiguous base-class array in native
// byte order and a dtype torch has. (torch.tensor() copies what it reads, so
// a read-only mask raises no warning.) Without numpy's C API the mask goes
// to torch as it is.
Ref torch_readable(PyObject *mask) {
    const int ready = collaborators_ready();
    if (ready < 0)
        return {};
    if (!ready || !PyArray_Check(mask))
        return Ref::borrow(mask);
    PyArrayObject *a = as_array(mask);
    PyArray_Descr *d = PyArray_DESCR(a);
    const int target = torch_type_of(d->type_num);
    if (target < 0)
        return Ref::borrow(mask);
    bool copy = target != d->type_num || !PyArray_ISNBO(d->byteorder);
    const npy_intp item = PyDataType_ELSIZE(d);
    const npy_intp *strides = PyArray_STRIDES(a);
    for (int k = 0; k < PyArray_NDIM(a) && !copy; ++k)
        copy = strides[k] < 0 || strides[k] % item != 0;
    if (!copy)
        return Ref::borrow(mask);
    PyArray_Descr *to = PyArray_DescrFromType(target);
    if (!to)
        return {};
    // PyArray_FromArray takes the descriptor's reference. The copy is forced:
    // numpy counts an empty array as contiguous whatever its strides.
    return Ref::steal(PyArray_FromArray(a, to,
                                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY |
                                            NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSURECOPY));
}

// torch.tensor(mask, device=device) for a numpy mask, brought over as
// torch_readable() gives it.
Ref tensor_of_array(PyObject *globals, PyObject *mask, PyObject *device) {
    Ref tensor = module_attr(globals, SU_STR(torch), SU_STR(tensor));
    if (!tensor)
        return {};
    Ref readable = torch_readable(mask);
    if (!readable)
        return {};
    PyObject *argv[] = {readable.get(), device};
    return call_kw(tensor.get(), argv, 1, SU_KWNAMES1(device));
}

// Whether `dtype` is one of torch's dtypes named in `names`. 1, 0 or -1.
template <size_t N> int is_one_of(PyObject *torch, PyObject *dtype, PyObject *const (&names)[N]) {
    for (PyObject *name : names) {
        Ref known = attr_of_module_object(torch, name);
        if (!known)
            return -1;
        if (known.get() == dtype)
            return 1;
    }
    return 0;
}

// The array numpy makes of a tensor mask: mask.numpy(force=True), which
// detaches it, brings it to the CPU and resolves a conjugate or negative
// view. A floating-point or complex dtype that numpy has no counterpart for
// (bfloat16, the float8 kinds, complex32) is first converted to float32 or
// complex64, which hold each of its values exactly.
Ref array_of_tensor(PyObject *globals, PyObject *mask) {
    Ref dtype = getattr(mask, SU_STR(dtype));
    if (!dtype)
        return {};
    Ref torch = global(globals, SU_STR(torch));
    if (!torch)
        return {};
    PyObject *target = nullptr;
    int r = truth(getattr(dtype.get(), SU_STR(is_floating_point)));
    if (r < 0)
        return {};
    if (r) {
        PyObject *const names[] = {SU_STR(float32), SU_STR(float64), SU_STR(float16)};
        r = is_one_of(torch.get(), dtype.get(), names);
        target = SU_STR(float32);
    } else {
        r = truth(getattr(dtype.get(), SU_STR(is_complex)));
        if (r < 0)
            return {};
        if (r) {
            PyObject *const names[] = {SU_STR(complex64), SU_STR(complex128)};
            r = is_one_of(torch.get(), dtype.get(), names);
            target = SU_STR(complex64);
        } else {
            r = 1;
        }
    }
    if (r < 0)
        return {};
    Ref source = Ref::borrow(mask);
    if (!r) {
        Ref to = attr_of_module_object(torch.get(), target);
        if (!to)
            return {};
        source = call_method(mask, SU_STR(to), to.get());
        if (!source)
            return {};
    }
    Ref numpy = getattr(source.get(), SU_STR(numpy));
    if (!numpy)
        return {};
    PyObject *argv[] = {Py_True};
    return call_kw(numpy.get(), argv, 0, SU_KWNAMES1(force));
}

// An array mask: logits + log(mask). A mask of the other library than the
// logits is first brought to the logits' library (a tensor on the logits'
// device, or a numpy array), whose logarithm then gives the additive mask,
// so the result is always of the logits' library.
PyObject *apply_array_mask(PyObject *globals, PyObject *logits, PyObject *mask, int mask_kind,
                           int logits_kind) {
    {
        Ref mshape = getattr(mask, SU_STR(shape));
        if (!mshape)
            return nullptr;
        Ref lshape = getattr(logits, SU_STR(shape));
        if (!lshape)
            return nullptr;
        int differ = truth(Ref::steal(PyObject_RichCompare(mshape.get(), lshape.get(), Py_NE)));
        if (differ < 0)
            return nullptr;
        if (differ)
            return raise_mismatch(
                mask, logits, [](PyObject *o) { return getattr(o, SU_STR(shape)); },
                "Action mask shape (%S) does not match logits shape (%S)");
    }
    Ref additive;
    if (mask_kind == kNumpy && logits_kind == kTorch) {
        Ref device = getattr(logits, SU_STR(device));
        if (!device)
            return nullptr;
        Ref moved = tensor_of_array(globals, mask, device.get());
        if (!moved)
            return nullptr;
        additive = torch_additive_mask(globals, moved.get());
    } else if (mask_kind == kNumpy) {
        additive = numpy_additive_mask(globals, mask);
    } else if (logits_kind == kNumpy) {
        Ref array = array_of_tensor(globals, mask);
        if (!array)
            return nullptr;
        additive = numpy_additive_mask(globals, array.get());
    } else {
        additive = torch_additive_mask(globals, mask);
    }
    if (!additive)
        return nullptr;
    return PyNumber_Add(logits, additive.get());
}

PyObject *apply_dict_mask(PyObject *globals, PyObject *logits, PyObject *mask) {
    {
        Ref mkeys = call_method(mask, SU_STR(keys));
        if (!mkeys)
            return nullptr;
        Ref mset = Ref::steal(PySet_New(mkeys.get()));
        if (!mset)
            return nullptr;
        Ref lkeys = call_method(logits, SU_STR(keys));
        if (!lkeys)
            return nullptr;
        Ref lset = Ref::steal(PySet_New(lkeys.get()));
        if (!lset)
            return nullptr;
        int differ = truth(Ref::steal(PyObject_RichCompare(mset.get(), lset.get(), Py_NE)));
        if (differ < 0)
            return nullptr;
        if (differ)
            return raise_mismatch(
                mask, logits, [](PyObject *o) { return call_method(o, SU_STR(keys)); },
                "Action mask keys (%S) do not match logits keys (%S)");
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return nullptr;
    int r = for_each_key(mask, [&](PyObject *key) -> int {
        Ref fn = global(globals, SU_STR(apply_mask));
        if (!fn)
            return -1;
        Ref lv = Ref::steal(PyObject_GetItem(logits, key));
        if (!lv)
            return -1;
        Ref mv = Ref::steal(PyObject_GetItem(mask, key));
        if (!mv)
            return -1;
        PyObject *argv[] = {lv.get(), mv.get()};
        Ref masked = invoke(fn.get(), impl_apply_mask, argv, 2);
        if (!masked)
            return -1;
        return PyDict_SetItem(result.get(), key, masked.get());
    });
    return r < 0 ? nullptr : result.release();
}

// Compares len(a) with len(b). When they differ, raises ValueError with `fmt`
// filled by both lengths, taken anew as the message's own evaluation does.
// Returns 0 when they agree, -1 with an error set otherwise.
int same_length(PyObject *a, PyObject *b, const char *fmt) {
    Py_ssize_t na = PyObject_Length(a);
    Py_ssize_t nb = na < 0 ? -1 : PyObject_Length(b);
    if (nb < 0)
        return -1;
    if (na == nb)
        return 0;
    na = PyObject_Length(a);
    nb = na < 0 ? -1 : PyObject_Length(b);
    if (nb < 0)
        return -1;
    PyErr_Format(PyExc_ValueError, fmt, na, nb);
    return -1;
}

// A tuple or list mask: the members masked position by position, in a new
// container of the mask's kind.
PyObject *apply_sequence_mask(PyObject *globals, PyObject *logits, PyObject *mask, bool as_tuple) {
    if (same_length(mask, logits, "Action mask shape (%zd) does not match logits shape (%zd)") < 0)
        return nullptr;
    const Py_ssize_t n = PyObject_Length(mask);
    if (n < 0)
        return nullptr;
    Ref items = Ref::steal(PyList_New(0));
    if (!items)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref fn = global(globals, SU_STR(apply_mask));
        if (!fn)
            return nullptr;
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index)
            return nullptr;
        Ref lv = Ref::steal(PyObject_GetItem(logits, index.get()));
        if (!lv)
            return nullptr;
        Ref mv = Ref::steal(PyObject_GetItem(mask, index.get()));
        if (!mv)
            return nullptr;
        PyObject *argv[] = {lv.get(), mv.get()};
        Ref masked = invoke(fn.get(), impl_apply_mask, argv, 2);
        if (!masked || PyList_Append(items.get(), masked.get()) < 0)
            return nullptr;
    }
    return as_tuple ? PyList_AsTuple(items.get()) : items.release();
}

// Whether the retried call of a converted pair would have to convert again:
// the mask is no NestedDict (which the retry would first turn into a dict)
// and the pair fails the kind check. 1, 0 or -1.
int would_convert_again(PyObject *globals, PyObject *logits, PyObject *mask) {
    Ref nested = global(globals, SU_STR(NestedDict));
    if (!nested)
        return -1;
    int r = isinstance(mask, nested.get());
    if (r)
        return r < 0 ? -1 : 0;
    r = same_kind(globals, logits, mask);
    return r < 0 ? -1 : !r;
}

// Padding of the continuation lines of the conversion message.
#define SU_PAD33 "                                 "
static_assert(sizeof(SU_PAD33) == 34);

// The logits and the mask differ in kind: both are turned into numpy arrays
// (the logits as float32, the mask as int8) and the converted pair is tried
// once more. The retry is bounded: a converted pair that still differs in
// kind (array logits against a dict mask, which stays a dict) is not retried
// again. Any failure becomes the conversion ValueError, whose context is the
// error that caused it.
PyObject *convert_and_retry(PyObject *globals, PyObject *logits_in, PyObject *mask_in) {
    Ref logits = Ref::borrow(logits_in);
    Ref mask = Ref::borrow(mask_in);
    Ref result = [&]() -> Ref {
        Ref make = global(globals, SU_STR(make_np_array));
        if (!make)
            return {};
        Ref f32 = module_attr(globals, SU_STR(np), SU_STR(float32));
        if (!f32)
            return {};
        PyObject *largv[] = {logits.get(), f32.get()};
        Ref converted = call_kw(make.get(), largv, 1, SU_KWNAMES1(dtype));
        if (!converted)
            return {};
        logits = std::move(converted);
        make = global(globals, SU_STR(make_np_array));
        if (!make)
            return {};
        Ref i8 = module_attr(globals, SU_STR(np), SU_STR(int8));
        if (!i8)
            return {};
        PyObject *margv[] = {mask.get(), i8.get()};
        converted = call_kw(make.get(), margv, 1, SU_KWNAMES1(dtype));
        if (!converted)
            return {};
        mask = std::move(converted);
        Ref fn = global(globals, SU_STR(apply_mask));
        if (!fn)
            return {};
        if (own_globals(fn.get(), impl_apply_mask)) {
            int again = would_convert_again(globals, logits.get(), mask.get());
            if (again < 0)
                return {};
            if (again) {
                PyErr_Format(
                    PyExc_ValueError,
                    "mask of type %S still differs in kind from logits of type %S after the conversion",
                    reinterpret_cast<PyObject *>(Py_TYPE(mask.get())),
                    reinterpret_cast<PyObject *>(Py_TYPE(logits.get())));
                return {};
            }
        }
        PyObject *argv[] = {logits.get(), mask.get()};
        return invoke(fn.get(), impl_apply_mask, argv, 2);
    }();
    if (result)
        return result.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return nullptr;
    // raise ValueError(...) from inside the handler of the caught error, so
    // that the caught error becomes its context.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Ref caught = Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject *handled = PyErr_GetHandledException();
    PyErr_SetHandledException(caught.get());
    Ref msg = Ref::steal(PyUnicode_FromFormat("Cannot apply mask of type %S to logits of type \\\n" SU_PAD33
                                              "%S -- %S -- %S. Tried to cast both to "
                                              "\\\n" SU_PAD33 "np.ndarray and failed with error: %S",
                                              reinterpret_cast<PyObject *>(Py_TYPE(mask.get())),
                                              reinterpret_cast<PyObject *>(Py_TYPE(logits.get())), mask.get(),
                                              logits.get(), caught.get()));
    if (msg)
        PyErr_SetObject(PyExc_ValueError, msg.get());
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    return nullptr;
}

#undef SU_PAD33

} // namespace

PyObject *impl_apply_mask(PyObject *globals, PyObject *const *args) {
    PyObject *logits = args[0];
    PyObject *mask = args[1];
    RecursionGuard guard(" while applying an action mask");
    if (!guard.ok())
        return nullptr;
    {
        Ref nested = global(globals, SU_STR(NestedDict));
        if (!nested)
            return nullptr;
        int r = isinstance(mask, nested.get());
        if (r < 0)
            return nullptr;
        if (r) {
            Ref fn = global(globals, SU_STR(apply_mask));
            if (!fn)
                return nullptr;
            Ref plain = call_method(mask, SU_STR(asdict));
            if (!plain)
                return nullptr;
            PyObject *argv[] = {logits, plain.get()};
            return invoke(fn.get(), impl_apply_mask, argv, 2).release();
        }
    }
    if (Py_TYPE(mask) == Py_TYPE(logits)) {
        // Two torch tensors: the sum written natively where it is provably
        // the one the steps below give.
        Ref native;
        int r = apply_tensor_mask_native(globals, logits, mask, native);
        if (r != 0)
            return r < 0 ? nullptr : native.release();
    } else {
        int r = same_kind(globals, logits, mask);
        if (r < 0)
            return nullptr;
        if (!r)
            return convert_and_retry(globals, logits, mask);
    }
    int logits_kind = kNoArray;
    int r = is_array(globals, mask, logits, &logits_kind);
    if (r < 0)
        return nullptr;
    if (r)
        return apply_array_mask(globals, logits, mask, r, logits_kind);
    r = is_dict_like(globals, mask);
    if (r < 0)
        return nullptr;
    if (r)
        return apply_dict_mask(globals, logits, mask);
    if (PyTuple_Check(mask))
        return apply_sequence_mask(globals, logits, mask, true);
    if (PyList_Check(mask))
        return apply_sequence_mask(globals, logits, mask, false);
    return raise_unsupported_mask(mask);
}

// ---------------------------------------------------------------------------
// combine_masks
// ---------------------------------------------------------------------------

namespace {

// `mask1.keys() != mask2.keys()` for two plain dicts, without making the
// views: the comparison of two key views is a length test and then a
// membership test in `mask2` of each key of `mask1`, in order. 1, 0 or -1.
int plain_dict_keys_differ(PyObject *m1, PyObject *m2) {
    if (PyDict_GET_SIZE(m1) != PyDict_GET_SIZE(m2))
        return 1;
    int r = for_each_key(m1, [&](PyObject *key) -> int {
        int in = PyDict_Contains(m2, key);
        return in < 0 ? -1 : !in;
    });
    return r < 0 ? -1 : r;
}

// `mapping[key]`; a plain dict is read directly, and a missing key still
// raises through the subscription, with its own KeyError.
Ref item_of(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *v = PyDict_GetItemWithError(mapping, key);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            return {};
    }
    return Ref::steal(PyObject_GetItem(mapping, key));
}

// A member of a combination: combine_masks(v1, v2) through the module global,
// looked up by the caller. This module's own function carries the guard on.
Ref combine_member(PyObject *globals, PyObject *fn, PyObject *v1, PyObject *v2);

PyObject *combine(PyObject *globals, PyObject *m1, PyObject *m2) {
    RecursionGuard guard(" while combining action masks");
    if (!guard.ok())
        return nullptr;
    int r = collaborators_ready();
    if (r < 0)
        return nullptr;
    if (r) {
        Ref out;
        r = combine_fast(globals, m1, m2, out);
        if (r)
            return r < 0 ? nullptr : out.release();
    }
    r = is_instance_of(globals, m1, SU_STR(np), SU_STR(ndarray));
    if (r < 0)
        return nullptr;
    if (r) {
        // np.multiply(mask1, mask2, dtype=np.int8)
        Ref multiply = module_attr(globals, SU_STR(np), SU_STR(multiply));
        if (!multiply)
            return nullptr;
        Ref i8 = module_attr(globals, SU_STR(np), SU_STR(int8));
        if (!i8)
            return nullptr;
        PyObject *argv[] = {m1, m2, i8.get()};
        return call_kw(multiply.get(), argv, 2, SU_KWNAMES1(dtype)).release();
    }
    r = is_instance_of(globals, m1, SU_STR(torch), SU_STR(Tensor));
    if (r < 0)
        return nullptr;
    if (r) {
        Ref mul = module_attr(globals, SU_STR(torch), SU_STR(mul));
        if (!mul)
            return nullptr;
        return call(mul.get(), m1, m2).release();
    }
    if (PyDict_Check(m1)) {
        {
            int differ;
            if (PyDict_CheckExact(m1) && PyDict_CheckExact(m2)) {
                differ = plain_dict_keys_differ(m1, m2);
            } else {
                Ref k1 = call_method(m1, SU_STR(keys));
                if (!k1)
                    return nullptr;
                Ref k2 = call_method(m2, SU_STR(keys));
                if (!k2)
                    return nullptr;
                differ = truth(Ref::steal(PyObject_RichCompare(k1.get(), k2.get(), Py_NE)));
            }
            if (differ < 0)
                return nullptr;
            if (differ) {
                Ref k1 = call_method(m1, SU_STR(keys));
                if (!k1)
                    return nullptr;
                Ref k2 = call_method(m2, SU_STR(keys));
                if (!k2)
                    return nullptr;
                PyErr_Format(PyExc_ValueError, "Cannot combine masks with different keys: %S and %S",
                             k1.get(), k2.get());
                return nullptr;
            }
        }
        Ref result = Ref::steal(PyDict_New());
        if (!result)
            return nullptr;
        // `value` is mask1's value under `key` where the iteration already
        // holds it: a plain dict looks a str key up without running any
        // code, and finds the very entry being visited.
        auto member = [&](PyObject *key, PyObject *value) -> int {
            Ref fn = global(globals, SU_STR(combine_masks));
            if (!fn)
                return -1;
            Ref v1 = value && PyUnicode_CheckExact(key) ? Ref::borrow(value)
                                                        : Ref::steal(PyObject_GetItem(m1, key));
            if (!v1)
                return -1;
            Ref v2 = item_of(m2, key);
            if (!v2)
                return -1;
            Ref combined = combine_member(globals, fn.get(), v1.get(), v2.get());
            if (!combined)
                return -1;
            return PyDict_SetItem(result.get(), key, combined.get());
        };
        int rc = PyDict_CheckExact(m1)
                     ? for_each_item(m1, member)
                     : for_each_key(m1, [&](PyObject *key) { return member(key, nullptr); });
        return rc < 0 ? nullptr : result.release();
    }
    if (PyList_Check(m1) || PyTuple_Check(m1)) {
        if (same_length(m1, m2, "Cannot combine masks with different lengths: %zd and %zd") < 0)
            return nullptr;
        const Py_ssize_t n = PyObject_Length(m1);
        if (n < 0)
            return nullptr;
        Ref items = Ref::steal(PyList_New(0));
        if (!items)
            return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref fn = global(globals, SU_STR(combine_masks));
            if (!fn)
                return nullptr;
            Ref index = Ref::steal(PyLong_FromSsize_t(i));
            if (!index)
                return nullptr;
            Ref v1 = Ref::steal(PyObject_GetItem(m1, index.get()));
            if (!v1)
                return nullptr;
            Ref v2 = Ref::steal(PyObject_GetItem(m2, index.get()));
            if (!v2)
                return nullptr;
            Ref combined = combine_member(globals, fn.get(), v1.get(), v2.get());
            if (!combined || PyList_Append(items.get(), combined.get()) < 0)
                return nullptr;
        }
        return PyList_AsTuple(items.get());
    }
    return raise_unsupported_mask(m1);
}

Ref combine_member(PyObject *globals, PyObject *fn, PyObject *v1, PyObject *v2) {
    PyObject *g = own_globals(fn, impl_combine_masks);
    if (g == globals)
        return Ref::steal(combine(globals, v1, v2));
    PyObject *argv[] = {v1, v2};
    return invoke(fn, impl_combine_masks, argv, 2);
}

} // namespace

PyObject *impl_combine_masks(PyObject *globals, PyObject *const *args) {
    return combine(globals, args[0], args[1]);
}

// ---------------------------------------------------------------------------
// mask_all_zero
// ---------------------------------------------------------------------------

PyObject *impl_mask_all_zero(PyObject *globals, PyObject *const *args) {
    PyObject *mask = args[0];
    RecursionGuard guard(" while testing an action mask for zeros");
    if (!guard.ok())
        return nullptr;
    int r = collaborators_ready();
    if (r < 0)
        return nullptr;
    if (r) {
        if (PyObject *fast = all_zero_fast(globals, mask))
            return fast;
    }
    r = is_instance_of(globals, mask, SU_STR(np), SU_STR(ndarray));
    if (r < 0)
        return nullptr;
    if (r) {
        Ref any = module_attr(globals, SU_STR(np), SU_STR(any));
        if (!any)
            return nullptr;
        int t = truth(call(any.get(), mask));
        if (t < 0)
            return nullptr;
        return PyBool_FromLong(!t);
    }
    // A child that holds a nonzero entry ends the walk.
    auto child_all_zero = [&](PyObject *child) -> int {
        Ref fn = global(globals, SU_STR(mask_all_zero));
        if (!fn)
            return -1;
        int t = truth(invoke(fn.get(), impl_mask_all_zero, &child, 1));
        if (t < 0)
            return -1;
        return t ? 0 : 1;
    };
    {
        Ref nested = global(globals, SU_STR(NestedDict));
        if (!nested)
            return nullptr;
        r = PyDict_Check(mask) ? 1 : isinstance(mask, nested.get());
        if (r < 0)
            return nullptr;
    }
    if (r) {
        int rc =
            for_each_item(mask, [&](PyObject *, PyObject *value) -> int { return child_all_zero(value); });
        if (rc < 0)
            return nullptr;
        return PyBool_FromLong(rc == 0);
    }
    if (PyTuple_Check(mask) || PyList_Check(mask)) {
        int rc = for_each(mask, child_all_zero);
        if (rc < 0)
            return nullptr;
        return PyBool_FromLong(rc == 0);
    }
    r = is_instance_of(globals, mask, SU_STR(torch), SU_STR(Tensor));
    if (r < 0)
        return nullptr;
    if (r) {
        Ref any = module_attr(globals, SU_STR(torch), SU_STR(any));
        if (!any)
            return nullptr;
        int t = truth(call(any.get(), mask));
        if (t < 0)
            return nullptr;
        return PyBool_FromLong(!t);
    }
    return raise_unsupported_mask(mask);
}

// ---------------------------------------------------------------------------
// action_fits_mask
// ---------------------------------------------------------------------------

namespace {

// all(action_fits_mask(a, m, s) for a, m, s in zip(action, mask, space))
PyObject *tuple_fits(PyObject *globals, PyObject *action, PyObject *mask, PyObject *space) {
    Ref zipped = call(reinterpret_cast<PyObject *>(&PyZip_Type), action, mask, space);
    if (!zipped)
        return nullptr;
    int rc = for_each(zipped.get(), [&](PyObject *triple) -> int {
        Ref fn = global(globals, SU_STR(action_fits_mask));
        if (!fn)
            return -1;
        PyObject *argv[] = {PyTuple_GET_ITEM(triple, 0), PyTuple_GET_ITEM(triple, 1),
                            PyTuple_GET_ITEM(triple, 2)};
        int t = truth(invoke(fn.get(), impl_action_fits_mask, argv, 3));
        if (t < 0)
            return -1;
        return t ? 0 : 1;
    });
    if (rc < 0)
        return nullptr;
    return PyBool_FromLong(rc == 0);
}

// The core library's Dict iterates its keys with `yield from self.spaces`
// and gives a member with `self.spaces[key]`. While a space's class finds
// those very methods and `spaces` is a plain instance attribute, the walk
// does exactly that itself, without running the two methods' frames: it
// iterates the `spaces` it reads when the walk starts, and reads `spaces`
// again for every member, as each call of __getitem__ would.
constexpr guards::Member kDictSpaceMembers[] = {
    {"__iter__", Has::DictIter}, {"__getitem__", Has::DictGetItem}, {"spaces", Has::Nothing}};
guards::Members dict_space_members{kDictSpaceMembers};

bool dict_space_plain(PyObject *space) {
    if (collaborators_ready() <= 0)
        return false; // (an error set is passed on by the caller)
    return dict_space_members.hold(Py_TYPE(space));
}

// space[key]
Ref dict_space_item(PyObject *space, PyObject *key) {
    if (dict_space_plain(space)) {
        Ref spaces = getattr(space, SU_STR(spaces));
        return spaces ? Ref::steal(PyObject_GetItem(spaces.get(), key)) : Ref();
    }
    if (PyErr_Occurred())
        return {};
    return Ref::steal(PyObject_GetItem(space, key));
}

// iter(space)
Ref dict_space_keys(PyObject *space) {
    if (dict_space_plain(space)) {
        Ref spaces = getattr(space, SU_STR(spaces));
        return spaces ? Ref::steal(PyObject_GetIter(spaces.get())) : Ref();
    }
    if (PyErr_Occurred())
        return {};
    return Ref::steal(PyObject_GetIter(space));
}

// all(action_fits_mask(action[k], mask[k], space[k]) for k in space)
PyObject *dict_fits(PyObject *globals, PyObject *action, PyObject *mask, PyObject *space) {
    Ref keys = dict_space_keys(space);
    if (!keys)
        return nullptr;
    int rc = for_each(keys.get(), [&](PyObject *key) -> int {
        Ref fn = global(globals, SU_STR(action_fits_mask));
        if (!fn)
            return -1;
        Ref a = Ref::steal(PyObject_GetItem(action, key));
        if (!a)
            return -1;
        Ref m = Ref::steal(PyObject_GetItem(mask, key));
        if (!m)
            return -1;
        Ref s = dict_space_item(space, key);
        if (!s)
            return -1;
        PyObject *argv[] = {a.get(), m.get(), s.get()};
        int t = truth(invoke(fn.get(), impl_action_fits_mask, argv, 3));
        if (t < 0)
            return -1;
        return t ? 0 : 1;
    });
    if (rc < 0)
        return nullptr;
    return PyBool_FromLong(rc == 0);
}

// One check per element of the action: the element, the mask and the space
// at its position.
PyObject *multi_discrete_fits(PyObject *globals, PyObject *action, PyObject *mask, PyObject *space) {
    Py_ssize_t i = 0;
    int rc = for_each(action, [&](PyObject *sub_action) -> int {
        Ref fn = global(globals, SU_STR(action_fits_mask));
        if (!fn)
            return -1;
        Ref index = Ref::steal(PyLong_FromSsize_t(i++));
        if (!index)
            return -1;
        Ref m = Ref::steal(PyObject_GetItem(mask, index.get()));
        if (!m)
            return -1;
        Ref s = Ref::steal(PyObject_GetItem(space, index.get()));
        if (!s)
            return -1;
        PyObject *argv[] = {sub_action, m.get(), s.get()};
        int t = truth(invoke(fn.get(), impl_action_fits_mask, argv, 3));
        if (t < 0)
            return -1;
        return t ? 0 : 1;
    });
    if (rc < 0)
        return nullptr;
    return PyBool_FromLong(rc == 0);
}

// action_mask[int(action)] == 1. A negative action is no choice of the
// space at all, so no mask allows it: it gets False, where indexing would
// wrap around to a choice counted from the end.
PyObject *discrete_fits(PyObject *action, PyObject *mask) {
    int ready = collaborators_ready();
    if (ready < 0)
        return nullptr;
    if (PyObject *fast = discrete_fits_fast(action, mask, ready > 0))
        return fast;
    if (PyErr_Occurred())
        return nullptr;
    Ref index = Ref::steal(PyNumber_Long(action));
    if (!index)
        return nullptr;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (overflow < 0 || (overflow == 0 && value < 0))
        return Py_NewRef(Py_False);
    Ref entry = Ref::steal(PyObject_GetItem(mask, index.get()));
    if (!entry)
        return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one)
        return nullptr;
    return PyObject_RichCompare(entry.get(), one.get(), Py_EQ);
}

// The space classes the walk tests against, in the order it tests them.
enum SpaceKind { kBox, kMultiBinary, kMultiDiscrete, kDiscrete, kTuple, kDict, kSpaceKinds };

PyObject *space_kind_name(SpaceKind kind) {
    switch (kind) {
    case kBox:
        return SU_STR(Box);
    case kMultiBinary:
        return SU_STR(MultiBinary);
    case kMultiDiscrete:
        return SU_STR(MultiDiscrete);
    case kDiscrete:
        return SU_STR(Discrete);
    case kTuple:
        return SU_STR(Tuple);
    default:
        return SU_STR(Dict);
    }
}

// `kestrelix_spaces.<class>` as the module's namespace and the spaces
// module's namespace held them when last read. While neither namespace has
// changed since, each lookup would find the same objects (the namespaces
// still hold them).
struct SpaceClasses {
    PyObject *globals = nullptr;
    guards::Snapshot read;
    PyObject *cls[kSpaceKinds] = {};
};
SpaceClasses space_classes;

// kestrelix_spaces.<class>, looked up now (borrowed while the namespaces
// stay as they are, or held in `hold`).
PyObject *space_class(PyObject *globals, SpaceKind kind, Ref &hold) {
    SpaceClasses &known = space_classes;
    if (known.globals == globals && known.read.unchanged())
        return known.cls[kind];
    Ref module = global(globals, SU_STR(kestrelix_spaces));
    if (!module)
        return nullptr;
    if (PyModule_CheckExact(module.get())) {
        // Note every class at once, where the module has them all.
        PyObject *ns = PyModule_GetDict(module.get());
        PyObject *found[kSpaceKinds] = {};
        bool all = true;
        for (int k = 0; all && k < kSpaceKinds; ++k) {
            PyObject *name = space_kind_name(static_cast<SpaceKind>(k));
            found[k] = name ? PyDict_GetItemWithError(ns, name) : nullptr;
            all = found[k] != nullptr;
        }
        PyErr_Clear();
        if (all) {
            known.read.forget();
            std::copy(found, found + kSpaceKinds, known.cls);
            known.globals = globals;
            hold = Ref::borrow(found[kind]); // (taking may release the dicts taken before)
            known.read.take({globals, ns});
            return hold.get();
        }
    }
    hold = attr_of_module_object(module.get(), space_kind_name(kind));
    return hold.get();
}

// Whether generic attribute access finds object's own __class__ for
// instances of `tp`: asked for its __class__, such an instance gives its
// class.
bool class_attribute_plain(PyTypeObject *tp) {
    static PyObject *object_class = nullptr; // object.__class__
    if (SU_UNLIKELY(!object_class)) {
        PyObject *name = SU_STR(__class__);
        // (from 3.12 on a builtin type keeps no tp_dict of its own)
        object_class = name ? internals::type_lookup(&PyBaseObject_Type, name) : nullptr;
        if (!object_class) {
            PyErr_Clear();
            return false;
        }
        Py_INCREF(object_class);
    }
    return tp->tp_getattro == PyObject_GenericGetAttr &&
           internals::type_lookup(tp, SU_STR(__class__)) == object_class;
}

// isinstance(space, kestrelix_spaces.<class>), both looked up now. For a
// class whose metaclass is `type` (no __instancecheck__ of its own) and a
// space whose class finds object's own __class__, isinstance() answers with
// the class relation alone, having asked the space for a __class__ that can
// only be its class: the answer is then taken from the relation directly.
// `plain` caches class_attribute_plain() of the space's class between the
// tests of one call (-1: not known); a test that runs Python code forgets it.
int space_is(PyObject *globals, PyObject *space, SpaceKind kind, int &plain) {
    Ref hold;
    PyObject *cls = space_class(globals, kind, hold);
    if (!cls)
        return -1;
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        if (plain < 0)
            plain = class_attribute_plain(Py_TYPE(space));
        if (plain)
            return PyType_IsSubtype(Py_TYPE(space), reinterpret_cast<PyTypeObject *>(cls));
    }
    plain = -1;
    Ref held = Ref::borrow(cls); // (isinstance may run code that changes the namespaces)
    return isinstance(space, held.get());
}

} // namespace

PyObject *impl_action_fits_mask(PyObject *globals, PyObject *const *args) {
    PyObject *action = args[0];
    PyObject *mask = args[1];
    PyObject *space = args[2];
    RecursionGuard guard(" while testing an action against its mask");
    if (!guard.ok())
        return nullptr;
    int plain = -1;
    int r = space_is(globals, space, kBox, plain);
    if (r)
        return r < 0 ? nullptr : Py_NewRef(Py_True);
    r = space_is(globals, space, kMultiBinary, plain);
    if (r)
        return r < 0 ? nullptr : Py_NewRef(Py_True);
    r = space_is(globals, space, kMultiDiscrete, plain);
    if (r)
        return r < 0 ? nullptr : multi_discrete_fits(globals, action, mask, space);
    r = space_is(globals, space, kDiscrete, plain);
    if (r)
        return r < 0 ? nullptr : discrete_fits(action, mask);
    r = space_is(globals, space, kTuple, plain);
    if (r)
        return r < 0 ? nullptr : tuple_fits(globals, action, mask, space);
    r = space_is(globals, space, kDict, plain);
    if (r)
        return r < 0 ? nullptr : dict_fits(globals, action, mask, space);
    PyErr_Format(PyExc_NotImplementedError, "Space of type '%S' is not supported",
                 reinterpret_cast<PyObject *>(Py_TYPE(space)));
    return nullptr;
}

} // namespace su
