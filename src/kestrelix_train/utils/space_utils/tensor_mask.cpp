// One tensor leaf of apply_mask, written natively.
//
// For two torch tensors the general path adds the additive mask to the
// logits:
//
//     logits + torch.clamp(torch.log(mask), min=-np.inf)
//
// Where every mask entry is 0 or 1, the clamped logarithm is -inf where the
// mask is 0 and +0.0 where it is 1, so each entry of the sum is x + (-inf) or
// x + 0.0 in the dtype torch promotes the two to (-0.0 becomes 0.0, a NaN
// stays a NaN, inf + -inf is the machine's NaN, as torch's own addition
// gives them). Here that sum is computed in one pass into one new tensor,
// and the same pass checks the mask: a mask with any other entry (0.5, 2, a
// NaN) leaves the new tensor unused, and the general path runs.
//
// The pass stands in for the general path only where nothing can tell the
// two apart:
//   * both are exactly torch.Tensor (no subclass: no __torch_function__ of
//     their own); no torch function or dispatch mode and no functorch
//     transform is active, and no dual level of forward-mode AD is entered;
//   * autograd records nothing: neither requires grad, or grad mode is off;
//   * both are strided CPU tensors of one shape with at least one entry, each
//     contiguous, neither a negative view nor nested;
//   * the logits are float16, bfloat16, float32 or float64; the mask is
//     bool, int8, uint8, int16, int32, int64 or one of those; and the result
//     dtype, the logits' dtype promoted with that of log(mask) (the mask's
//     own floating dtype, or torch's default dtype for a bool or integer
//     mask), is float32 or float64 (a float16 or bfloat16 logit widens to
//     it exactly);
//   * the names the general path reads (np, np.ndarray, np.inf, torch,
//     torch.Tensor, torch.log, torch.clamp) lead to the collaborators' own
//     objects, and torch.Tensor's MRO finds torch's own members for those
//     the general path reaches (__add__, shape, and object's __class__ that
//     the instance tests read) and for those read here.
// The result is made by torch.empty_like(logits, dtype=...,
// memory_format=torch.contiguous_format): the sum's shape, dtype and device,
// torch's default strides (as the sum of two contiguous operands of one
// shape has them), no autograd history, and an inference tensor exactly
// where the sum would be one.
//
// torch.empty_like lets other threads run and may start a collection (so may
// any allocation before it), and either may change the inputs: what is read
// before it only picks the result's dtype. After it, with the collector held
// off, every setting and property is read again (torch's attribute getters
// and the methods called here run no Python code and keep the interpreter's
// lock), and the entries are read and written only if all still hold, with
// nothing in between.
#include "tensor_mask.h"

#include "collaborators.h"
#include "guards.h"
#include "platform.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace su {

