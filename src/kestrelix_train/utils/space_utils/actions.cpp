// Actions and logits: unsquashing, logit unpacking and the selector mask.
//
// Python code may run at any allocation (a collection runs finalizers), any
// call into numpy, torch or the core library (torch may let other threads
// run), attribute look-up, comparison, hash, isinstance() through an ABC and
// iteration of anything but an exact list, tuple or dict; it may change any
// input. After such a point the code here relies only on what it holds a
// strong reference to and has checked again: an array's size, shape, dtype
// and data are read after the last such point before its data is touched.
#include "collaborators.h"
#include "function.h"
#include "guards.h"
#include "impls.h"
#include "platform.h"
#include "walk.h"

#include <numpy/arrayscalars.h>

#include <cfenv>
#include <cstring>
#include <vector>
#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#endif

namespace su {

namespace {

using guards::Has;
using guards::In;
using guards::Is;

// The collaborators' own objects for a fast path (see collaborators.h):
// nullptr where only the general path may run, with an error set only where
// one must be passed on.
const Collaborators *fast_collaborators() {
    return collaborators_ready() > 0 ? &collaborators() : nullptr;
}

// kestrelix_spaces.<cls>
inline Ref space_class(PyObject *globals, PyObject *cls) {
    return global_attr(globals, SU_STR(kestrelix_spaces), cls);
}

// isinstance(obj, kestrelix_spaces.<cls>): 1, 0 or -1 with an error set.
inline int is_space(PyObject *globals, PyObject *obj, PyObject *cls) {
    Ref c = space_class(globals, cls);
    if (!c)
        return -1;
    return isinstance(obj, c.get());
}

PyObject *float_const(double v, PyObject *&slot) {
    if (SU_UNLIKELY(!slot))
        keep_once(slot, PyFloat_FromDouble(v));
    return slot;
}

PyObject *one_float() {
    static PyObject *v = nullptr;
    return float_const(1.0, v);
}

PyObject *two_float() {
    static PyObject *v = nullptr;
    return float_const(2.0, v);
}

// ---------------------------------------------------------------------------
// The leaf function `map_(a, s)` that unsquash_action hands to
// tree.map_structure: a new function object for every call, as a nested
// `def` would make, in the module's namespace, so every name it uses is
// still looked up when it runs.
// ---------------------------------------------------------------------------

// ---- the rescale and clip of float arrays, natively ------------------------
//
// For exact numpy arrays of one shape (`a`, `s.low`, `s.high`), each float32
// or float64, the rescale and the clip are computed here, element by
// element, as numpy computes them:
//
//   * each operation runs in the dtype numpy's promotion gives it: `a + 1.0`
//     in a's dtype (a Python float does not widen an array), `high - low` in
//     the wider of the two bounds' dtypes, the product, the halving, the
//     addition of `low` and the clip in the widest of all three;
//   * the clip is numpy's: max(x, low) then min(., high), each keeping the
//     first operand unless the comparison picks the other, which decides the
//     sign of a zero result.
//
// numpy reports a floating-point exception of an operation (overflow, an
// invalid operation, division by zero, underflow) as its error state says.
// The same operations on the same values raise the same exception flags, so
// the native result is used only when none was raised and no input holds a
// NaN; otherwise the general path runs and numpy reports what it reports.

// The wider of two float types.
template <class X, class Y> using Wider = decltype(X() + Y());

// The arithmetic from here to the flags' reading runs with the floating-point
// environment accessed (platform.h).
SU_FENV_ACCESS_ON

// false where the general path must run (a NaN met).
template <class A, class L, class H>
SU_NOINLINE bool rescale_clip_into(char *out, npy_intp n, const char *pa, npy_intp sa, const char *pl,
                                   npy_intp sl, const char *ph, npy_intp sh) {
    using Span = Wider<L, H>;
    using D = Wider<A, Span>;
    D *o = reinterpret_cast<D *>(out);
    for (npy_intp i = 0; i < n; ++i, pa += sa, pl += sl, ph += sh) {
        const A x = load<A>(pa);
        const L lo = load<L>(pl);
        const H hi = load<H>(ph);
        if (x != x || lo != lo || hi != hi)
            return false;
        const A shifted = x + A(1);
        const Span span = Span(hi) - Span(lo);
        const D product = D(shifted) * D(span);
        const D half = product / D(2);
        const D scaled = D(lo) + half;
        // A zero that meets a zero bound: which of the two the clip keeps
        // (and so the sign of the result) depends on numpy's loop for the
        // layout at hand, so numpy decides.
        const D above = scaled > D(lo) ? scaled : D(lo);
        if ((scaled == D(0) && D(lo) == D(0)) || (above == D(0) && D(hi) == D(0)))
            return false;
        o[i] = above < D(hi) ? above : D(hi);
    }
    return true;
}

using RescaleKernel = bool (*)(char *, npy_intp, const char *, npy_intp, const char *, npy_intp, const char *,
                               npy_intp);

// The kernel for three float dtypes (float32 or float64 each).
RescaleKernel rescale_kernel(bool a64, bool l64, bool h64) {
    static const RescaleKernel kernels[8] = {
        rescale_clip_into<float, float, float>,   rescale_clip_into<float, float, double>,
        rescale_clip_into<float, double, float>,  rescale_clip_into<float, double, double>,
        rescale_clip_into<double, float, float>,  rescale_clip_into<double, float, double>,
        rescale_clip_into<double, double, float>, rescale_clip_into<double, double, double>,
    };
    return kernels[a64 * 4 + l64 * 2 + h64];
}

// numpy's own float32 (0) or float64 (1) descriptor; numpy keeps its
// builtin descriptors for good. Only once numpy's C API is loaded.
PyArray_Descr *builtin_float_descr(int f64) {
    static PyArray_Descr *const builtin[2] = {PyArray_DescrFromType(NPY_FLOAT),
                                              PyArray_DescrFromType(NPY_DOUBLE)};
    return builtin[f64];
}

// numpy's own float32 or float64 dtype of an exact array, or nullptr.
PyArray_Descr *float_descr(PyObject *x) {
    if (!PyArray_CheckExact(x))
        return nullptr;
    PyArray_Descr *d = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(x));
    return d == builtin_float_descr(0) || d == builtin_float_descr(1) ? d : nullptr;
}

// The floating-point exception flags (invalid operation, division by zero,
// overflow, underflow) that the operations run while it lives raise. The
// flags raised before are kept and given back at the end.
class FpExceptions {
  public:
#if defined(__x86_64__) && defined(__SSE2__)
    // The arithmetic is SSE's: its flags live in MXCSR, read and cleared
    // directly (the C library's functions also save and load the x87 state).
    FpExceptions() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(saved_ & ~kAllFlags); }
    ~FpExceptions() { _mm_setcsr(saved_); }
    bool raised() const noexcept { return (_mm_getcsr() & kErrorFlags) != 0; }

  private:
    static constexpr unsigned kAllFlags = 0x3f;   // IE DE ZE OE UE PE
    static constexpr unsigned kErrorFlags = 0x1d; // IE ZE OE UE
    unsigned saved_;
#else
    FpExceptions() noexcept {
        std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~FpExceptions() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    bool raised() const noexcept {
        return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0;
    }

  private:
    std::fexcept_t saved_;
#endif
    FpExceptions(const FpExceptions &) = delete;
    FpExceptions &operator=(const FpExceptions &) = delete;
};

// The native rescale and clip stand in for the arithmetic on the Box's own
// `low` and `high` and for np.clip, with numpy's own objects behind `np`,
// `np.clip` and what np.clip calls.
constexpr guards::Name kRescaleNames[] = {
    {In::Module, "np", Is::Numpy}, {In::Numpy, "clip", Is::Clip}, {In::NumpyCode, "clip", Is::CodeReads}};
guards::Names rescale_names{kRescaleNames};

constexpr guards::Member kBoxBoundsMembers[] = {{"low", Has::Nothing}, {"high", Has::Nothing}};
guards::Members box_bounds_members{kBoxBoundsMembers};

// The kernel for an action and bounds the native path takes, with the dtype
// of the result; nullptr where the general path must run.
RescaleKernel rescale_plan(PyObject *a, PyObject *low, PyObject *high, int &out_type) {
    PyArray_Descr *da = float_descr(a), *dl = float_descr(low), *dh = float_descr(high);
    if (!da || !dl || !dh)
        return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    auto *alo = reinterpret_cast<PyArrayObject *>(low);
    auto *ahi = reinterpret_cast<PyArrayObject *>(high);
    const int nd = PyArray_NDIM(arr);
    // One shape; beyond one dimension, C order throughout (numpy's result
    // then has C order as well).
    if (nd < 1 || PyArray_NDIM(alo) != nd || PyArray_NDIM(ahi) != nd ||
        !PyArray_CompareLists(PyArray_DIMS(arr), PyArray_DIMS(alo), nd) ||
        !PyArray_CompareLists(PyArray_DIMS(arr), PyArray_DIMS(ahi), nd))
        return nullptr;
    if (nd > 1 &&
        !(PyArray_IS_C_CONTIGUOUS(arr) && PyArray_IS_C_CONTIGUOUS(alo) && PyArray_IS_C_CONTIGUOUS(ahi)))
        return nullptr;
    const bool a64 = da->type_num == NPY_DOUBLE, l64 = dl->type_num == NPY_DOUBLE,
               h64 = dh->type_num == NPY_DOUBLE;
    out_type = a64 || l64 || h64 ? NPY_DOUBLE : NPY_FLOAT;
    return rescale_kernel(a64, l64, h64);
}

// The step between elements of an array the native path takes: its one
// stride, or the item size of C order.
npy_intp flat_step(PyObject *x) {
    auto *arr = reinterpret_cast<PyArrayObject *>(x);
    return PyArray_NDIM(arr) == 1 ? PyArray_STRIDE(arr, 0) : PyArray_ITEMSIZE(arr);
}

// The native rescale and clip; an empty Ref with no error set where the
// general path must run (nullptr with an error only for a failed
// allocation).
Ref rescale_and_clip_fast(PyObject *globals, PyObject *a, PyObject *s) {
    const Collaborators *c = fast_collaborators();
    if (!c || !float_descr(a) || !box_bounds_members.hold(Py_TYPE(s)) || !rescale_names.hold(globals) ||
        !guards::numpy_ops_plain())
        return {};
    // Plain instance attributes: every read gives these same objects.
    Ref low = getattr(s, SU_STR(low));
    Ref high = low ? getattr(s, SU_STR(high)) : Ref();
    if (!high) {
        PyErr_Clear();
        return {};
    }
    int out_type = 0;
    if (!rescale_plan(a, low.get(), high.get(), out_type))
        return {};
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    Ref out =
        Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(out_type), PyArray_NDIM(arr),
                                        PyArray_DIMS(arr), nullptr, nullptr, 0, nullptr));
    if (!out)
        return {};
    // The allocation may have run Python code: the inputs are checked again
    // and read only now.
    int again = 0;
    RescaleKernel kernel = rescale_plan(a, low.get(), high.get(), again);
    auto *res = reinterpret_cast<PyArrayObject *>(out.get());
    if (!kernel || again != out_type || PyArray_NDIM(arr) != PyArray_NDIM(res) ||
        !PyArray_CompareLists(PyArray_DIMS(arr), PyArray_DIMS(res), PyArray_NDIM(res)))
        return {};
    FpExceptions fp;
    const bool done =
        kernel(PyArray_BYTES(res), PyArray_SIZE(res), PyArray_BYTES(arr), flat_step(a),
               PyArray_BYTES(reinterpret_cast<PyArrayObject *>(low.get())), flat_step(low.get()),
               PyArray_BYTES(reinterpret_cast<PyArrayObject *>(high.get())), flat_step(high.get()));
    if (!done || fp.raised())
        return {};
    return out;
}

SU_FENV_ACCESS_OFF

// s.low + (a + 1.0) * (s.high - s.low) / 2.0, evaluated left to right as
// that expression is, then np.clip(a, s.low, s.high).
Ref rescale_and_clip(PyObject *globals, PyObject *a, PyObject *s) {
    if (Ref fast = rescale_and_clip_fast(globals, a, s))
        return fast;
    if (PyErr_Occurred())
        return {};
    Ref low = getattr(s, SU_STR(low));
    if (!low)
        return {};
    PyObject *one = one_float();
    if (!one)
        return {};
    Ref shifted = Ref::steal(PyNumber_Add(a, one));
    if (!shifted)
        return {};
    Ref high = getattr(s, SU_STR(high));
    if (!high)
        return {};
    Ref low2 = getattr(s, SU_STR(low));
    if (!low2)
        return {};
    Ref span = Ref::steal(PyNumber_Subtract(high.get(), low2.get()));
    if (!span)
        return {};
    Ref product = Ref::steal(PyNumber_Multiply(shifted.get(), span.get()));
    if (!product)
        return {};
    PyObject *two = two_float();
    if (!two)
        return {};
    Ref half = Ref::steal(PyNumber_TrueDivide(product.get(), two));
    if (!half)
        return {};
    Ref scaled = Ref::steal(PyNumber_Add(low.get(), half.get()));
    if (!scaled)
        return {};

    Ref clip = global_attr(globals, SU_STR(np), SU_STR(clip));
    if (!clip)
        return {};
    Ref clip_low = getattr(s, SU_STR(low));
    if (!clip_low)
        return {};
    Ref clip_high = getattr(s, SU_STR(high));
    if (!clip_high)
        return {};
    return call(clip.get(), scaled.get(), clip_low.get(), clip_high.get());
}

// `dtype == target` where numpy's answer is known: the dtype is numpy's own
// float32 or float64 descriptor (of a class that cannot be changed) and the
// target numpy's float32 or float64 scalar type. numpy compares a dtype with
// a scalar type by the type's own descriptor, so the answer is whether the
// two are the same. -1 where numpy must be asked.
int known_float_dtype_is(PyObject *dtype, PyObject *target) {
    if (!fast_collaborators())
        return -1; // (an error set is passed on by the caller)
    PyObject *const f32 = reinterpret_cast<PyObject *>(builtin_float_descr(0));
    PyObject *const f64 = reinterpret_cast<PyObject *>(builtin_float_descr(1));
    PyObject *const f32_type = reinterpret_cast<PyObject *>(&PyFloatArrType_Type);
    PyObject *const f64_type = reinterpret_cast<PyObject *>(&PyDoubleArrType_Type);
    if ((dtype != f32 && dtype != f64) || (target != f32_type && target != f64_type) ||
        Py_TYPE(dtype)->tp_richcompare != PyArrayDescr_Type.tp_richcompare)
        return -1;
    return dtype == (target == f64_type ? f64 : f32);
}

// What the leaf function reads by name on its way to the rescale: while
// these lead to the core library's Box and numpy's float32 and float64, the
// look-ups are left out and the recorded objects used. Checked again before
// each use, since the isinstance() test and the read of `s.dtype` may run
// Python code.
constexpr guards::Name kLeafNames[] = {{In::Module, "kestrelix_spaces", Is::SpacesModule},
                                       {In::Spaces, "Box", Is::BoxSpace},
                                       {In::Module, "np", Is::Numpy},
                                       {In::Numpy, "float32", Is::Float32},
                                       {In::Numpy, "float64", Is::Float64}};
guards::Names leaf_names{kLeafNames};

// Whether the leaf function's names hold (no error set either way).
bool leaf_names_hold(PyObject *globals) {
    return fast_collaborators() && leaf_names.hold(globals);
}

// np.float32 or np.float64: the recorded object (borrowed) where the names
// hold, else looked up.
Ref numpy_float(PyObject *globals, bool f64) {
    if (leaf_names_hold(globals))
        return Ref::borrow(reinterpret_cast<PyObject *>(f64 ? &PyDoubleArrType_Type : &PyFloatArrType_Type));
    if (PyErr_Occurred())
        return {};
    return global_attr(globals, SU_STR(np), f64 ? SU_STR(float64) : SU_STR(float32));
}

// s.dtype == np.float32 (or np.float64), reading s.dtype afresh as the
// expression does.
int dtype_is(PyObject *globals, PyObject *s, bool f64) {
    Ref dtype = getattr(s, SU_STR(dtype));
    if (!dtype)
        return -1;
    Ref target = numpy_float(globals, f64);
    if (!target)
        return -1;
    const int known = known_float_dtype_is(dtype.get(), target.get());
    if (known >= 0 || PyErr_Occurred())
        return known;
    return truth(Ref::steal(PyObject_RichCompare(dtype.get(), target.get(), Py_EQ)));
}