namespace {

using guards::Has;
using guards::In;
using guards::Is;

constexpr guards::Name kNames[] = {{In::Module, "np", Is::Numpy},     {In::Numpy, "ndarray", Is::NdArray},
                                   {In::Numpy, "inf", Is::Inf},       {In::Module, "torch", Is::Torch},
                                   {In::Torch, "Tensor", Is::Tensor}, {In::Torch, "log", Is::Log},
                                   {In::Torch, "clamp", Is::Clamp}};
guards::Names names{kNames};

constexpr guards::Member kMembers[] = {{"__add__", Has::TensorAdd},
                                       {"shape", Has::TensorShape},
                                       {"__class__", Has::ObjectClass},
                                       {"dtype", Has::TensorDtype},
                                       {"requires_grad", Has::TensorRequiresGrad},
                                       {"is_cpu", Has::TensorIsCpu},
                                       {"layout", Has::TensorLayout},
                                       {"is_nested", Has::TensorIsNested},
                                       {"is_neg", Has::TensorIsNeg},
                                       {"is_contiguous", Has::TensorIsContiguous},
                                       {"data_ptr", Has::TensorDataPtr}};
guards::Members members{kMembers};

// ---- the pass ---------------------------------------------------------------

// The element types the pass reads. One byte covers bool, int8 and uint8
// alike: each entry must be 0 or 1.
enum class Elem : unsigned char { None, Byte, Int16, Int32, Int64, Half, BFloat16, Float, Double };

bool is_floating(Elem e) {
    return e == Elem::Half || e == Elem::BFloat16 || e == Elem::Float || e == Elem::Double;
}

// torch's promotion of two floating dtypes.
Elem promote(Elem a, Elem b) {
    if (a == b)
        return a;
    return a == Elem::Double || b == Elem::Double ? Elem::Double : Elem::Float;
}

// A mask entry's bits: `one` is the pattern of 1, `magnitude` the bits but
// the sign (a floating-point zero of either sign is zero).
template <class U, U One, U Magnitude> struct MaskOf {
    using Bits = U;
    static constexpr U one = One;
    static constexpr U magnitude = Magnitude;
};
using ByteMask = MaskOf<uint8_t, 1, 0xff>;
using Int16Mask = MaskOf<uint16_t, 1, 0xffff>;
using Int32Mask = MaskOf<uint32_t, 1, 0xffffffffu>;
using Int64Mask = MaskOf<uint64_t, 1, ~uint64_t{0}>;
using HalfMask = MaskOf<uint16_t, 0x3c00, 0x7fff>;
using BFloat16Mask = MaskOf<uint16_t, 0x3f80, 0x7fff>;
using FloatMask = MaskOf<uint32_t, 0x3f800000u, 0x7fffffffu>;
using DoubleMask = MaskOf<uint64_t, 0x3ff0000000000000ull, 0x7fffffffffffffffull>;

// Logit entries, widened exactly to the result's type (a NaN keeps its
// payload; the addition then quiets it, as torch's does).
template <class T> struct PlainLogits {
    using Stored = T;
    template <class O> static O widen(T x) { return static_cast<O>(x); }
};
struct BFloat16Logits {
    using Stored = uint16_t;
    template <class O> static O widen(uint16_t b) {
        return static_cast<O>(std::bit_cast<float>(static_cast<uint32_t>(b) << 16));
    }
};
struct HalfLogits {
    using Stored = uint16_t;
    // Without branches, so that the loop vectorizes: a normal number moves
    // its exponent by a multiplication, a subnormal one comes out of a
    // subtraction; infinities and NaNs keep their payload.
    static float to_float(uint16_t h) {
        const uint32_t w = static_cast<uint32_t>(h) << 16;
        const uint32_t sign = w & 0x80000000u;
        const uint32_t two_w = w + w;
        const float normal = std::bit_cast<float>((two_w >> 4) + (0xe0u << 23)) * 0x1p-112f;
        const float subnormal = std::bit_cast<float>((two_w >> 17) | (126u << 23)) - 0.5f;
        const uint32_t bits =
            two_w < (1u << 27) ? std::bit_cast<uint32_t>(subnormal) : std::bit_cast<uint32_t>(normal);
        return std::bit_cast<float>(sign | bits);
    }
    template <class O> static O widen(uint16_t h) { return static_cast<O>(to_float(h)); }
};

// out[i] = logits[i] + (mask[i] is 1 ? 0 : -inf) for n entries; false if a
// mask entry is neither 0 nor 1 (`out` is then of no use). Written as one
// loop over contiguous data that the compiler vectorizes; the inputs need
// not be aligned.
template <class O, class L, class M>
bool masked_sum(const char *logits, const char *mask, char *out, size_t n) {
    using LS = typename L::Stored;
    using MB = typename M::Bits;
    constexpr O kNegInf = -std::numeric_limits<O>::infinity();
    O *o = reinterpret_cast<O *>(out);
    MB bad = 0;
    for (size_t i = 0; i < n; ++i) {
        const MB m = load<MB>(mask + i * sizeof(MB));
        const bool one = m == M::one;
        bad |= static_cast<MB>(!one & ((m & M::magnitude) != 0));
        o[i] = L::template widen<O>(load<LS>(logits + i * sizeof(LS))) + (one ? O(0) : kNegInf);
    }
    return bad == 0;
}

using Kernel = bool (*)(const char *, const char *, char *, size_t);

template <class O, class L> Kernel for_mask(Elem m) {
    switch (m) {
    case Elem::Byte:
        return masked_sum<O, L, ByteMask>;
    case Elem::Int16:
        return masked_sum<O, L, Int16Mask>;
    case Elem::Int32:
        return masked_sum<O, L, Int32Mask>;
    case Elem::Int64:
        return masked_sum<O, L, Int64Mask>;
    case Elem::Half:
        return masked_sum<O, L, HalfMask>;
    case Elem::BFloat16:
        return masked_sum<O, L, BFloat16Mask>;
    case Elem::Float:
        return masked_sum<O, L, FloatMask>;
    case Elem::Double:
        return masked_sum<O, L, DoubleMask>;
    default:
        return nullptr;
    }
}

template <class O> Kernel for_logits(Elem l, Elem m) {
    switch (l) {
    case Elem::Half:
        return for_mask<O, HalfLogits>(m);
    case Elem::BFloat16:
        return for_mask<O, BFloat16Logits>(m);
    case Elem::Float:
        return for_mask<O, PlainLogits<float>>(m);
    case Elem::Double:
        if constexpr (std::is_same_v<O, double>)
            return for_mask<O, PlainLogits<double>>(m);
        return nullptr; // (a float64 logit makes a float64 result)
    default:
        return nullptr;
    }
}

// ---- reading the tensors ------------------------------------------------------

// The element type of a torch dtype (borrowed), Elem::None for any other.
Elem elem_of(PyObject *dtype) {
    const Collaborators &c = collaborators();
    const int int64 = sizeof(long) == 8 ? NPY_LONG : NPY_LONGLONG;
    if (dtype == c.torch_dtype[NPY_FLOAT])
        return Elem::Float;
    if (dtype == c.torch_dtype[NPY_DOUBLE])
        return Elem::Double;
    if (dtype == c.torch_dtype[NPY_BOOL] || dtype == c.torch_dtype[NPY_BYTE] ||
        dtype == c.torch_dtype[NPY_UBYTE])
        return Elem::Byte;
    if (dtype == c.torch_dtype[int64])
        return Elem::Int64;
    if (dtype == c.torch_dtype[NPY_INT])
        return Elem::Int32;
    if (dtype == c.torch_dtype[NPY_SHORT])
        return Elem::Int16;
    if (dtype == c.torch_dtype[NPY_HALF])
        return Elem::Half;
    if (dtype == c.bfloat16)
        return Elem::BFloat16;
    return Elem::None;
}

// t.<attribute>, through torch's own getter (see kMembers).
Ref get(PyObject *descr, PyObject *t) {
    return Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, t, reinterpret_cast<PyObject *>(Py_TYPE(t))));
}