// isinstance(s, kestrelix_spaces.Box)
int is_box_space(PyObject *globals, PyObject *s) {
    if (leaf_names_hold(globals))
        return isinstance(s, reinterpret_cast<PyObject *>(collaborators().box_space));
    if (PyErr_Occurred())
        return -1;
    return is_space(globals, s, SU_STR(Box));
}

PyObject *unsquash_leaf(PyObject *a, PyObject *s, PyObject *globals) {
    int is_box = is_box_space(globals, s);
    if (is_box <= 0)
        return is_box < 0 ? nullptr : Py_NewRef(a);

    int is_float = dtype_is(globals, s, false);
    if (is_float == 0)
        is_float = dtype_is(globals, s, true);
    if (is_float < 0)
        return nullptr;
    if (is_float)
        return rescale_and_clip(globals, a, s).release();

    // np.issubdtype(s.dtype, np.integer): integer boxes are shifted by low.
    Ref issubdtype = global_attr(globals, SU_STR(np), SU_STR(issubdtype));
    if (!issubdtype)
        return nullptr;
    Ref dtype = getattr(s, SU_STR(dtype));
    if (!dtype)
        return nullptr;
    Ref integer = global_attr(globals, SU_STR(np), SU_STR(integer));
    if (!integer)
        return nullptr;
    int is_int = truth(call(issubdtype.get(), dtype.get(), integer.get()));
    if (is_int < 0)
        return nullptr;
    if (!is_int)
        return Py_NewRef(a);
    Ref low = getattr(s, SU_STR(low));
    if (!low)
        return nullptr;
    return PyNumber_Add(low.get(), a);
}

PyObject *map_leaf(PyObject *globals, PyObject *const *args) {
    return unsquash_leaf(args[0], args[1], globals);
}

LocalFunction map_function = {
    {"map_", 2, {"a", "s"}, false, map_leaf, nullptr, {nullptr}, {{-1, nullptr}}},
    "unsquash_action.<locals>.map_",
};

// ---------------------------------------------------------------------------
// Selector mask helpers
// ---------------------------------------------------------------------------

// len(list(skill.get_children_names()))
Py_ssize_t children_count(PyObject *skill) {
    Ref names = call_method(skill, SU_STR(get_children_names));
    if (!names)
        return -1;
    Ref lst = Ref::steal(PySequence_List(names.get()));
    if (!lst)
        return -1;
    return PyList_GET_SIZE(lst.get());
}

// [value] * n, with value a small int.
Ref repeated(long value, Py_ssize_t n) {
    Ref item = Ref::steal(PyLong_FromLong(value));
    if (!item)
        return {};
    Ref lst = Ref::steal(PyList_New(n));
    if (!lst)
        return {};
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(lst.get(), i, Py_NewRef(item.get()));
    return lst;
}

// ---------------------------------------------------------------------------
// numpy fast path for the selector mask.
//
// The general path ends in np.array(selector_mask, dtype=np.int8), where
// selector_mask is a list that only this function has touched and that
// holds nothing but the ints 0 and 1. When `np` is numpy itself and the
// `array` and `int8` it yields are numpy's own, that call gives a new,
// owning, aligned, writeable, C-contiguous one-dimensional int8 array of the
// list's length holding the same 0s and 1s; the array is then made here
// directly. Anything else (a rebound `np`, a replaced `np.array` or
// `np.int8`) goes through the call as written.
// ---------------------------------------------------------------------------

// The int8 array of a list of the ints 0 and 1, made as numpy's array()
// makes it. The skill's callbacks could reach the list, so it is read only
// after the last point where Python code may run (the allocation), item by
// item: 1 made, 0 when it holds anything else or changed length (numpy's own
// call then gives its result or its error), -1 with an error set.
int int8_array_of_bits(PyObject *bits, Ref &out) {
    npy_intp n = PyList_GET_SIZE(bits);
    Ref arr = Ref::steal(PyArray_SimpleNew(1, &n, NPY_INT8));
    if (!arr)
        return -1;
    if (PyList_GET_SIZE(bits) != n)
        return 0;
    auto *data = static_cast<npy_int8 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr.get())));
    for (npy_intp i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(bits, i);
        if (!PyLong_CheckExact(item))
            return 0;
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(item, &overflow);
        if (overflow || (v != 0 && v != 1))
            return 0;
        data[i] = static_cast<npy_int8>(v);
    }
    out = std::move(arr);
    return 1;
}

// np.array(selector_mask, dtype=np.int8)
Ref selector_mask_array(PyObject *globals, PyObject *selector_mask) {
    Ref np = global(globals, SU_STR(np));
    if (!np)
        return {};
    Ref array = getattr(np.get(), SU_STR(array));
    if (!array)
        return {};
    Ref np_again = global(globals, SU_STR(np));
    if (!np_again)
        return {};
    Ref int8 = getattr(np_again.get(), SU_STR(int8));
    if (!int8)
        return {};
    const int ready = collaborators_ready();
    if (ready < 0)
        return {};
    if (ready) {
        if (guards::same(Is::Numpy, np.get()) && guards::same(Is::Numpy, np_again.get()) &&
            guards::same(Is::Array, array.get()) && guards::same(Is::Int8, int8.get())) {
            Ref out;
            const int made = int8_array_of_bits(selector_mask, out);
            if (made != 0)
                return out;
        }
    }
    PyObject *argv[] = {selector_mask, int8.get()};
    return call_kw(array.get(), argv, 1, SU_KWNAMES1(dtype));
}

// ---------------------------------------------------------------------------
// The selector's own methods, read natively.
//
// SkillSelector's methods return its attributes: `is_fixed_order()` and
// `is_repeat()` the flags, `get_children_names()` a new list of the names,
// made by calling the name `list` of the core library's module. The whole
// mask is computed from those attributes (each read where the general path
// would call its method) only where all of this holds:
//   * the selector's class finds those very methods, uses generic attribute
//     access, and defines none of the attribute names (they come from the
//     instance), and the instance does not shadow the methods;
//   * `list` in the methods' module (or its builtins) is the built-in list;
//   * the flags are exact bools and the names an exact list.
// No Python code would then run on the way, so each method would give the
// same answer every time it is called, and the list handed to np.array would
// hold 0s and 1s only. Anything else runs the general path.
// ---------------------------------------------------------------------------

struct SelectorAnswer {
    bool fixed = false;
    Py_ssize_t n = 0;
    Py_ssize_t ones[2] = {-1, -1}; // the allowed indices (-1: none)
};

constexpr guards::Member kSelectorMembers[] = {{"is_fixed_order", Has::SelectorFixedOrder},
                                               {"get_children_names", Has::SelectorChildren},
                                               {"is_repeat", Has::SelectorRepeat},
                                               {"fixed_order", Has::Nothing},
                                               {"children_names", Has::Nothing},
                                               {"repeat", Has::Nothing}};
guards::Members selector_members{kSelectorMembers};

// get_children_names() makes its list with the global name `list`.
constexpr guards::Name kSelectorNames[] = {{In::SelectorCode, "list", Is::List}};
guards::Names selector_names{kSelectorNames};

bool selector_class_plain(PyObject *globals, PyTypeObject *tp) {
    return selector_members.hold(tp) && selector_names.hold(globals);
}

// An exact bool as 1 or 0, else -1.
int exact_bool(PyObject *v) {
    return v == Py_True ? 1 : v == Py_False ? 0 : -1;
}

// The mask's answer from the selector's attributes; false where the general
// path must run (with an error set only where one must be passed on).
// The answer of `skill.<method>()` where that call runs the class's own
// method `own`, which returns the plain instance attribute `attr`: the
// attribute (new reference), read as the method reads it. Empty, with no
// error set, where the instance shadows the method or lacks the attribute.
// Finding the method (as the interpreter finds one to call) and reading the
// attribute run no Python code, and neither turns the instance's attributes
// into a dict.
Ref own_method_answer(PyObject *skill, PyObject *method, PyObject *own, PyObject *attr) {
    PyObject *found = nullptr;
    const bool is_own = method && internals::get_method(skill, method, &found) == 1 && found == own;
    Py_XDECREF(found);
    Ref value = is_own ? getattr(skill, attr) : Ref();
    if (!value)
        PyErr_Clear();
    return value;
}

bool selector_fast(PyObject *globals, PyObject *previous_action, PyObject *skill, SelectorAnswer &ans) {
    const Collaborators *c = fast_collaborators();
    if (!c || !selector_class_plain(globals, Py_TYPE(skill)))
        return false;
    Ref fixed_order =
        own_method_answer(skill, SU_STR(is_fixed_order), c->selector_is_fixed_order, SU_STR(fixed_order));
    Ref names = fixed_order ? own_method_answer(skill, SU_STR(get_children_names), c->selector_children,
                                                SU_STR(children_names))
                            : Ref();
    const int fixed = exact_bool(fixed_order.get());
    if (fixed < 0 || !names || !PyList_CheckExact(names.get()))
        return false;
    ans.fixed = fixed;
    ans.n = PyList_GET_SIZE(names.get());
    if (!fixed)
        return true;
    const Py_ssize_t n = ans.n;
    if (previous_action == Py_None) {
        ans.ones[0] = 0;
        return n > 0; // no children: the list's IndexError
    }
    if (!PyLong_CheckExact(previous_action))
        return false;
    int overflow = 0;
    const long long p = PyLong_AsLongLongAndOverflow(previous_action, &overflow);
    if (overflow || p < -n || p >= n) // out of range: the list's IndexError
        return false;
    ans.ones[0] = static_cast<Py_ssize_t>(p < 0 ? p + n : p);
    // (p + 1) % n with Python's sign rule (n > 0 here)
    const Py_ssize_t next = static_cast<Py_ssize_t>(((p + 1) % n + n) % n);
    if (next == 0) {
        const int repeats = exact_bool(
            own_method_answer(skill, SU_STR(is_repeat), c->selector_is_repeat, SU_STR(repeat)).get());
        if (repeats < 0)
            return false;
        if (repeats)
            ans.ones[1] = 0;
    } else {
        ans.ones[1] = next;
    }
    return true;
}

// The selector mask of a fast answer: np.array(selector_mask, dtype=np.int8)
// made directly while `np` is numpy and `array` and `int8` its own, else the
// list itself goes through that call.
constexpr guards::Name kSelectorArrayNames[] = {
    {In::Module, "np", Is::Numpy}, {In::Numpy, "array", Is::Array}, {In::Numpy, "int8", Is::Int8}};
guards::Names selector_array_names{kSelectorArrayNames};

Ref selector_answer_array(PyObject *globals, const SelectorAnswer &ans) {
    if (fast_collaborators() && selector_array_names.hold(globals)) {
        npy_intp n = ans.n;
        Ref arr = Ref::steal(PyArray_ZEROS(1, &n, NPY_INT8, 0));
        if (!arr)
            return {};
        auto *data = static_cast<npy_int8 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr.get())));
        for (Py_ssize_t i : ans.ones)
            if (i >= 0)
                data[i] = 1;
        return arr;
    }
    Ref mask = repeated(0, ans.n);
    if (!mask)
        return {};
    for (Py_ssize_t i : ans.ones)
        if (i >= 0 && PyList_SetItem(mask.get(), i, PyLong_FromLong(1)) < 0)
            return {};
    return selector_mask_array(globals, mask.get());
}

} // namespace

// ===========================================================================
// compute_selector_action_mask
// ===========================================================================

PyObject *impl_compute_selector_action_mask(PyObject *globals, PyObject *const *args) {
    PyObject *previous_action = args[0];
    PyObject *skill = args[1];

    SelectorAnswer fast;
    if (selector_fast(globals, previous_action, skill, fast))
        return (fast.fixed ? selector_answer_array(globals, fast) : repeated(1, fast.n)).release();
    if (PyErr_Occurred())
        return nullptr;

    int fixed = truth(call_method(skill, SU_STR(is_fixed_order)));
    if (fixed < 0)
        return nullptr;
    if (!fixed) {
        // Every child is allowed; the caller gets a plain list.
        Py_ssize_t n = children_count(skill);
        if (n < 0)
            return nullptr;
        return repeated(1, n).release();
    }

    Py_ssize_t n = children_count(skill);
    if (n < 0)
        return nullptr;
    Ref selector_mask = repeated(0, n);
    if (!selector_mask)
        return nullptr;

    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one)
        return nullptr;

    if (previous_action == Py_None) {
        // Nothing has run yet: only the first child may start.
        n = children_count(skill);
        if (n < 0)
            return nullptr;
        selector_mask = repeated(0, n);
        if (!selector_mask)
            return nullptr;
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero || PyObject_SetItem(selector_mask.get(), zero.get(), one.get()) < 0)
            return nullptr;
    } else {
        // The child that ran last stays allowed, and its successor joins it;
        // after the last child the first one only comes back when repeating.
        if (PyObject_SetItem(selector_mask.get(), previous_action, one.get()) < 0)
            return nullptr;
        fixed = truth(call_method(skill, SU_STR(is_fixed_order)));
        if (fixed < 0)
            return nullptr;
        if (fixed) {
            Ref next = Ref::steal(PyNumber_Add(previous_action, one.get()));
            if (!next)
                return nullptr;
            n = children_count(skill);
            if (n < 0)
                return nullptr;
            Ref count = Ref::steal(PyLong_FromSsize_t(n));
            if (!count)
                return nullptr;
            Ref next_index = Ref::steal(PyNumber_Remainder(next.get(), count.get()));
            if (!next_index)
                return nullptr;
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero)
                return nullptr;
            int wraps = truth(Ref::steal(PyObject_RichCompare(next_index.get(), zero.get(), Py_EQ)));
            if (wraps < 0)
                return nullptr;
            int allow = 1;
            if (wraps) {
                allow = truth(call_method(skill, SU_STR(is_repeat)));
                if (allow < 0)
                    return nullptr;
            }
            if (allow && PyObject_SetItem(selector_mask.get(), next_index.get(), one.get()) < 0)
                return nullptr;
        }
    }
    return selector_mask_array(globals, selector_mask.get()).release();
}

// ===========================================================================
// unsquash_action, unsquash_action_batch
// ===========================================================================

PyObject *impl_unsquash_action(PyObject *globals, PyObject *const *args) {
    PyObject *action = args[0];
    PyObject *space = args[1];
    RecursionGuard guard(" while unsquashing an action");
    if (!guard.ok())
        return nullptr;

    int is_tuple = is_space(globals, space, SU_STR(Tuple));
    if (is_tuple < 0)
        return nullptr;
    if (is_tuple) {
        // tuple(unsquash_action(a, s) for a, s in zip(action, space))
        Ref actions = Ref::steal(PyObject_GetIter(action));
        if (!actions)
            return nullptr;
        Ref spaces = Ref::steal(PyObject_GetIter(space));
        if (!spaces)
            return nullptr;
        Ref parts = Ref::steal(PyList_New(0));
        if (!parts)
            return nullptr;
        for (;;) {
            Ref a = Ref::steal(PyIter_Next(actions.get()));
            if (!a) {
                if (PyErr_Occurred())
                    return nullptr;
                break;
            }
            Ref s = Ref::steal(PyIter_Next(spaces.get()));
            if (!s) {
                if (PyErr_Occurred())
                    return nullptr;
                break;
            }
            Ref fn = global(globals, SU_STR(unsquash_action));
            if (!fn)
                return nullptr;
            Ref part = call(fn.get(), a.get(), s.get());
            if (!part || PyList_Append(parts.get(), part.get()) < 0)
                return nullptr;
        }
        return PyList_AsTuple(parts.get());
    }

    int is_discrete = is_space(globals, space, SU_STR(MultiDiscrete));
    if (is_discrete == 0)
        is_discrete = is_space(globals, space, SU_STR(Discrete));
    if (is_discrete < 0)
        return nullptr;
    if (is_discrete)
        return Py_NewRef(action);

    Ref map_structure = global_attr(globals, SU_STR(tree), SU_STR(map_structure));
    if (!map_structure)
        return nullptr;
    Ref map_fn = Ref::steal(new_local_function(map_function, globals));
    if (!map_fn)
        return nullptr;
    return call(map_structure.get(), map_fn.get(), action, space).release();
}