// t.<method>(), through torch's own method (see kMembers): an instance
// attribute of that name is not what is called.
Ref call_on(PyObject *method, PyObject *t) {
    return Ref::steal(PyObject_Vectorcall(method, &t, 1, nullptr));
}

// After a failed read: 0 (the general path runs, and meets the cause itself)
// for an ordinary error, which is dropped; -1 for anything else
// (KeyboardInterrupt, ...), which is passed on.
int failed() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

// 1 when `value` is Py_True, 0 when Py_False or anything else, -1 after a
// failed read (see failed()), as 0 or -1.
int is_true(const Ref &value) {
    if (!value)
        return failed() < 0 ? -1 : 0;
    return value.get() == Py_True;
}
int is_false(const Ref &value) {
    if (!value)
        return failed() < 0 ? -1 : 0;
    return value.get() == Py_False;
}

// Whether nothing outside the two tensors makes the general path's calls
// behave otherwise than the pass: the names and members it stands in for,
// torch's modes, Python kernels of the operators it stands in for, a dual
// level, and autograd. 1, 0, or -1 with an error set.
int settings_hold(PyObject *globals, PyObject *logits, PyObject *mask) {
    const Collaborators &c = collaborators();
    if (!c.forward_ad_globals || !names.hold(globals) || !members.hold(Py_TYPE(logits)))
        return 0;
    const int plain = torch_plain();
    if (plain <= 0)
        return plain;
    if (!guards::kernels_plain(guards::Kernels::Cpu))
        return 0; // (a Python kernel of log, clamp or add would run in the general path)
    // Inside a dual level a tensor may carry a tangent, which the sum would
    // carry on.
    PyObject *level = PyDict_GetItemWithError(c.forward_ad_globals, SU_STR(_current_level));
    if (!level)
        return PyErr_Occurred() ? failed() : 0;
    int overflow = 0;
    if (!PyLong_CheckExact(level) || PyLong_AsLongAndOverflow(level, &overflow) != -1 || overflow)
        return 0; // (an exact int sets no error, even beyond a C long)
    bool recorded = false;
    for (PyObject *t : {logits, mask}) {
        Ref wants = get(c.tensor_requires_grad, t);
        if (!wants)
            return failed();
        if (wants.get() == Py_True)
            recorded = true;
        else if (wants.get() != Py_False)
            return 0;
    }
    return recorded ? is_false(call(c.is_grad_enabled)) : 1;
}

// What the first reads decide: the dtypes and what the result is made as.
struct Choice {
    Ref logits_dtype, mask_dtype;
    Ref default_dtype; // torch's default dtype, for a bool or integer mask
    Elem logits = Elem::None, mask = Elem::None, result = Elem::None;
    PyObject *result_dtype = nullptr; // borrowed (the collaborators keep it)
};

// The reads before the result is made. 1 with `ch` filled, 0 or -1.
int choose(PyObject *globals, PyObject *logits, PyObject *mask, Choice &ch) {
    const Collaborators &c = collaborators();
    int r = settings_hold(globals, logits, mask);
    if (r <= 0)
        return r;
    for (PyObject *t : {logits, mask}) {
        r = is_true(get(c.tensor_is_cpu, t));
        if (r <= 0)
            return r;
    }
    Ref layout = get(c.tensor_layout, logits);
    if (!layout)
        return failed();
    if (layout.get() != c.strided)
        return 0;
    ch.logits_dtype = get(c.tensor_dtype, logits);
    ch.mask_dtype = ch.logits_dtype ? get(c.tensor_dtype, mask) : Ref();
    if (!ch.mask_dtype)
        return failed();
    ch.logits = elem_of(ch.logits_dtype.get());
    ch.mask = elem_of(ch.mask_dtype.get());
    if (!is_floating(ch.logits) || ch.mask == Elem::None)
        return 0;
    Elem additive = ch.mask;
    if (!is_floating(ch.mask)) {
        ch.default_dtype = call(c.get_default_dtype);
        if (!ch.default_dtype)
            return failed();
        additive = elem_of(ch.default_dtype.get());
        if (!is_floating(additive))
            return 0;
    }
    ch.result = promote(ch.logits, additive);
    if (ch.result == Elem::Float)
        ch.result_dtype = c.torch_dtype[NPY_FLOAT];
    else if (ch.result == Elem::Double)
        ch.result_dtype = c.torch_dtype[NPY_DOUBLE];
    else
        return 0;
    return 1;
}

// The address of t's first entry; nullptr for none (`r` 1) or after a
// failed read (`r` then says what failed() said: 0 or -1).
char *data_of(PyObject *t, int &r) {
    Ref address = call_on(collaborators().tensor_data_ptr, t);
    void *p = address ? PyLong_AsVoidPtr(address.get()) : nullptr;
    r = p || !PyErr_Occurred() ? 1 : failed();
    return static_cast<char *>(p);
}

// The number of entries of a torch.Size (any tuple of ints), -1 for another
// object or an overflow (no error set).
Py_ssize_t entries_of(PyObject *shape) {
    if (!PyTuple_Check(shape))
        return -1;
    Py_ssize_t n = 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
        PyObject *d = PyTuple_GET_ITEM(shape, i);
        const Py_ssize_t k = PyLong_CheckExact(d) ? PyLong_AsSsize_t(d) : -1;
        if (k < 0 || mul_overflows(n, k, &n)) {
            PyErr_Clear();
            return -1;
        }
    }
    return n;
}