PyObject *impl_unsquash_action_batch(PyObject *globals, PyObject *const *args) {
    PyObject *action_batch = args[0];
    PyObject *space_struct = args[1];
    Ref unsquashed = Ref::steal(PyDict_New());
    if (!unsquashed)
        return nullptr;
    int r = for_each_key(action_batch, [&](PyObject *key) -> int {
        Ref batch = Ref::steal(PyObject_GetItem(action_batch, key));
        if (!batch)
            return -1;
        Ref items = Ref::steal(PyList_New(0));
        if (!items)
            return -1;
        int rr = for_each(batch.get(), [&](PyObject *action_i) -> int {
            Ref fn = global(globals, SU_STR(unsquash_action));
            if (!fn)
                return -1;
            Ref value = call_method(action_i, SU_STR(numpy));
            if (!value)
                return -1;
            Ref space = Ref::steal(PyObject_GetItem(space_struct, key));
            if (!space)
                return -1;
            Ref item = call(fn.get(), value.get(), space.get());
            if (!item)
                return -1;
            return PyList_Append(items.get(), item.get());
        });
        if (rr < 0)
            return -1;
        return PyDict_SetItem(unsquashed.get(), key, items.get());
    });
    return r < 0 ? nullptr : unsquashed.release();
}

// ===========================================================================
// unpack_logits
// ===========================================================================

namespace {

// ---- Box sizes, natively ----------------------------------------------------
//
// The core library's Box.size is int(np.prod(self.shape, dtype=np.int64)),
// and the shape it reads is the Box's own `_shape`. Where a member's class
// finds those very members, `_shape` is a plain instance attribute holding a
// tuple of ints that int64 holds, and the getter's `np`, `np.prod`,
// `np.int64` and `int` are numpy's and the interpreter's own, the size is the
// product computed here, wrapping around in int64 as numpy's does. Anything
// else reads the attribute.

constexpr guards::Member kBoxSizeMembers[] = {
    {"size", Has::BoxSize}, {"shape", Has::BoxShape}, {"_shape", Has::Nothing}};
guards::Members box_size_members{kBoxSizeMembers};

// What Box.size reads by name, and what np.prod reads in turn.
constexpr guards::Name kBoxSizeNames[] = {{In::BoxCode, "int", Is::Int},
                                          {In::BoxCode, "np", Is::Numpy},
                                          {In::Numpy, "prod", Is::Prod},
                                          {In::Numpy, "int64", Is::Int64},
                                          {In::NumpyCode, "prod", Is::CodeReads}};
guards::Names box_size_names{kBoxSizeNames};

bool box_size_plain(PyObject *globals, PyObject *space) {
    return box_size_members.hold(Py_TYPE(space)) && box_size_names.hold(globals);
}

// The Box's own shape tuple, where the native size applies (else empty).
Ref plain_box_shape(PyObject *globals, PyObject *space) {
    if (!box_size_plain(globals, space))
        return {};
    Ref shape = getattr(space, SU_STR(_shape));
    if (!shape || !PyTuple_CheckExact(shape.get())) {
        PyErr_Clear();
        return {};
    }
    return shape;
}

// sub_space.size: natively where it applies, else the attribute.
Ref member_size(PyObject *globals, PyObject *sub_space) {
    if (fast_collaborators()) {
        if (Ref shape = plain_box_shape(globals, sub_space)) {
            uint64_t product = 1;
            bool fits = true;
            for (Py_ssize_t i = 0; fits && i < PyTuple_GET_SIZE(shape.get()); ++i) {
                PyObject *dim = PyTuple_GET_ITEM(shape.get(), i);
                int overflow = 0;
                const long long v = PyLong_CheckExact(dim) ? PyLong_AsLongLongAndOverflow(dim, &overflow) : 0;
                fits = PyLong_CheckExact(dim) && !overflow;
                product *= static_cast<uint64_t>(v);
            }
            if (fits)
                return Ref::steal(PyLong_FromLongLong(static_cast<long long>(product)));
        }
    } else if (PyErr_Occurred()) {
        return {};
    }
    return getattr(sub_space, SU_STR(size));
}

// sub_space.shape: the Box's own tuple where the native size applies, else
// the attribute.
Ref member_shape(PyObject *globals, PyObject *sub_space) {
    if (fast_collaborators()) {
        if (Ref shape = plain_box_shape(globals, sub_space))
            return shape;
    } else if (PyErr_Occurred()) {
        return {};
    }
    return getattr(sub_space, SU_STR(shape));
}

// logits[..., offset:end]
Ref last_dim_slice(PyObject *logits, PyObject *offset, PyObject *end) {
    Ref sl = Ref::steal(PySlice_New(offset, end, nullptr));
    if (!sl)
        return {};
    Ref index = Ref::steal(PyTuple_Pack(2, Py_Ellipsis, sl.get()));
    if (!index)
        return {};
    return Ref::steal(PyObject_GetItem(logits, index.get()));
}

// One member of a Dict or Tuple space: slice its columns, advance the
// offset, give the slice the batch dimensions plus the member's shape and
// unpack that further.
Ref unpack_member(PyObject *globals, PyObject *logits, PyObject *sub_space, Ref &offset,
                  PyObject *batch_dims) {
    Ref size = member_size(globals, sub_space);
    if (!size)
        return {};
    Ref end = Ref::steal(PyNumber_Add(offset.get(), size.get()));
    if (!end)
        return {};
    Ref obs_slice = last_dim_slice(logits, offset.get(), end.get());
    if (!obs_slice)
        return {};
    size = member_size(globals, sub_space);
    if (!size)
        return {};
    Ref advanced = Ref::steal(PyNumber_InPlaceAdd(offset.get(), size.get()));
    if (!advanced)
        return {};
    offset = std::move(advanced);

    Ref fn = global(globals, SU_STR(unpack_logits));
    if (!fn)
        return {};
    Ref reshape = global_attr(globals, SU_STR(torch), SU_STR(reshape));
    if (!reshape)
        return {};
    Ref shape = member_shape(globals, sub_space);
    if (!shape)
        return {};
    Ref shape_list = Ref::steal(PySequence_List(shape.get()));
    if (!shape_list)
        return {};
    Ref new_shape = Ref::steal(PyNumber_Add(batch_dims, shape_list.get()));
    if (!new_shape)
        return {};
    Ref reshaped = call(reshape.get(), obs_slice.get(), new_shape.get());
    if (!reshaped)
        return {};
    return call(fn.get(), reshaped.get(), sub_space);
}

PyObject *zero_int() {
    static PyObject *z = nullptr;
    if (SU_UNLIKELY(!z))
        z = PyLong_FromLong(0);
    return z;
}

// ---- one cut for the members' columns ----------------------------------------
//
// Where logits are an exact torch tensor, torch runs plainly (no function or
// dispatch mode, no functorch transform) and every member of an exact Dict
// or Tuple space is an exact Discrete or Box whose class finds the core
// library's own size and shape, every member's width and shape are known
// before any slice is taken: a Discrete's size is int(n), its shape
// (size,); a Box's are its own shape tuple and that tuple's product. The
// recursion into such a member hands the piece back as it is (the member is
// no Dict, Tuple or MultiDiscrete, as isinstance() says once per class).
//
// What the pieces are made with depends on what autograd records:
//
//   * grad mode off (no_grad, inference mode): one split of the last
//     dimension gives pieces that are the slices in every respect (views of
//     the logits at the same offsets and strides, made in the same mode);
//     only a member whose shape is not its one column range is reshaped;
//   * grad mode on: split's pieces would be the outputs of one multi-output
//     view, which autograd forbids modifying in place with an operand that
//     requires grad, where a slice allows it. Each member is sliced as the
//     general path slices it. A reshape to the slice's own shape makes a new
//     view with the slice's values, shape, strides, storage, base, version
//     counter, requires_grad, in-place rules and gradients wherever no
//     dimension has fewer than two entries: the slice is handed back then
//     (where the logits require grad, its grad_fn is the slice's own
//     SliceBackward0 rather than a ReshapeAliasBackward0 on top of it), and
//     the reshape is made otherwise.
//
// Anything else, widths that do not fit the last dimension included, runs
// the general path, which reports what it reports.

// What the general path reads by name on the way: its own recursion, the
// type tests of the recursion, torch.reshape and OrderedDict, and the one
// global name Discrete.size reads.
constexpr guards::Name kCutNames[] = {{In::Module, "unpack_logits", Is::Own, impl_unpack_logits},
                                      {In::Module, "torch", Is::Torch},
                                      {In::Torch, "reshape", Is::Reshape},
                                      {In::Module, "OrderedDict", Is::OrderedDict},
                                      {In::Module, "kestrelix_spaces", Is::SpacesModule},
                                      {In::Spaces, "Dict", Is::DictSpace},
                                      {In::Spaces, "Tuple", Is::TupleSpace},
                                      {In::Spaces, "MultiDiscrete", Is::MultiSpace},
                                      {In::BoxCode, "int", Is::Int}};
guards::Names cut_names{kCutNames};

// The logits' members that the general path reads (shape) or calls through
// the logits' class (subscripting), and the split the cut calls in their
// place: torch's own, so that none of them runs Python code.
constexpr guards::Member kLogitsMembers[] = {
    {"shape", Has::TensorShape}, {"__getitem__", Has::TensorGetItem}, {"split_with_sizes", Has::TensorSplit}};
guards::Members logits_members{kLogitsMembers};

constexpr guards::Member kSpacesMembers[] = {{"spaces", Has::Nothing}};
guards::Members cut_dict_members{kSpacesMembers}, cut_tuple_members{kSpacesMembers};
constexpr guards::Member kDiscreteMembers[] = {
    {"size", Has::DiscreteSize}, {"shape", Has::DiscreteShape}, {"n", Has::Nothing}};
guards::Members discrete_members{kDiscreteMembers};
constexpr guards::Member kNvecMembers[] = {{"nvec", Has::Nothing}};
guards::Members nvec_members{kNvecMembers};

struct CutMember {
    Ref key;   // the Dict key (empty for a Tuple member)
    Ref sub;   // the member space
    Ref shape; // a Box's own shape tuple (empty for a Discrete)
    long long width = 0;
    bool reshaped = false; // its shape is not (width,)
};

// numpy's int64 scalar type. Only once numpy's C API is loaded.
PyTypeObject *int64_scalar_type() {
    static PyTypeObject *const t = [] {
        PyArray_Descr *d = PyArray_DescrFromType(NPY_INT64);
        Py_DECREF(d); // numpy keeps its builtin descriptors for good
        return d->typeobj;
    }();
    return t;
}

// An exact int, or numpy int64, as a C integer; false for anything else.
bool plain_integer(PyObject *v, long long &out) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (out == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    if (Py_TYPE(v) != int64_scalar_type())
        return false;
    if (Py_TYPE(v) == &PyLongArrType_Type)
        out = static_cast<long long>(PyArrayScalar_VAL(v, Long));
    else
        out = static_cast<long long>(PyArrayScalar_VAL(v, LongLong));
    return true;
}

// A member's width and shape, read without running Python code; false
// where they are not the plain values (the general path then reads them).
bool plan_member(PyObject *globals, const Collaborators &c, CutMember &m) {
    PyObject *sub = m.sub.get();
    if (Py_TYPE(sub) == c.discrete_space) {
        if (!discrete_members.hold(c.discrete_space))
            return false;
        Ref n = getattr(sub, SU_STR(n)); // an instance attribute
        if (!n) {
            PyErr_Clear();
            return false;
        }
        return plain_integer(n.get(), m.width) && m.width >= 0;
    }
    if (Py_TYPE(sub) != c.box_space)
        return false;
    m.shape = plain_box_shape(globals, sub);
    if (!m.shape)
        return false;
    const Py_ssize_t nd = PyTuple_GET_SIZE(m.shape.get());
    long long product = 1;
    for (Py_ssize_t i = 0; i < nd; ++i) {
        long long d = 0;
        PyObject *dim = PyTuple_GET_ITEM(m.shape.get(), i);
        if (!PyLong_CheckExact(dim) || !plain_integer(dim, d) || d < 0 || mul_overflows(product, d, &product))
            return false;
    }
    m.width = product;
    m.reshaped = nd != 1;
    return true;
}

// Whether the recursion into a member of this exact class hands its piece
// back: the class is no Dict, Tuple or MultiDiscrete as isinstance() says
// (an ABC's hooks may run). 1, 0, -1 with an error set.
int leaf_class(PyObject *sub, const Collaborators &c) {
    for (PyTypeObject *cls : {c.dict_space, c.tuple_space, c.multi_discrete_space}) {
        const int r = isinstance(sub, reinterpret_cast<PyObject *>(cls));
        if (r != 0)
            return r < 0 ? -1 : 0;
    }
    return 1;
}

// Whether what the cut calls on the logits is torch's own: their members,
// the subscript slot behind __getitem__, and the kernels of the view
// operators. Checking runs no Python code.
bool logits_own(PyObject *logits, const Collaborators &c) {
    PyMappingMethods *mm = Py_TYPE(logits)->tp_as_mapping;
    return logits_members.hold(Py_TYPE(logits)) && mm && mm->mp_subscript == c.tensor_subscript &&
           guards::kernels_plain(guards::Kernels::Views);
}

// The same, and the names the general path reads.
bool torch_own(PyObject *globals, PyObject *logits, const Collaborators &c) {
    return cut_names.hold(globals) && logits_own(logits, c);
}

// The names the fast path stands in for, for `logits`; false where the
// general path must run, with an error set only where one must be passed
// on. Whether torch runs plainly is asked separately (torch_plain()).
bool cut_allowed(PyObject *globals, PyObject *logits, const Collaborators *&c) {
    c = fast_collaborators();
    if (!c || Py_TYPE(logits) != reinterpret_cast<PyTypeObject *>(c->tensor))
        return false;
    return torch_own(globals, logits, *c);
}

// logits.shape as the exact tuple torch gives (torch.Size), with at least
// one dimension; empty (no error set) otherwise.
Ref tensor_shape(PyObject *logits) {
    Ref shape = getattr(logits, SU_STR(shape));
    if (!shape || !PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) == 0) {
        if (shape || PyErr_ExceptionMatches(PyExc_Exception))
            PyErr_Clear(); // (the general path meets it again)
        return {};
    }
    return shape;
}

// Whether autograd records nothing for what is made now: 1 grad mode off,
// 0 on, -1 with an error set.
int grad_off(const Collaborators &c) {
    Ref on = call(c.grad_enabled);
    if (!on)
        return -1;
    return on.get() == Py_False;
}

// [*batch, *dims]: the batch dimensions (the first `nb` entries of
// `shape`) and a member's shape (`dims`, or [width] where it has none).
Ref new_shape(PyObject *shape, Py_ssize_t nb, PyObject *dims, long long width) {
    const Py_ssize_t nd = dims ? PyTuple_GET_SIZE(dims) : 1;
    Ref out = Ref::steal(PyList_New(nb + nd));
    if (!out)
        return {};
    for (Py_ssize_t i = 0; i < nb; ++i)
        PyList_SET_ITEM(out.get(), i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
    for (Py_ssize_t i = 0; i < nd; ++i) {
        PyObject *d = dims ? Py_NewRef(PyTuple_GET_ITEM(dims, i)) : PyLong_FromLongLong(width);
        if (!d)
            return {};
        PyList_SET_ITEM(out.get(), nb + i, d);
    }
    return out;
}

// Whether `piece` has the shape [*batch, width]: what a slice of the
// logits as they were planned gives.
bool has_planned_shape(PyObject *piece, PyObject *shape, Py_ssize_t nb, long long width) {
    Ref got = getattr(piece, SU_STR(shape));
    if (!got || !PyTuple_Check(got.get()) || PyTuple_GET_SIZE(got.get()) != nb + 1) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < nb; ++i) {
        long long a = 0, b = 0;
        if (!plain_integer(PyTuple_GET_ITEM(got.get(), i), a) ||
            !plain_integer(PyTuple_GET_ITEM(shape, i), b) || a != b)
            return false;
    }
    long long last = 0;
    return plain_integer(PyTuple_GET_ITEM(got.get(), nb), last) && last == width;
}