// One tensor as the pass reads it: its dtype is still `dtype` and it is a
// plain, contiguous CPU tensor of `shape`, with its data at *data. 1, 0, -1.
int still_plain(PyObject *t, PyObject *dtype, PyObject *shape, char *&data) {
    const Collaborators &c = collaborators();
    Ref d = get(c.tensor_dtype, t);
    if (!d)
        return failed();
    Ref layout = d.get() == dtype ? get(c.tensor_layout, t) : Ref();
    if (!layout)
        return d.get() == dtype ? failed() : 0;
    if (layout.get() != c.strided)
        return 0;
    int r = is_true(get(c.tensor_is_cpu, t));
    if (r > 0)
        r = is_false(get(c.tensor_is_nested, t));
    if (r > 0)
        r = is_false(call_on(c.tensor_is_neg, t));
    if (r > 0)
        r = is_true(call_on(c.tensor_is_contiguous, t));
    if (r <= 0)
        return r;
    Ref s = get(c.tensor_shape, t);
    if (!s)
        return failed();
    r = PyObject_RichCompareBool(s.get(), shape, Py_EQ); // (ints in tuples: no Python code)
    if (r <= 0)
        return r < 0 ? failed() : 0;
    data = data_of(t, r);
    return data ? 1 : r < 0 ? -1 : 0;
}

// The collector, held off while the inputs are read for the last time:
// nothing then runs but torch's getters.
class CollectorHeld {
  public:
    CollectorHeld() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorHeld() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorHeld(const CollectorHeld &) = delete;
    CollectorHeld &operator=(const CollectorHeld &) = delete;

  private:
    int was_enabled_;
};

// The last reads and the pass. 1 with `result` filled, 0, -1.
int confirm_and_fill(PyObject *globals, PyObject *logits, PyObject *mask, PyObject *result,
                     const Choice &ch) {
    const Collaborators &c = collaborators();
    CollectorHeld held;
    int r = settings_hold(globals, logits, mask);
    if (r <= 0)
        return r;
    if (ch.default_dtype) {
        Ref now = call(c.get_default_dtype);
        if (!now)
            return failed();
        if (now.get() != ch.default_dtype.get())
            return 0;
    }
    Ref shape = get(c.tensor_shape, logits);
    if (!shape)
        return failed();
    const Py_ssize_t n = entries_of(shape.get());
    if (n <= 0)
        return 0;
    char *x = nullptr, *m = nullptr, *o = nullptr;
    if ((r = still_plain(logits, ch.logits_dtype.get(), shape.get(), x)) <= 0 ||
        (r = still_plain(mask, ch.mask_dtype.get(), shape.get(), m)) <= 0)
        return r;
    // The result is made here, as a contiguous CPU tensor of the dtype asked
    // for, and nothing else holds it: only its shape (the logits' when it was
    // made) is to be seen to.
    Ref result_shape = get(c.tensor_shape, result);
    if (!result_shape)
        return failed();
    r = PyObject_RichCompareBool(result_shape.get(), shape.get(), Py_EQ);
    if (r <= 0)
        return r < 0 ? failed() : 0;
    o = data_of(result, r);
    if (!o)
        return r < 0 ? -1 : 0;
    Kernel kernel = ch.result == Elem::Float ? for_logits<float>(ch.logits, ch.mask)
                                             : for_logits<double>(ch.logits, ch.mask);
    if (!kernel)
        return 0;
    return kernel(x, m, o, static_cast<size_t>(n)) ? 1 : 0;
}

PyObject *kwnames_dtype_memory_format() {
    static PyObject *t = nullptr;
    if (SU_UNLIKELY(!t)) {
        PyObject *a = SU_STR(dtype), *b = SU_STR(memory_format);
        if (a && b)
            keep_once(t, PyTuple_Pack(2, a, b));
    }
    return t;
}

} // namespace

int apply_tensor_mask_native(PyObject *globals, PyObject *logits, PyObject *mask, Ref &out) {
    const int ready = collaborators_ready();
    if (ready <= 0)
        return ready;
    const Collaborators &c = collaborators();
    if (reinterpret_cast<PyObject *>(Py_TYPE(logits)) != c.tensor ||
        reinterpret_cast<PyObject *>(Py_TYPE(mask)) != c.tensor)
        return 0;
    Choice ch;
    int r = choose(globals, logits, mask, ch);
    if (r <= 0)
        return r;
    PyObject *argv[] = {logits, ch.result_dtype, c.contiguous_format};
    Ref result = call_kw(c.empty_like, argv, 1, kwnames_dtype_memory_format());
    if (!result)
        return failed();
    r = confirm_and_fill(globals, logits, mask, result.get(), ch);
    if (r > 0)
        out = std::move(result);
    return r;
}

} // namespace su