// The pieces of `logits` for `plan`, one split of the last dimension (grad
// mode off). `extra` columns were left over at the end when planned. 1
// done, 0 where the general path must run, -1 with an error set.
//
// `settled`: nothing but this call can have run since the modes were asked
// and the shape read (see unpack_by_one_cut). Otherwise any allocation may
// have started a collection, and a finalizer may then have resized the
// logits, entered a torch mode or turned grad mode on: everything the split
// is called with is made first, the modes are asked again last (those calls
// allocate nothing a collection counts), and the bound method is called with
// the argument tuple as it is (no tuple is made on the way into torch); the
// logits' members and torch's view kernels are checked again with them. In
// either case widths that no longer fit make torch refuse the split (another
// thread may resize the logits while torch splits them), and the general
// path runs.
int cut_pieces(const Collaborators &c, PyObject *logits, const std::vector<CutMember> &plan, long long extra,
               bool settled, std::vector<Ref> &pieces) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(plan.size());
    Ref sizes = Ref::steal(PyTuple_New(n + (extra > 0)));
    if (!sizes)
        return -1;
    for (Py_ssize_t i = 0; i <= n; ++i) {
        if (i == n && extra == 0)
            break;
        PyObject *w = PyLong_FromLongLong(i < n ? plan[static_cast<size_t>(i)].width : extra);
        if (!w)
            return -1;
        PyTuple_SET_ITEM(sizes.get(), i, w);
    }
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one)
        return -1;
    Ref split;
    if (settled) {
        split = call(c.split_with_sizes, logits, sizes.get(), minus_one.get());
    } else {
        Ref args = Ref::steal(PyTuple_Pack(2, sizes.get(), minus_one.get()));
        if (!args)
            return -1;
        PyObject *descr = c.split_with_sizes;
        if (Py_TYPE(descr) != &PyMethodDescr_Type)
            return 0;
        Ref bound = Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, logits, nullptr));
        if (!bound)
            return -1;
        if (!logits_own(logits, c))
            return 0;
        int plain = torch_plain();
        if (plain > 0)
            plain = grad_off(c);
        if (plain <= 0)
            return plain;
        split = Ref::steal(PyObject_Call(bound.get(), args.get(), nullptr));
    }
    if (!split) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError))
            return -1;
        PyErr_Clear(); // (the widths no longer fit: the general path reports what it reports)
        return 0;
    }
    if (!PyTuple_CheckExact(split.get()) || PyTuple_GET_SIZE(split.get()) != PyTuple_GET_SIZE(sizes.get()))
        return 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        pieces.push_back(Ref::borrow(PyTuple_GET_ITEM(split.get(), i)));
    return 1;
}

// The pieces of `logits` for `plan`, one slice per member as the general
// path takes it (grad mode on).
int slice_pieces(PyObject *logits, const std::vector<CutMember> &plan, std::vector<Ref> &pieces) {
    long long offset = 0;
    for (const CutMember &m : plan) {
        Ref start = Ref::steal(PyLong_FromLongLong(offset));
        Ref end = start ? Ref::steal(PyLong_FromLongLong(offset + m.width)) : Ref();
        if (!end)
            return -1;
        Ref piece = last_dim_slice(logits, start.get(), end.get());
        if (!piece)
            return -1;
        pieces.push_back(std::move(piece));
        offset += m.width;
    }
    return 1;
}

// The cyclic collector held off for a scope, where asked: while it is, an
// allocation runs no finalizer. A caller that had it disabled keeps it so.
class CollectorHeld {
  public:
    explicit CollectorHeld(bool hold) noexcept : was_enabled_(hold && PyGC_Disable()) {}
    ~CollectorHeld() { release(); }
    void release() noexcept {
        if (std::exchange(was_enabled_, false))
            PyGC_Enable();
    }
    CollectorHeld(const CollectorHeld &) = delete;
    CollectorHeld &operator=(const CollectorHeld &) = delete;

  private:
    bool was_enabled_;
};

// Whether the calling thread is its interpreter's only one: no other thread
// can then run Python code, even where torch lets go of the lock.
bool sole_thread() noexcept {
    PyThreadState *head = PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(PyThreadState_Get()));
    return head && !PyThreadState_Next(head);
}

// A new list of the pieces (handed over).
Ref list_of(std::vector<Ref> &pieces) {
    Ref u = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!u)
        return {};
    for (size_t i = 0; i < pieces.size(); ++i)
        PyList_SET_ITEM(u.get(), static_cast<Py_ssize_t>(i), pieces[i].release());
    return u;
}

// The members of an exact Dict or Tuple space, in order, with strong
// references; false where they are not read plainly. A Dict's members are
// a dict, or an exact OrderedDict (what the spaces of older gymnasium
// releases hold): its items() come in its own order, which move_to_end may
// have made other than that of the dict underneath, so its keys are taken
// from its iterator and the values by key; with exact str keys neither
// runs Python code.
bool cut_members(PyObject *space, bool dict, PyObject *ordered_dict, std::vector<CutMember> &plan) {
    if (!(dict ? cut_dict_members : cut_tuple_members).hold(Py_TYPE(space)))
        return false;
    Ref members = getattr(space, SU_STR(spaces)); // an instance attribute
    if (!members) {
        PyErr_Clear();
        return false;
    }
    PyObject *m = members.get();
    if (dict && Py_TYPE(m) == reinterpret_cast<PyTypeObject *>(ordered_dict)) {
        Ref keys = Ref::steal(PyObject_GetIter(m));
        if (!keys) {
            PyErr_Clear();
            return false;
        }
        for (Ref key; (key = Ref::steal(PyIter_Next(keys.get())));) {
            PyObject *value =
                PyUnicode_CheckExact(key.get()) ? PyDict_GetItemWithError(m, key.get()) : nullptr;
            if (!value) {
                PyErr_Clear();
                return false;
            }
            plan.push_back({std::move(key), Ref::borrow(value), {}, 0, false});
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    } else if (dict) {
        if (!PyDict_CheckExact(m))
            return false;
        plan.reserve(static_cast<size_t>(PyDict_GET_SIZE(m)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(m, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key))
                return false;
            plan.push_back({Ref::borrow(key), Ref::borrow(value), {}, 0, false});
        }
    } else {
        if (!PyTuple_CheckExact(m))
            return false;
        plan.reserve(static_cast<size_t>(PyTuple_GET_SIZE(m)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(m); ++i)
            plan.push_back({{}, Ref::borrow(PyTuple_GET_ITEM(m, i)), {}, 0, false});
    }
    return !plan.empty();
}

// unpack_logits(logits, space) for an exact Dict (`dict`) or Tuple space
// that isinstance() found to be only that; empty with no error set where
// the general path must run.
Ref unpack_by_one_cut(PyObject *globals, PyObject *logits, PyObject *space, bool dict) {
    const Collaborators *c = nullptr;
    if (!cut_allowed(globals, logits, c))
        return {};
    if (Py_TYPE(space) != (dict ? c->dict_space : c->tuple_space))
        return {};
    std::vector<CutMember> plan;
    if (!cut_members(space, dict, c->ordered_dict, plan))
        return {};
    // The type tests of the recursion, once per member class (they may run
    // Python code: the guards are checked again after them).
    int discrete = -2, box = -2;
    for (const CutMember &m : plan) {
        PyTypeObject *tp = Py_TYPE(m.sub.get());
        if (tp != c->discrete_space && tp != c->box_space)
            return {};
        int &known = tp == c->discrete_space ? discrete : box;
        if (known == -2)
            known = leaf_class(m.sub.get(), *c);
        if (known <= 0)
            return {}; // (an error of isinstance() stays set)
    }
    for (CutMember &m : plan)
        if (!plan_member(globals, *c, m))
            return {};
    // The type tests and the members' reads may have run Python code; the
    // guards' own key comparisons may too, so nothing runs between their
    // last check and the window below.
    if (!torch_own(globals, logits, *c))
        return {};
    // From here to the last piece nothing runs but torch's getters and its
    // slicing or split, which run no Python code of their own. While no
    // other thread exists and no allocation can run a finalizer, the modes
    // and the shape read here are those the pieces are cut with ("still");
    // otherwise the split asks the modes again and each slice's shape is
    // read again.
    const bool still = sole_thread();
    CollectorHeld held(still);
    if (torch_plain() <= 0)
        return {};
    Ref shape = tensor_shape(logits);
    if (!shape)
        return {};
    Py_ssize_t nb = PyTuple_GET_SIZE(shape.get()) - 1;
    long long last = 0, total = 0;
    if (!plain_integer(PyTuple_GET_ITEM(shape.get(), nb), last))
        return {};
    for (const CutMember &m : plan)
        if (add_overflows(total, m.width, &total))
            return {};
    if (total > last)
        return {}; // the general path's reshape reports the short slice

    const int off = grad_off(*c);
    if (off < 0)
        return {};
    std::vector<Ref> pieces;
    pieces.reserve(plan.size());
    int r = 0;
    if (off) {
        r = cut_pieces(*c, logits, plan, last - total, still, pieces);
    } else {
        r = slice_pieces(logits, plan, pieces);
    }
    held.release();
    if (r <= 0)
        return {};
    if (off && !still) {
        // The batch dimensions the split met.
        shape = tensor_shape(pieces[0].get());
        if (!shape)
            return {};
        nb = PyTuple_GET_SIZE(shape.get()) - 1;
    }
    // A reshape to a piece's own shape gives the piece's own strides where
    // every dimension has two entries or more (torch recomputes the stride
    // of a dimension of one entry, and may of an empty piece's).
    bool wide = true;
    for (Py_ssize_t i = 0; wide && i < nb; ++i) {
        long long d = 0;
        wide = plain_integer(PyTuple_GET_ITEM(shape.get(), i), d) && d >= 2;
    }
    for (size_t i = 0; i < plan.size(); ++i) {
        const CutMember &m = plan[i];
        // A piece keeps its slice's shape where that is the member's; a
        // slice that came out otherwise (the logits changed meanwhile) is
        // reshaped, which reports it as the general path does.
        if (!m.reshaped && wide && m.width >= 2 &&
            (off || still || has_planned_shape(pieces[i].get(), shape.get(), nb, m.width)))
            continue;
        Ref to = new_shape(shape.get(), nb, m.shape ? m.shape.get() : nullptr, m.width);
        if (!to)
            return {};
        Ref reshaped = call(c->reshape, pieces[i].get(), to.get());
        if (!reshaped)
            return {};
        pieces[i] = std::move(reshaped);
    }
    if (!dict)
        return list_of(pieces);
    Ref u = call(c->ordered_dict);
    if (!u)
        return {};
    for (size_t i = 0; i < pieces.size(); ++i)
        if (PyObject_SetItem(u.get(), plan[i].key.get(), pieces[i].get()) < 0)
            return {};
    return u;
}

// unpack_logits(logits, space) for an exact MultiDiscrete space with grad
// mode off: one split for the slices of nvec's widths. Empty with no error
// set where the general path must run.
Ref multi_discrete_by_one_cut(PyObject *globals, PyObject *logits, PyObject *space) {
    const Collaborators *c = nullptr;
    if (!cut_allowed(globals, logits, c) || Py_TYPE(space) != c->multi_discrete_space ||
        !nvec_members.hold(c->multi_discrete_space))
        return {};
    // (With grad mode on the general path's slices are what it takes.)
    const int off = grad_off(*c);
    if (off <= 0 || torch_plain() <= 0)
        return {};
    Ref nvec = getattr(space, SU_STR(nvec)); // an instance attribute
    if (!nvec) {
        PyErr_Clear();
        return {};
    }
    Ref shape = tensor_shape(logits);
    if (!shape)
        return {};
    long long last = 0;
    if (!plain_integer(PyTuple_GET_ITEM(shape.get(), PyTuple_GET_SIZE(shape.get()) - 1), last))
        return {};
    // Read after the last allocation before the cut.
    if (!PyArray_CheckExact(nvec.get()))
        return {};
    auto *a = reinterpret_cast<PyArrayObject *>(nvec.get());
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_INT64 || PyArray_DIM(a, 0) == 0)
        return {};
    std::vector<CutMember> plan(static_cast<size_t>(PyArray_DIM(a, 0)));
    long long total = 0;
    for (npy_intp i = 0; i < PyArray_DIM(a, 0); ++i) {
        const long long w = load<npy_int64>(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
        if (w < 0 || add_overflows(total, w, &total))
            return {};
        plan[static_cast<size_t>(i)].width = w;
    }
    if (total > last)
        return {}; // short slices, as the general path takes them
    std::vector<Ref> pieces;
    pieces.reserve(plan.size());
    if (cut_pieces(*c, logits, plan, last - total, false, pieces) <= 0)
        return {};
    return list_of(pieces);
}

} // namespace

PyObject *impl_unpack_logits(PyObject *globals, PyObject *const *args) {
    PyObject *logits = args[0];
    PyObject *space = args[1];
    RecursionGuard guard(" while unpacking logits");
    if (!guard.ok())
        return nullptr;

    int is_dict = is_space(globals, space, SU_STR(Dict));
    if (is_dict < 0)
        return nullptr;
    int is_tuple = is_space(globals, space, SU_STR(Tuple));
    if (is_tuple < 0)
        return nullptr;

    if (is_dict || is_tuple) {
        // Already unpacked: handed back as it is.
        if (is_tuple && (PyList_Check(logits) || PyTuple_Check(logits)))
            return Py_NewRef(logits);
        if (is_dict && PyDict_Check(logits))
            return Py_NewRef(logits);
        if (is_dict != is_tuple) {
            if (Ref fast = unpack_by_one_cut(globals, logits, space, is_dict != 0))
                return fast.release();
            if (PyErr_Occurred())
                return nullptr;
        }
        PyObject *zero = zero_int();
        if (!zero)
            return nullptr;
        Ref offset = Ref::borrow(zero);
        Ref shape = getattr(logits, SU_STR(shape));
        if (!shape)
            return nullptr;
        Ref minus_one = Ref::steal(PyLong_FromLong(-1));
        if (!minus_one)
            return nullptr;
        Ref lead = Ref::steal(PySlice_New(nullptr, minus_one.get(), nullptr));
        if (!lead)
            return nullptr;
        Ref lead_shape = Ref::steal(PyObject_GetItem(shape.get(), lead.get()));
        if (!lead_shape)
            return nullptr;
        Ref batch_dims = Ref::steal(PySequence_List(lead_shape.get()));
        if (!batch_dims)
            return nullptr;

        if (is_tuple) {
            Ref u = Ref::steal(PyList_New(0));
            if (!u)
                return nullptr;
            Ref members = getattr(space, SU_STR(spaces));
            if (!members)
                return nullptr;
            int r = for_each(members.get(), [&](PyObject *sub_space) -> int {
                Ref part = unpack_member(globals, logits, sub_space, offset, batch_dims.get());
                if (!part)
                    return -1;
                return PyList_Append(u.get(), part.get());
            });
            return r < 0 ? nullptr : u.release();
        }

        Ref ordered_dict = global(globals, SU_STR(OrderedDict));
        if (!ordered_dict)
            return nullptr;
        Ref u = call(ordered_dict.get());
        if (!u)
            return nullptr;
        Ref members = getattr(space, SU_STR(spaces));
        if (!members)
            return nullptr;
        int r = for_each_item(members.get(), [&](PyObject *key, PyObject *sub_space) -> int {
            Ref part = unpack_member(globals, logits, sub_space, offset, batch_dims.get());
            if (!part)
                return -1;
            return PyObject_SetItem(u.get(), key, part.get());
        });
        return r < 0 ? nullptr : u.release();
    }

    int is_multi = is_space(globals, space, SU_STR(MultiDiscrete));
    if (is_multi < 0)
        return nullptr;
    if (!is_multi)
        return Py_NewRef(logits);
    if (Ref fast = multi_discrete_by_one_cut(globals, logits, space))
        return fast.release();
    if (PyErr_Occurred())
        return nullptr;

    // One slice of the last dimension per sub-action, nvec[i] columns wide.
    Ref u = Ref::steal(PyList_New(0));
    if (!u)
        return nullptr;
    PyObject *zero = zero_int();
    if (!zero)
        return nullptr;
    Ref offset = Ref::borrow(zero);
    Ref nvec = getattr(space, SU_STR(nvec));
    if (!nvec)
        return nullptr;
    int r = for_each(nvec.get(), [&](PyObject *width) -> int {
        Ref end = Ref::steal(PyNumber_Add(offset.get(), width));
        if (!end)
            return -1;
        Ref obs_slice = last_dim_slice(logits, offset.get(), end.get());
        if (!obs_slice)
            return -1;
        Ref advanced = Ref::steal(PyNumber_InPlaceAdd(offset.get(), width));
        if (!advanced)
            return -1;
        offset = std::move(advanced);
        return PyList_Append(u.get(), obs_slice.get());
    });
    return r < 0 ? nullptr : u.release();
}

} // namespace su
