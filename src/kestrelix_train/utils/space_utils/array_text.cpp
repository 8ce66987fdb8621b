// The trace line of make_np_array and the text of numpy values.
//
// make_np_array writes `print("x===", x, type(x))` on every call. Turning an
// array into text costs numpy tens of microseconds (its printer is Python),
// far more than the conversion itself, so when `print` is the interpreter's
// own print the line is made here:
//
//   * Writing follows the built-in print step by step: sys.stdout is looked
//     up at the call (None: nothing is written; missing: RuntimeError "lost
//     sys.stdout"); then, for each argument and separator and for the line
//     end, `write` is looked up on the stream, the text is made, and write()
//     is called with it. Nothing is flushed.
//   * The text of an exact numpy.ndarray of bool, integer or float16/32/64
//     dtype in native byte order, of the matching numpy scalars, and of
//     exact dicts, OrderedDicts, lists and tuples holding them is made here,
//     as numpy's printer and the interpreter's container repr make it.
//     Anything else goes through str()/repr() as before.
//   * numpy's text is reproduced only for the numpy lines it was checked
//     against (kLines: 1.26 and 2.0 to 2.5) and only while numpy's print
//     options are the defaults and numpy's printer module is as it was when
//     first seen; both are checked before every array and scalar (two dict
//     version tags compared in the common case, and from numpy 2.1 on the
//     value of the context variable that holds the options). Otherwise numpy
//     makes the text itself.
//   * The lines differ in where the printer and its options live, and in
//     the repr of numpy scalars (from numpy 2 on it names the type, as in
//     "np.float32(1.5)" and "np.True_"); the digits are the same.
//
// numpy's printer, in short (default options): summarize past 1000 elements
// to the 3 leading and trailing items of each long axis; format every shown
// element to a common width; wrap rows at 75 columns; float digits are the
// shortest that round-trip at the value's own precision, cut to 8 digits
// after the point (rounding the exact binary value, ties to even), and
// switch to exponent notation when the shown values span too wide a range.
#include "array_text.h"
#include "collaborators.h"
#include "guards.h"
#include "internals.h"
#include "platform.h"

#include <numpy/arrayscalars.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace su {

namespace {

// ===========================================================================
// Readiness: numpy's C API, numpy's printer, the interpreter's print
// ===========================================================================

// A numpy line whose printer the native text was checked against. Any other
// numpy (an older or newer line, a development build) makes its own text.
struct NumpyLine {
    const char *version;            // how numpy.__version__ starts
    const char *printer;            // the module of numpy's printer
    bool options_in_context;        // the options live in the context variable
                                    // `format_options` (else in the dict `_format_options`)
    bool override_repr;             // the options include `override_repr`
    bool typed_scalar_repr;         // repr(np.float32(1.5)) is "np.float32(1.5)", not "1.5"
    bool shape_of_summarized;       // repr() of a summarized array ends with its shape
    bool cutoffs_in_type;           // an array's magnitudes are compared with the exponent
                                    // notation cutoffs in the array's own type
    bool exp_cutoff_by_type;        // the magnitude from which floats switch to exponent
                                    // notation depends on the type's precision
    const char *const *extra_names; // printer names on top of kPrinterNames
};

// Names in numpy's printer module that str()/repr() of an array reach, on
// every line below, and those of single lines. The native text stands in for
// them only while each is still bound to the object found when the unit was
// readied.
// clang-format off
constexpr const char *kPrinterNames[] = {
    "_default_array_str", "_default_array_repr", "_array_str_implementation", "_array_repr_implementation",
    "array2string", "_array2string", "_array2string_impl", "_formatArray", "_extendLine", "_extendLine_pretty",
    "_leading_trailing", "_get_format_function", "_get_formatdict", "FloatingFormat", "IntegerFormat",
    "BoolFormat", "dtype_is_implied", "dtype_short_repr", "_typelessdata", "_guarded_repr_or_str",
    "dragon4_positional", "dragon4_scientific", "_none_or_positive_arg", "np", "_nt", "isfinite", "isinf",
    "absolute", "asarray", "concatenate", "errstate", "any", "ndarray", "flexible", "int_"};
constexpr const char *kNames126[] = {"bool_", "float_", "complex_", "_format_options", nullptr};
constexpr const char *kNames20[] = {"_format_options", nullptr};
constexpr const char *kNames2x[] = {"format_options", nullptr};

constexpr NumpyLine kLines[] = {
    {"1.26.", "numpy.core.arrayprint", false, false, false, false, false, false, kNames126},
    {"2.0.", "numpy._core.arrayprint", false, false, true, false, true, false, kNames20},
    {"2.1.", "numpy._core.arrayprint", true, true, true, false, true, false, kNames2x},
    {"2.2.", "numpy._core.arrayprint", true, true, true, true, true, false, kNames2x},
    {"2.3.", "numpy._core.arrayprint", true, true, true, true, true, true, kNames2x},
    {"2.4.", "numpy._core.arrayprint", true, true, true, true, true, true, kNames2x},
    {"2.5.", "numpy._core.arrayprint", true, true, true, true, true, true, kNames2x},
};
// clang-format on
constexpr size_t kNumPrinterNames = sizeof(kPrinterNames) / sizeof(kPrinterNames[0]);
constexpr size_t kMaxNames = kNumPrinterNames + 4;

constexpr bool extra_names_fit() {
    for (const NumpyLine &line : kLines) {
        size_t n = 0;
        while (line.extra_names[n])
            ++n;
        if (kNumPrinterNames + n > kMaxNames)
            return false;
    }
    return true;
}
static_assert(extra_names_fit(), "kMaxNames holds every line's names");

// The name of the i-th guarded printer name of `line` (nullptr past the end).
const char *printer_name(const NumpyLine &line, size_t i) {
    return i < kNumPrinterNames ? kPrinterNames[i] : line.extra_names[i - kNumPrinterNames];
}

struct State {
    int ready = 0;                   // 0: not tried, 1: ready, -1: unavailable
    const NumpyLine *line = nullptr; // the installed numpy's line
    PyObject *print = nullptr;       // the interpreter's own print
    PyObject *printer = nullptr;     // the printer module's __dict__
    PyObject *options_var = nullptr; // the context variable of the options, on lines that have one
    PyObject *bound[kMaxNames] = {};
    PyObject *options = nullptr; // the options dict last found at the defaults
    guards::Snapshot seen;       // the printer's namespace and that dict, when last found as expected
};
State g;

const NumpyLine *numpy_line(PyObject *version) {
    if (!PyUnicode_Check(version))
        return nullptr;
    for (const NumpyLine &line : kLines) {
        Ref prefix = Ref::steal(PyUnicode_FromString(line.version));
        if (!prefix)
            return nullptr;
        if (PyUnicode_Tailmatch(version, prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1)
            return &line;
    }
    return nullptr;
}

// Loads what the native text needs, on top of the collaborators: the
// interpreter's own print and numpy's printer module. 1: ready; 0: the
// native text is not available (print is then called as usual); -1: an
// error that must not be swallowed, tried again on the next call.
int ready() {
    if (SU_LIKELY(g.ready != 0))
        return g.ready > 0;
    int r = collaborators_ready();
    if (r <= 0)
        return r;
    Ref version = Ref::steal(PyObject_GetAttrString(collaborators().numpy, "__version__"));
    const NumpyLine *line = version ? numpy_line(version.get()) : nullptr;
    if (PyErr_Occurred())
        return -1;
    if (!line) {
        g.ready = -1;
        return 0;
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref print = builtins ? Ref::steal(PyObject_GetAttrString(builtins.get(), "print")) : Ref();
    Ref arrayprint = print ? Ref::steal(PyImport_ImportModule(line->printer)) : Ref();
    if (!arrayprint) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        g.ready = -1;
        return 0;
    }
    // The built-in print itself (not a replacement bound before this ran).
    bool ok = PyCFunction_Check(print.get()) && PyCFunction_GET_SELF(print.get()) == builtins.get() &&
              std::strcmp(reinterpret_cast<PyCFunctionObject *>(print.get())->m_ml->ml_name, "print") == 0;
    PyObject *printer = PyModule_GetDict(arrayprint.get());
    PyObject *bound[kMaxNames] = {};
    for (size_t i = 0; ok && printer_name(*line, i); ++i) {
        bound[i] = PyDict_GetItemString(printer, printer_name(*line, i));
        ok = bound[i] != nullptr;
    }
    Ref options_var =
        ok && line->options_in_context ? Ref::borrow(PyDict_GetItemString(printer, "format_options")) : Ref();
    ok = ok && (!line->options_in_context || (options_var && PyContextVar_CheckExact(options_var.get())));
    if (PyErr_Occurred())
        return -1;
    if (g.ready != 0) // set up meanwhile by another thread (the imports let others run)
        return g.ready > 0;
    if (!ok) {
        g.ready = -1;
        return 0;
    }
    for (size_t i = 0; printer_name(*line, i); ++i)
        g.bound[i] = Py_NewRef(bound[i]);
    g.line = line;
    g.printer = Py_NewRef(printer);
    g.options_var = options_var.release();
    g.print = print.release();
    g.ready = 1;
    return 1;
}

// ---------------------------------------------------------------------------
// Whether numpy would make its text with its own printer and default options
// ---------------------------------------------------------------------------

bool is_int(PyObject *v, long long want) {
    if (!v || !PyLong_CheckExact(v))
        return false;
    int overflow = 0;
    long long got = PyLong_AsLongLongAndOverflow(v, &overflow);
    return !overflow && got == want;
}

bool is_text(PyObject *v, const char *want) {
    return v && PyUnicode_CheckExact(v) && PyUnicode_CompareWithASCIIString(v, want) == 0;
}

PyObject *option(PyObject *options, const char *name) {
    return PyDict_GetItemString(options, name); // borrowed
}

bool options_are_defaults(PyObject *o) {
    bool override = g.line->override_repr;
    return PyDict_CheckExact(o) && PyDict_GET_SIZE(o) == (override ? 12 : 11) &&
           is_int(option(o, "edgeitems"), 3) && is_int(option(o, "threshold"), 1000) &&
           is_text(option(o, "floatmode"), "maxprec") && is_int(option(o, "precision"), 8) &&
           option(o, "suppress") == Py_False && is_int(option(o, "linewidth"), 75) &&
           is_text(option(o, "nanstr"), "nan") && is_text(option(o, "infstr"), "inf") &&
           is_text(option(o, "sign"), "-") && option(o, "formatter") == Py_None &&
           is_int(option(o, "legacy"), PY_SSIZE_T_MAX) &&
           (!override || option(o, "override_repr") == Py_None);
}

bool printer_names_bound() {
    for (size_t i = 0; printer_name(*g.line, i); ++i)
        if (PyDict_GetItemString(g.printer, printer_name(*g.line, i)) != g.bound[i])
            return false;
    return true;
}

// The options dict in force (a new reference), nullptr with an error set or,
// where numpy's printer lost it, without one.
Ref options_in_force() {
    if (g.options_var) {
        PyObject *v = nullptr;
        if (PyContextVar_Get(g.options_var, nullptr, &v) < 0)
            return {};
        return Ref::steal(v);
    }
    return Ref::borrow(PyDict_GetItemString(g.printer, "_format_options"));
}

bool as_last_seen(PyObject *options) {
    return options && options == g.options && g.seen.unchanged();
}

// 1 while numpy would print with its default options and its own printer
// right now, 0 when it would not, -1 on error. Cheap while nothing changed:
// the printer module's version tag and the options dict's (with, where the
// options live in a context variable, that variable's value).
//
// The slow path may run Python code (a finalizer releasing the dict kept
// before, a key's comparison): the caller must look again at anything it
// decided before calling.
int numpy_text_is_default() {
    if (SU_LIKELY(!g.options_var && g.options && g.seen.unchanged()))
        return 1;
    Ref options = options_in_force();
    if (!options)
        return PyErr_Occurred() ? -1 : 0;
    if (SU_LIKELY(as_last_seen(options.get())))
        return 1;
    if (!PyDict_CheckExact(options.get()))
        return 0;
    // The tags before the checks: a change made while checking (or while
    // the dicts taken before are released) shows.
    g.seen.take({g.printer, options.get()});
    bool ok = options_are_defaults(options.get()) && printer_names_bound();
    if (PyErr_Occurred())
        return -1;
    if (!ok || !g.seen.unchanged()) {
        g.seen.forget();
        return 0;
    }
    Py_XSETREF(g.options, options.release()); // the old dict's finalizers may run here
    options = options_in_force();
    if (!options)
        return PyErr_Occurred() ? -1 : 0;
    return as_last_seen(options.get());
}

// ===========================================================================
// Text being built: UTF-8 bytes, ASCII in the common case
// ===========================================================================

class Text {
  public:
    std::string buf;

    void put(char c) { buf.push_back(c); }
    void put(std::string_view s) { buf.append(s); }
    // Appends the characters of a str. Returns 0 or -1.
    int put_str(PyObject *s) {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(s, &n);
        if (SU_LIKELY(p)) {
            if (!PyUnicode_IS_ASCII(s))
                ascii_ = false;
            buf.append(p, static_cast<size_t>(n));
            return 0;
        }
        ascii_ = false;
        // Lone surrogates (a __repr__ may return them): carried through as
        // their UTF-8 forms and decoded back at the end.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            return -1;
        PyErr_Clear();
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
        if (!bytes)
            return -1;
        buf.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        surrogates_ = true;
        return 0;
    }
    Ref finish() const {
        if (ascii_) {
            Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(buf.size()), 127));
            if (s)
                std::memcpy(PyUnicode_DATA(s.get()), buf.data(), buf.size());
            return s;
        }
        return Ref::steal(PyUnicode_DecodeUTF8(buf.data(), static_cast<Py_ssize_t>(buf.size()),
                                               surrogates_ ? "surrogatepass" : nullptr));
    }

  private:
    bool ascii_ = true;
    bool surrogates_ = false;
};

// ===========================================================================
// Decimal digits of binary floats
// ===========================================================================

// A finite value as decimal digits: d1.d2...dn x 10^exp with no trailing
// zeros (zero is the single digit 0 with exp 0).
struct Decimal {
    static constexpr int kMaxDigits = 40; // more than any digits asked for here
    char digits[kMaxDigits];
    int n = 0;
    int exp = 0;
    bool neg = false;

    void set_zero() {
        digits[0] = '0';
        n = 1;
        exp = 0;
    }
    void trim() {
        while (n > 1 && digits[n - 1] == '0')
            --n;
    }
    bool is_zero() const { return n == 1 && digits[0] == '0'; }
};

// "d[.ddd]e[+-]x" as std::to_chars writes it (no sign).
void parse_scientific(const char *p, const char *end, Decimal &d) {
    d.n = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.' && d.n < Decimal::kMaxDigits)
            d.digits[d.n++] = *p;
    bool neg = false;
    int e = 0;
    if (p < end) {
        ++p;
        if (p < end && (*p == '-' || *p == '+'))
            neg = *p++ == '-';
        for (; p < end; ++p)
            e = e * 10 + (*p - '0');
    }
    d.exp = neg ? -e : e;
    d.trim();
    if (d.n == 1 && d.digits[0] == '0')
        d.exp = 0;
}

// "iii[.fff]" as std::to_chars writes it (no sign).
void parse_fixed(const char *p, const char *end, Decimal &d) {
    const char *point = std::find(p, end, '.');
    const char *first = p;
    while (first < end && (*first == '0' || *first == '.'))
        ++first;
    if (first == end) {
        d.set_zero();
        return;
    }
    // The position of the first significant digit relative to the point.
    d.exp = first < point ? static_cast<int>(point - first) - 1 : -static_cast<int>(first - point);
    d.n = 0;
    for (const char *q = first; q < end; ++q)
        if (*q != '.' && d.n < Decimal::kMaxDigits)
            d.digits[d.n++] = *q;
    d.trim();
}

// float32 and float64: std::to_chars gives the shortest round-trip digits
// at the value's own precision and rounds the exact binary value, ties to
// even, when digits are cut.
template <class T> void shortest_digits(T a, Decimal &d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    parse_scientific(buf, r.ptr, d);
}
void digits_to_places(double a, int places, Decimal &d) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::fixed, places);
    parse_fixed(buf, r.ptr, d);
}
void digits_to_significant(double a, int digits, Decimal &d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, digits - 1);
    parse_scientific(buf, r.ptr, d);
}

// How numpy's printer ends a digit string that it cuts or extends: the last
// digit is rounded down when only rounding down stays within half a step of
// the value's neighbours, up when only rounding up does, and otherwise to the
// nearest, ties to the even digit. Inside the rounding interval either way
// (the usual case once past the shortest digits) this is plain nearest
// rounding of the exact value; only a value whose lower neighbour is nearer
// than its upper one (a power of two) can round otherwise.
struct Units {
    u128 k, rem, unit; // the value is k * unit + rem
    u128 below, above; // half the distances to the neighbours
    bool even;         // boundaries belong to the value's interval
};

u128 nearest(const Units &u) {
    u128 twice = u.rem * 2;
    if (twice < u.unit || (twice == u.unit && (u.k & 1) == 0))
        return u.k;
    return u.k + 1;
}

bool rounds_down_inside(const Units &u) {
    return u.even ? u.rem <= u.below : u.rem < u.below;
}
bool rounds_up_inside(const Units &u) {
    return u.even ? u.unit - u.rem <= u.above : u.unit - u.rem < u.above;
}

u128 last_digit_rounded(const Units &u) {
    bool low = rounds_down_inside(u), high = rounds_up_inside(u);
    if (low != high)
        return low ? u.k : u.k + 1;
    return nearest(u);
}

void decimal_from(u128 k, int q, Decimal &d) {
    if (k == 0) {
        d.set_zero();
        return;
    }
    char tmp[40];
    int n = 0;
    while (k) {
        tmp[n++] = static_cast<char>('0' + static_cast<int>(k % 10));
        k /= 10;
    }
    for (int i = 0; i < n; ++i)
        d.digits[i] = tmp[n - 1 - i];
    d.n = n;
    d.exp = q + n - 1;
    d.trim();
}

u128 pow10_u128(int n) {
    u128 p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

// float16, exactly: the value is V / 2^25 with V an integer below 2^41, the
// half-distances to its neighbours likewise (the one below is nearer at the
// bottom of a binade).
struct HalfExact {
    u128 v = 0, below = 0, above = 0;
    bool even = true;
};

constexpr int kHalfShift = 25;

HalfExact half_exact(uint16_t bits) {
    unsigned biased = (bits >> 10) & 0x1f, frac = bits & 0x3ff;
    uint64_t m = biased ? (frac | 0x400) : frac;
    int shift = biased ? static_cast<int>(biased) : 1; // exponent + 25, at least 1
    HalfExact h;
    h.v = static_cast<u128>(m) << shift;
    u128 ulp = static_cast<u128>(1) << shift;
    h.above = ulp / 2;
    h.below = (biased > 1 && frac == 0) ? ulp / 4 : ulp / 2;
    h.even = (m & 1) == 0;
    return h;
}

// floor(log10(value)) for a positive value V / 2^25.
int half_decimal_exponent(u128 v) {
    const u128 one = static_cast<u128>(1) << kHalfShift;
    int e = 0;
    if (v >= one) {
        while (v >= pow10_u128(e + 1) * one)
            ++e;
    } else {
        e = -1;
        while (v * pow10_u128(-e) < one)
            --e;
    }
    return e;
}

// The value in units of 10^q, over one common denominator.
Units half_units(const HalfExact &h, int q) {
    int s = q < 0 ? -q : 0;
    u128 scale = pow10_u128(s);
    Units u;
    u.unit = pow10_u128(q > 0 ? q : 0) << kHalfShift;
    u128 v = h.v * scale;
    u.k = v / u.unit;
    u.rem = v % u.unit;
    u.below = h.below * scale;
    u.above = h.above * scale;
    u.even = h.even;
    return u;
}

// The shortest digits that identify the value among float16 values.
void half_shortest(const HalfExact &h, Decimal &d) {
    int e = half_decimal_exponent(h.v);
    for (int n = 1;; ++n) {
        int q = e - n + 1;
        Units u = half_units(h, q);
        if (rounds_down_inside(u) || rounds_up_inside(u) || n >= 17) {
            decimal_from(last_digit_rounded(u), q, d);
            return;
        }
    }
}

// Unsigned integers of any size, for powers of two of float32 and float64
// (rare enough that simple long arithmetic does).
class BigUint {
  public:
    explicit BigUint(uint32_t v) {
        if (v)
            w_.push_back(v);
    }
    BigUint &mul_small(uint32_t m) {
        uint64_t carry = 0;
        for (auto &x : w_) {
            uint64_t t = static_cast<uint64_t>(x) * m + carry;
            x = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        if (carry)
            w_.push_back(static_cast<uint32_t>(carry));
        return *this;
    }
    BigUint &mul_pow10(int n) {
        static const uint32_t small[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
        for (; n >= 9; n -= 9)
            mul_small(1000000000u);
        return mul_small(small[n]);
    }
    BigUint &shl(int bits) {
        if (w_.empty() || bits == 0)
            return *this;
        int b = bits % 32;
        if (b) {
            uint32_t carry = 0;
            for (auto &x : w_) {
                uint32_t next = (x << b) | carry;
                carry = x >> (32 - b);
                x = next;
            }
            if (carry)
                w_.push_back(carry);
        }
        w_.insert(w_.begin(), static_cast<size_t>(bits / 32), 0u);
        return *this;
    }
    int cmp(const BigUint &o) const {
        if (w_.size() != o.w_.size())
            return w_.size() < o.w_.size() ? -1 : 1;
        for (size_t i = w_.size(); i-- > 0;)
            if (w_[i] != o.w_[i])
                return w_[i] < o.w_[i] ? -1 : 1;
        return 0;
    }
    BigUint &add(const BigUint &o) {
        if (w_.size() < o.w_.size())
            w_.resize(o.w_.size(), 0u);
        uint64_t carry = 0;
        for (size_t i = 0; i < w_.size(); ++i) {
            uint64_t t = static_cast<uint64_t>(w_[i]) + (i < o.w_.size() ? o.w_[i] : 0u) + carry;
            w_[i] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        if (carry)
            w_.push_back(static_cast<uint32_t>(carry));
        return *this;
    }
    BigUint &sub(const BigUint &o) { // requires *this >= o
        int64_t borrow = 0;
        for (size_t i = 0; i < w_.size(); ++i) {
            int64_t t = static_cast<int64_t>(w_[i]) - (i < o.w_.size() ? o.w_[i] : 0u) - borrow;
            borrow = t < 0;
            w_[i] = static_cast<uint32_t>(t + (borrow << 32));
        }
        while (!w_.empty() && w_.back() == 0)
            w_.pop_back();
        return *this;
    }
    // Divides by `d`, leaving the remainder; the quotient must fit 63 bits.
    uint64_t divide(const BigUint &d) {
        uint64_t q = 0;
        for (int bit = 62; bit >= 0; --bit) {
            BigUint t = d;
            t.shl(bit);
            if (cmp(t) >= 0) {
                sub(t);
                q |= uint64_t{1} << bit;
            }
        }
        return q;
    }

  private:
    std::vector<uint32_t> w_; // least significant word first
};

// 2^e rounded to n significant digits by the rule above, for a float with
// `mbits` stored mantissa bits whose exponent is above the lowest (so its
// lower neighbour is half as far as its upper one).
void pow2_significant(int e, int mbits, int n, Decimal &d) {
    int dec = static_cast<int>(std::floor(e * 0.30102999566398119521)); // floor(log10(2^e)), checked below
    for (int tries = 0; tries < 4; ++tries) {
        int q = dec - n + 1;
        int a = std::max(0, mbits + 2 - e), b = std::max(0, -q);
        BigUint rem(1), unit(1), below(1);
        rem.shl(e + a).mul_pow10(b);
        unit.mul_pow10(q + b).shl(a);
        below.shl(e - mbits - 2 + a).mul_pow10(b);
        BigUint above = below;
        above.shl(1);
        uint64_t k = rem.divide(unit);
        if (k >= static_cast<uint64_t>(pow10_u128(n))) {
            ++dec;
            continue;
        }
        if (k < static_cast<uint64_t>(pow10_u128(n - 1))) {
            --dec;
            continue;
        }
        bool low = rem.cmp(below) <= 0; // the mantissa is even: boundaries included
        BigUint top = rem;
        top.add(above);
        bool high = top.cmp(unit) >= 0;
        if (low == high) {
            BigUint twice = rem;
            twice.shl(1);
            int c = twice.cmp(unit);
            high = c > 0 || (c == 0 && (k & 1));
        }
        decimal_from(high ? k + 1 : k, q, d);
        return;
    }
}

// ===========================================================================
// Element types
// ===========================================================================

struct HalfBits {
    uint16_t bits;
};

double half_to_double(uint16_t bits) {
    unsigned biased = (bits >> 10) & 0x1f, frac = bits & 0x3ff;
    double a;
    if (biased == 0x1f)
        a = frac ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    else if (biased == 0)
        a = std::ldexp(static_cast<double>(frac), -24);
    else
        a = std::ldexp(static_cast<double>(frac | 0x400), static_cast<int>(biased) - 25);
    return (bits & 0x8000) ? -a : a;
}

// A float rounded to float16 (nearest, ties to even), as a double.
double round_to_half(float f) {
    double a = std::fabs(static_cast<double>(f));
    if (!(a < 65520.0))
        return std::isnan(a) ? a : std::numeric_limits<double>::infinity();
    double unit;
    if (a < 0x1p-14) {
        unit = 0x1p-24;
    } else {
        int ex = 0;
        std::frexp(a, &ex); // a = m * 2^ex, m in [0.5, 1)
        unit = std::ldexp(1.0, ex - 11);
    }
    return std::nearbyint(a / unit) * unit;
}

// What numpy's printer needs of each float type. Digits are of the
// magnitude; the sign is kept apart.
//   shortest:       the shortest digits that identify the value;
//   to_places:      rounded to `places` digits after the point (nearest);
//   to_significant: exactly n significant digits, the last rounded by the
//                   rule above.
template <class S> struct FloatType;

// The magnitude from which a scalar's text is in exponent notation.
template <class S> double scalar_cutoff() {
    return g.line->exp_cutoff_by_type ? FloatType<S>::scalar_exp_cutoff : 1.e16;
}

template <> struct FloatType<HalfBits> {
    static constexpr double exp_cutoff = 1.e3;
    static constexpr double scalar_exp_cutoff = 1.e3;
    static double value(HalfBits h) { return half_to_double(h.bits); }
    static void shortest(HalfBits h, Decimal &d) {
        if ((h.bits & 0x7fff) == 0)
            d.set_zero();
        else
            half_shortest(half_exact(h.bits & 0x7fff), d);
    }
    static void to_places(HalfBits h, int places, Decimal &d) {
        decimal_from(nearest(half_units(half_exact(h.bits & 0x7fff), -places)), -places, d);
    }
    static void to_significant(HalfBits h, int n, Decimal &d) {
        HalfExact x = half_exact(h.bits & 0x7fff);
        int q = half_decimal_exponent(x.v) - n + 1;
        decimal_from(last_digit_rounded(half_units(x, q)), q, d);
    }
    static double in_type(double v) { return round_to_half(static_cast<float>(v)); }
    // max / min as numpy's float16 scalars divide: in float, then rounded.
    static double ratio(double max, double min) {
        return round_to_half(static_cast<float>(max) / static_cast<float>(min));
    }
    // The range in which the scalar's text is positional.
    static bool positional(double v) {
        float a = std::fabs(static_cast<float>(v));
        return a == 0 || (a < scalar_cutoff<HalfBits>() && a >= 1.e-4);
    }
};

template <class T, class Bits, int kMantissaBits, int kBias> struct IeeeFloat {
    static double value(T v) { return static_cast<double>(v); }
    static void shortest(T v, Decimal &d) { shortest_digits<T>(std::fabs(v), d); }
    static void to_places(T v, int places, Decimal &d) { digits_to_places(std::fabs(double(v)), places, d); }
    static void to_significant(T v, int n, Decimal &d) {
        Bits bits;
        std::memcpy(&bits, &v, sizeof bits);
        int biased = static_cast<int>((bits >> kMantissaBits) &
                                      ((Bits{1} << (sizeof(T) * 8 - 1 - kMantissaBits)) - 1));
        if ((bits & ((Bits{1} << kMantissaBits) - 1)) == 0 && biased > 1)
            pow2_significant(biased - kBias, kMantissaBits, n, d);
        else
            digits_to_significant(std::fabs(double(v)), n, d);
    }
    static double in_type(double v) { return static_cast<T>(v); }
    static double ratio(double max, double min) {
        return static_cast<T>(static_cast<T>(max) / static_cast<T>(min));
    }
    static bool positional(double v) {
        if (std::isnan(v) || v == 0)
            return true;
        long double a = std::fabs(static_cast<long double>(static_cast<T>(v)));
        return a < scalar_cutoff<T>() && a >= 1.e-4L;
    }
};
template <> struct FloatType<float> : IeeeFloat<float, uint32_t, 23, 127> {
    static constexpr double exp_cutoff = 1.e6;
    static constexpr double scalar_exp_cutoff = 1.e6;
};
template <> struct FloatType<double> : IeeeFloat<double, uint64_t, 52, 1023> {
    static constexpr double exp_cutoff = 1.e8;
    static constexpr double scalar_exp_cutoff = 1.e16;
};

// ---------------------------------------------------------------------------
// Float text pieces
// ---------------------------------------------------------------------------

enum class Kind : uint8_t { Finite, NaN, Inf, NegInf };

struct FloatDigits {
    Decimal d;
    Kind kind = Kind::Finite;
    bool cut = false; // the shortest digits were cut to the precision
};

template <class S> FloatDigits classify(S s) {
    double v = FloatType<S>::value(s);
    FloatDigits f;
    if (std::isnan(v))
        f.kind = Kind::NaN;
    else if (std::isinf(v))
        f.kind = v < 0 ? Kind::NegInf : Kind::Inf;
    f.d.neg = std::signbit(v);
    return f;
}

std::string_view non_finite_text(Kind k) {
    return k == Kind::NaN ? "nan" : k == Kind::Inf ? "inf" : "-inf";
}

// Integer part of a positional number, sign included.
void put_int_part(std::string &out, const Decimal &d) {
    if (d.neg)
        out.push_back('-');
    if (d.exp < 0) {
        out.push_back('0');
        return;
    }
    for (int i = 0; i <= d.exp; ++i)
        out.push_back(i < d.n ? d.digits[i] : '0');
}
int int_part_len(const Decimal &d) {
    return (d.neg ? 1 : 0) + (d.exp < 0 ? 1 : d.exp + 1);
}
int frac_part_len(const Decimal &d) {
    if (d.is_zero())
        return 0;
    return std::max(0, d.n - 1 - d.exp);
}
void put_frac_part(std::string &out, const Decimal &d) {
    if (d.is_zero())
        return;
    if (d.exp < 0) {
        out.append(static_cast<size_t>(-d.exp - 1), '0');
        out.append(d.digits, static_cast<size_t>(d.n));
    } else if (d.n > d.exp + 1) {
        out.append(d.digits + d.exp + 1, static_cast<size_t>(d.n - d.exp - 1));
    }
}
int exp_digit_count(int e) {
    e = e < 0 ? -e : e;
    int n = 1;
    while (e >= 10) {
        e /= 10;
        ++n;
    }
    return std::max(n, 2);
}
void put_exponent(std::string &out, int e, int width) {
    out.push_back('e');
    out.push_back(e < 0 ? '-' : '+');
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, e < 0 ? -e : e);
    out.append(static_cast<size_t>(std::max(0, width - static_cast<int>(r.ptr - buf))), '0');
    out.append(buf, r.ptr);
}

// The digits numpy's printer first finds for a shown element: the shortest,
// cut to 8 digits after the point (positional) or after the first digit
// (exponent notation). They fix the widths of the column.
// Returns whether they were cut.
template <class S> bool first_digits(S s, bool exp_format, Decimal &d) {
    bool neg = d.neg, cut = false;
    FloatType<S>::shortest(s, d);
    if (!d.is_zero()) {
        if (exp_format && d.n - 1 > 8) {
            FloatType<S>::to_significant(s, 9, d);
            cut = true;
        } else if (!exp_format && frac_part_len(d) > 8) {
            FloatType<S>::to_places(s, 8, d);
            cut = true;
        }
    }
    d.neg = neg;
    return cut;
}

// The str() of a numpy float scalar.
template <class S> void scalar_float_text(std::string &out, S s) {
    FloatDigits f = classify(s);
    if (f.kind != Kind::Finite) {
        out.append(non_finite_text(f.kind));
        return;
    }
    if (std::fabs(FloatType<S>::value(s)) == 0)
        f.d.set_zero();
    else
        FloatType<S>::shortest(s, f.d);
    const Decimal &d = f.d;
    if (FloatType<S>::positional(FloatType<S>::value(s))) {
        put_int_part(out, d);
        out.push_back('.');
        if (frac_part_len(d) == 0)
            out.push_back('0');
        else
            put_frac_part(out, d);
        return;
    }
    if (d.neg)
        out.push_back('-');
    out.push_back(d.digits[0]);
    if (d.n > 1) {
        out.push_back('.');
        out.append(d.digits + 1, static_cast<size_t>(d.n - 1));
    }
    put_exponent(out, d.exp, 2);
}

// ===========================================================================
// Element formatters: every shown element to one common width
// ===========================================================================

template <class S> class FloatWords {
  public:
    explicit FloatWords(const std::vector<S> &vals) : digits_(vals.size()) {
        // Exponent notation when the non-zero finite magnitudes reach 1e8
        // (on newer lines 10^min(8, decimal digits of the type): 1e3 for
        // float16, 1e6 for float32), go below 1e-4 or span more than a
        // factor of 1000. From numpy 2 on the magnitudes are compared with
        // the cutoffs rounded to the array's type (float32's 1e-4 is a little
        // below 1e-4); the large cutoffs are exact in every type.
        double max = 0, min = 0;
        bool any = false, non_finite = false, neg_inf = false;
        for (size_t i = 0; i < vals.size(); ++i) {
            digits_[i] = classify(vals[i]);
            if (digits_[i].kind != Kind::Finite) {
                non_finite = true;
                neg_inf |= digits_[i].kind == Kind::NegInf;
                continue;
            }
            double a = std::fabs(FloatType<S>::value(vals[i]));
            if (a != 0) {
                max = any ? std::max(max, a) : a;
                min = any ? std::min(min, a) : a;
                any = true;
            }
        }
        double cutoff = g.line->exp_cutoff_by_type ? FloatType<S>::exp_cutoff : 1.e8;
        double small = g.line->cutoffs_in_type ? FloatType<S>::in_type(0.0001) : 0.0001;
        exp_ = any && (max >= cutoff || min < small || FloatType<S>::ratio(max, min) > 1000.);
        bool any_finite = false;
        int frac = 0;
        for (size_t i = 0; i < vals.size(); ++i) {
            FloatDigits &f = digits_[i];
            if (f.kind != Kind::Finite)
                continue;
            any_finite = true;
            f.cut = first_digits(vals[i], exp_, f.d);
            if (exp_) {
                pad_left_ = std::max(pad_left_, f.d.neg ? 2 : 1);
                frac = std::max(frac, f.d.n - 1);
                exp_size_ = std::max(exp_size_, exp_digit_count(f.d.exp));
            } else {
                pad_left_ = std::max(pad_left_, int_part_len(f.d));
                frac = std::max(frac, frac_part_len(f.d));
            }
        }
        if (!any_finite) {
            pad_left_ = pad_right_ = 0;
            exp_ = false;
        } else if (exp_) {
            precision_ = frac;
            pad_right_ = exp_size_ + 2 + precision_;
        } else {
            pad_right_ = frac;
        }
        if (non_finite) {
            int offset = pad_right_ + 1;
            pad_left_ = std::max({pad_left_, 3 - offset, 3 + (neg_inf ? 1 : 0) - offset});
        }
        // The digits printed. In exponent notation every element gets the
        // column's number of digits: past its own shortest digits they are
        // the exact value's, the last rounded by numpy's rule. In positional
        // notation the digits reach at least the units place; a value whose
        // shortest digits stop before it is an integer (its neighbours are
        // at least 2 apart), printed in full. Digits cut to the precision
        // already reach past the point.
        for (size_t i = 0; i < vals.size(); ++i) {
            FloatDigits &f = digits_[i];
            if (f.kind != Kind::Finite || f.d.is_zero())
                continue;
            bool neg = f.d.neg;
            if (exp_ && f.d.n - 1 < precision_)
                FloatType<S>::to_significant(vals[i], precision_ + 1, f.d);
            else if (!exp_ && !f.cut && f.d.exp >= f.d.n)
                decimal_from(static_cast<u128>(std::fabs(FloatType<S>::value(vals[i]))), 0, f.d);
            f.d.neg = neg;
        }
    }

    void word(size_t i, std::string &out) const {
        const FloatDigits &f = digits_[i];
        if (f.kind != Kind::Finite) {
            std::string_view t = non_finite_text(f.kind);
            out.append(static_cast<size_t>(std::max(0, pad_left_ + pad_right_ + 1 - int(t.size()))), ' ');
            out.append(t);
            return;
        }
        const Decimal &d = f.d;
        if (exp_) {
            out.append(static_cast<size_t>(std::max(0, pad_left_ - (d.neg ? 2 : 1))), ' ');
            if (d.neg)
                out.push_back('-');
            out.push_back(d.digits[0]);
            out.push_back('.');
            out.append(d.digits + 1, static_cast<size_t>(d.n - 1));
            out.append(static_cast<size_t>(std::max(0, precision_ - (d.n - 1))), '0');
            put_exponent(out, d.exp, exp_size_);
            return;
        }
        out.append(static_cast<size_t>(std::max(0, pad_left_ - int_part_len(d))), ' ');
        put_int_part(out, d);
        out.push_back('.');
        put_frac_part(out, d);
        out.append(static_cast<size_t>(std::max(0, pad_right_ - frac_part_len(d))), ' ');
    }

  private:
    std::vector<FloatDigits> digits_;
    bool exp_ = false;
    int pad_left_ = 0, pad_right_ = 0, precision_ = 0, exp_size_ = 0;
};

template <class T> class IntWords {
  public:
    explicit IntWords(const std::vector<T> &vals) : vals_(vals) {
        for (T v : vals) {
            char buf[24];
            width_ = std::max(width_, static_cast<int>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
        }
    }
    void word(size_t i, std::string &out) const {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, vals_[i]);
        out.append(static_cast<size_t>(std::max(0, width_ - static_cast<int>(r.ptr - buf))), ' ');
        out.append(buf, r.ptr);
    }

  private:
    const std::vector<T> &vals_;
    int width_ = 0;
};

// A bool element (npy_bool is the same C type as npy_ubyte).
struct BoolByte {
    npy_bool v;
};

class BoolWords {
  public:
    BoolWords(const std::vector<BoolByte> &vals, bool zero_dim) : vals_(vals), zero_dim_(zero_dim) {}
    void word(size_t i, std::string &out) const {
        out.append(vals_[i].v ? (zero_dim_ ? "True" : " True") : "False");
    }

  private:
    const std::vector<BoolByte> &vals_;
    bool zero_dim_;
};

// ===========================================================================
// Array layout: brackets, separators, wrapping and summarization
// ===========================================================================

constexpr npy_intp kThreshold = 1000;
constexpr npy_intp kEdgeItems = 3;
constexpr int kLineWidth = 75;

struct Shape {
    int nd;
    const npy_intp *dims;
    bool summarize;
    // Items shown along an axis: all, or the leading and trailing edge items.
    npy_intp shown(int axis) const {
        return summarize && dims[axis] > 2 * kEdgeItems ? 2 * kEdgeItems : dims[axis];
    }
    bool elided(int axis) const { return summarize && dims[axis] > 2 * kEdgeItems; }
};

// Reads the shown elements in printing order.
template <class S>
void collect(const char *p, const Shape &sh, const npy_intp *strides, int axis, std::vector<S> &out) {
    if (axis == sh.nd) {
        S v;
        std::memcpy(&v, p, sizeof v);
        out.push_back(v);
        return;
    }
    npy_intp n = sh.dims[axis];
    if (sh.elided(axis)) {
        for (npy_intp i = 0; i < kEdgeItems; ++i)
            collect(p + i * strides[axis], sh, strides, axis + 1, out);
        for (npy_intp i = n - kEdgeItems; i < n; ++i)
            collect(p + i * strides[axis], sh, strides, axis + 1, out);
    } else {
        for (npy_intp i = 0; i < n; ++i)
            collect(p + i * strides[axis], sh, strides, axis + 1, out);
    }
}

void rstrip_append(std::string &s, const std::string &line) {
    size_t end = line.find_last_not_of(' ');
    s.append(line, 0, end == std::string::npos ? 0 : end + 1);
}

template <class Words> class Layout {
  public:
    Layout(const Shape &sh, const Words &words, std::string_view sep) : sh_(sh), words_(words), sep_(sep) {
        sep_stripped_ = sep_.substr(0, sep_.find_last_not_of(' ') + 1);
    }

    // The bracketed text of the array, its first line not indented.
    void render(std::string &out, const std::string &hanging, int width) {
        if (sh_.nd == 0) {
            words_.word(next_++, out);
            return;
        }
        rows(out, 0, hanging, width);
    }

  private:
    // Appends `word` to `line`, first moving to a new line when it would
    // pass `width` and the line holds more than its indent.
    void extend(std::string &s, std::string &line, std::string_view word, int width,
                const std::string &hanging) {
        if (line.size() + word.size() > static_cast<size_t>(width) && line.size() > hanging.size()) {
            rstrip_append(s, line);
            s.push_back('\n');
            line = hanging;
        }
        line.append(word);
    }

    void rows(std::string &out, int axis, const std::string &hanging, int width) {
        int left = sh_.nd - axis;
        npy_intp shown = sh_.shown(axis);
        bool elided = sh_.elided(axis);
        std::string s;
        if (left == 1) {
            int elem_width = width - std::max(static_cast<int>(sep_stripped_.size()), 1);
            std::string line = hanging, word;
            for (npy_intp i = 0; i < shown; ++i) {
                word.clear();
                words_.word(next_++, word);
                extend(s, line, word, elem_width, hanging);
                if (i + 1 < shown)
                    line.append(sep_);
                if (elided && i + 1 == kEdgeItems) {
                    extend(s, line, "...", elem_width, hanging);
                    line.append(sep_);
                }
            }
            s.append(line);
        } else {
            std::string next_hanging = hanging + ' ';
            std::string line_sep(sep_stripped_);
            line_sep.append(static_cast<size_t>(left - 1), '\n');
            for (npy_intp i = 0; i < shown; ++i) {
                s.append(hanging);
                rows(s, axis + 1, next_hanging, width - 1);
                if (i + 1 < shown)
                    s.append(line_sep);
                if (elided && i + 1 == kEdgeItems) {
                    s.append(hanging);
                    s.append("...");
                    s.append(line_sep);
                }
            }
        }
        out.push_back('[');
        out.append(s, hanging.size());
        out.push_back(']');
    }

    const Shape &sh_;
    const Words &words_;
    std::string_view sep_, sep_stripped_;
    size_t next_ = 0;
};

// ===========================================================================
// Arrays and scalars
// ===========================================================================

template <class S> struct Of {
    using type = S;
};

// Calls fn(Of<S>{}) with the element type S that holds values of numpy type
// `type_num`; returns false for a type whose text is not made here.
template <class F> bool with_element_type(int type_num, F &&fn) {
    switch (type_num) {
    case NPY_BOOL:
        return fn(Of<BoolByte>{}), true;
    case NPY_BYTE:
        return fn(Of<npy_byte>{}), true;
    case NPY_UBYTE:
        return fn(Of<npy_ubyte>{}), true;
    case NPY_SHORT:
        return fn(Of<npy_short>{}), true;
    case NPY_USHORT:
        return fn(Of<npy_ushort>{}), true;
    case NPY_INT:
        return fn(Of<npy_int>{}), true;
    case NPY_UINT:
        return fn(Of<npy_uint>{}), true;
    case NPY_LONG:
        return fn(Of<npy_long>{}), true;
    case NPY_ULONG:
        return fn(Of<npy_ulong>{}), true;
    case NPY_LONGLONG:
        return fn(Of<npy_longlong>{}), true;
    case NPY_ULONGLONG:
        return fn(Of<npy_ulonglong>{}), true;
    case NPY_HALF:
        return fn(Of<HalfBits>{}), true;
    case NPY_FLOAT:
        return fn(Of<npy_float>{}), true;
    case NPY_DOUBLE:
        return fn(Of<npy_double>{}), true;
    default:
        return false;
    }
}

bool supported_type(int type_num) {
    return with_element_type(type_num, [](auto) {});
}

// An exact ndarray whose text is made here.
bool native_array(PyObject *o) {
    if (!PyArray_CheckExact(o))
        return false;
    PyArray_Descr *d = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(o));
    return supported_type(d->type_num) && PyArray_ISNBO(d->byteorder) && !PyDataType_NAMES(d) &&
           !PyDataType_SUBARRAY(d) && !PyDataType_METADATA(d);
}

std::string_view dtype_name(int type_num, int itemsize) {
    static const char *const ints[] = {"int8", "int16", "int32", "int64"};
    static const char *const uints[] = {"uint8", "uint16", "uint32", "uint64"};
    int slot = itemsize == 1 ? 0 : itemsize == 2 ? 1 : itemsize == 4 ? 2 : 3;
    switch (type_num) {
    case NPY_BOOL:
        return "bool";
    case NPY_HALF:
        return "float16";
    case NPY_FLOAT:
        return "float32";
    case NPY_DOUBLE:
        return "float64";
    case NPY_UBYTE:
    case NPY_USHORT:
    case NPY_UINT:
    case NPY_ULONG:
    case NPY_ULONGLONG:
        return uints[slot];
    default:
        return ints[slot];
    }
}

// The element text of one numpy value of a supported type (the str() of the
// scalar, which is also its repr()).
void scalar_text(std::string &out, int type_num, const void *p) {
    with_element_type(type_num, [&](auto of) {
        using S = typename decltype(of)::type;
        S v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::is_same_v<S, BoolByte>) {
            out.append(v.v ? "True" : "False");
        } else if constexpr (std::is_same_v<S, HalfBits> || std::is_floating_point_v<S>) {
            scalar_float_text(out, v);
        } else {
            char buf[24];
            out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
        }
    });
}

template <class S>
void layout_elements(std::string &out, PyArrayObject *a, const Shape &sh, std::string_view sep,
                     const std::string &hanging, int width) {
    std::vector<S> vals;
    vals.reserve(static_cast<size_t>(std::min<npy_intp>(PyArray_SIZE(a), 1024)));
    collect(PyArray_BYTES(a), sh, PyArray_STRIDES(a), 0, vals);
    if constexpr (std::is_same_v<S, BoolByte>) {
        BoolWords words(vals, sh.nd == 0);
        Layout(sh, words, sep).render(out, hanging, width);
    } else if constexpr (std::is_same_v<S, HalfBits> || std::is_floating_point_v<S>) {
        FloatWords<S> words(vals);
        Layout(sh, words, sep).render(out, hanging, width);
    } else {
        IntWords<S> words(vals);
        Layout(sh, words, sep).render(out, hanging, width);
    }
}

// The elements in brackets, as numpy's array2string lays them out.
void array_body(std::string &out, PyArrayObject *a, std::string_view sep, const std::string &hanging,
                int width) {
    Shape sh{PyArray_NDIM(a), PyArray_DIMS(a), PyArray_SIZE(a) > kThreshold};
    with_element_type(PyArray_DESCR(a)->type_num, [&](auto of) {
        layout_elements<typename decltype(of)::type>(out, a, sh, sep, hanging, width);
    });
}

// str() of an array: a 0-d array prints as its scalar.
void array_str(std::string &out, PyArrayObject *a) {
    if (PyArray_NDIM(a) == 0)
        return scalar_text(out, PyArray_DESCR(a)->type_num, PyArray_DATA(a));
    if (PyArray_SIZE(a) == 0) {
        out.append("[]");
        return;
    }
    static const std::string hanging(" ");
    array_body(out, a, " ", hanging, kLineWidth);
}

// A shape as the repr of its tuple.
void put_shape(std::string &out, PyArrayObject *a) {
    out.push_back('(');
    for (int i = 0; i < PyArray_NDIM(a); ++i) {
        if (i)
            out.append(", ");
        char buf[24];
        out.append(buf, std::to_chars(buf, buf + sizeof buf, PyArray_DIMS(a)[i]).ptr);
    }
    out.append(PyArray_NDIM(a) == 1 ? ",)" : ")");
}

// repr() of an array: "array(...)", then what the values leave unsaid: the
// dtype unless they imply it, and the shape of an empty array of more than
// one dimension (and, where the line does so, of a summarized one).
void array_repr(std::string &out, PyArrayObject *a) {
    constexpr std::string_view prefix = "array(";
    int type_num = PyArray_DESCR(a)->type_num;
    npy_intp size = PyArray_SIZE(a);
    // numpy's default integer: long on numpy 1, intp on numpy 2 (the same
    // type where long is as wide as a pointer, long long on 64-bit Windows)
    bool implied = type_num == NPY_DEFAULT_INT || type_num == NPY_DOUBLE || type_num == NPY_BOOL;
    bool with_dtype = !implied || size == 0;
    bool with_shape =
        (size == 0 && PyArray_NDIM(a) != 1) || (g.line->shape_of_summarized && size > kThreshold);
    size_t start = out.size();
    out.append(prefix);
    if (size > 0) {
        static const std::string hanging(1 + prefix.size(), ' ');
        array_body(out, a, ", ", hanging, kLineWidth - 1);
    } else {
        out.append("[]");
    }
    std::string extras;
    if (with_shape && !g.line->shape_of_summarized) {
        // Older lines write an empty array's shape with its brackets.
        out.append(", shape=");
        put_shape(out, a);
    } else if (with_shape) {
        extras.append("shape=");
        put_shape(extras, a);
    }
    if (with_dtype) {
        extras.append(extras.empty() ? "dtype=" : ", dtype=");
        extras.append(dtype_name(type_num, static_cast<int>(PyArray_ITEMSIZE(a))));
    }
    if (extras.empty()) {
        out.push_back(')');
        return;
    }
    extras.push_back(')');
    out.push_back(',');
    size_t line_start = out.rfind('\n');
    line_start = line_start == std::string::npos || line_start < start ? start : line_start + 1;
    if (out.size() - line_start + extras.size() + 1 > static_cast<size_t>(kLineWidth)) {
        out.push_back('\n');
        out.append(prefix.size(), ' ');
    } else {
        out.push_back(' ');
    }
    out.append(extras);
}

// The numpy scalar types whose text is made here, with their type numbers.
int scalar_type_num(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyFloatArrType_Type)
        return NPY_FLOAT;
    if (t == &PyDoubleArrType_Type)
        return NPY_DOUBLE;
    if (t == &PyHalfArrType_Type)
        return NPY_HALF;
    if (t == &PyBoolArrType_Type)
        return NPY_BOOL;
    if (t == &PyByteArrType_Type)
        return NPY_BYTE;
    if (t == &PyUByteArrType_Type)
        return NPY_UBYTE;
    if (t == &PyShortArrType_Type)
        return NPY_SHORT;
    if (t == &PyUShortArrType_Type)
        return NPY_USHORT;
    if (t == &PyIntArrType_Type)
        return NPY_INT;
    if (t == &PyUIntArrType_Type)
        return NPY_UINT;
    if (t == &PyLongArrType_Type)
        return NPY_LONG;
    if (t == &PyULongArrType_Type)
        return NPY_ULONG;
    if (t == &PyLongLongArrType_Type)
        return NPY_LONGLONG;
    if (t == &PyULongLongArrType_Type)
        return NPY_ULONGLONG;
    return -1;
}

void scalar_value_text(std::string &out, PyObject *o, int type_num) {
    alignas(16) char value[16];
    PyArray_ScalarAsCtype(o, value);
    scalar_text(out, type_num, value);
}

// ===========================================================================
// Containers: the interpreter's repr of dicts, OrderedDicts, lists, tuples
// ===========================================================================

int put_repr(Text &t, PyObject *o);

// Appends repr(o) through the interpreter (with its recursion check).
int put_repr_of(Text &t, PyObject *o) {
    Ref r = Ref::steal(PyObject_Repr(o));
    return r ? t.put_str(r.get()) : -1;
}

// Holds the interpreter's marker against self-reference for a container
// being written. When the container is already being written further out,
// its elision is written instead and `status()` is 0; it is 1 when the
// container is to be written, -1 on error.
class ReprMark {
  public:
    ReprMark(Text &t, PyObject *o, std::string_view elision) : o_(o), r_(Py_ReprEnter(o)) {
        if (r_ > 0)
            t.put(elision);
    }
    ~ReprMark() {
        if (r_ == 0)
            Py_ReprLeave(o_);
    }
    ReprMark(const ReprMark &) = delete;
    ReprMark &operator=(const ReprMark &) = delete;
    int status() const { return r_ == 0 ? 1 : r_ > 0 ? 0 : -1; }

  private:
    PyObject *o_;
    int r_;
};

int dict_repr(Text &t, PyObject *d) {
    ReprMark mark(t, d, "{...}");
    if (mark.status() <= 0)
        return mark.status();
    t.put('{');
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    bool first = true;
    // Live iteration, as the interpreter's dict repr does: a repr() that
    // changes the dict changes what follows, without an error.
    while (PyDict_Next(d, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (!first)
            t.put(", ");
        first = false;
        if (put_repr(t, key.get()) < 0)
            return -1;
        t.put(": ");
        if (put_repr(t, value.get()) < 0)
            return -1;
    }
    t.put('}');
    return 0;
}

int ordered_dict_repr(Text &t, PyObject *d) {
    if (PyDict_GET_SIZE(d) == 0) {
        t.put("OrderedDict()");
        return 0;
    }
    ReprMark mark(t, d, "...");
    if (mark.status() <= 0)
        return mark.status();
    // The pairs are taken first, in the OrderedDict's own order, then written.
    std::vector<Ref> pairs;
    Ref it = Ref::steal(PyObject_GetIter(d));
    if (!it)
        return -1;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        PyObject *value = PyDict_GetItemWithError(d, key.get());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key.get());
            return -1;
        }
        Ref held = Ref::borrow(value);
        pairs.push_back(std::move(key));
        pairs.push_back(std::move(held));
    }
    if (PyErr_Occurred())
        return -1;
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on the interpreter writes the repr of a plain dict copy of
    // the pairs: OrderedDict({'a': 1}).
    constexpr std::string_view open = "OrderedDict({", before = "", between = ": ", after = "", close = "})";
#else
    // 3.11 writes the list of pairs: OrderedDict([('a', 1)]).
    constexpr std::string_view open = "OrderedDict([", before = "(", between = ", ", after = ")",
                               close = "])";
#endif
    t.put(open);
    for (size_t i = 0; i < pairs.size(); i += 2) {
        if (i)
            t.put(", ");
        t.put(before);
        if (put_repr(t, pairs[i].get()) < 0)
            return -1;
        t.put(between);
        if (put_repr(t, pairs[i + 1].get()) < 0)
            return -1;
        t.put(after);
    }
    t.put(close);
    return 0;
}

int list_repr(Text &t, PyObject *l) {
    if (PyList_GET_SIZE(l) == 0) {
        t.put("[]");
        return 0;
    }
    ReprMark mark(t, l, "[...]");
    if (mark.status() <= 0)
        return mark.status();
    t.put('[');
    // The size is read again at each step: a repr() may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        if (i)
            t.put(", ");
        Ref item = Ref::borrow(PyList_GET_ITEM(l, i));
        if (put_repr(t, item.get()) < 0)
            return -1;
    }
    t.put(']');
    return 0;
}

int tuple_repr(Text &t, PyObject *tu) {
    Py_ssize_t n = PyTuple_GET_SIZE(tu);
    if (n == 0) {
        t.put("()");
        return 0;
    }
    ReprMark mark(t, tu, "(...)");
    if (mark.status() <= 0)
        return mark.status();
    t.put('(');
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i)
            t.put(", ");
        if (put_repr(t, PyTuple_GET_ITEM(tu, i)) < 0)
            return -1;
    }
    t.put(n == 1 ? ",)" : ")");
    return 0;
}

// Exact dicts, OrderedDicts, lists and tuples: their repr is written here.
bool native_container(PyObject *o) {
    return PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o) ||
           reinterpret_cast<PyObject *>(Py_TYPE(o)) == collaborators().ordered_dict;
}

// 1: `o` is a container whose repr is written here (and was written);
// 0: it is not; -1: error.
int container_repr(Text &t, PyObject *o) {
    int r;
    if (PyDict_CheckExact(o))
        r = dict_repr(t, o);
    else if (PyList_CheckExact(o))
        r = list_repr(t, o);
    else if (PyTuple_CheckExact(o))
        r = tuple_repr(t, o);
    else if (reinterpret_cast<PyObject *>(Py_TYPE(o)) == collaborators().ordered_dict)
        r = ordered_dict_repr(t, o);
    else
        return 0;
    return r < 0 ? -1 : 1;
}

// What numpy's printer would be asked to write for `o`.
enum class NumpyText { None, Array, Scalar };

NumpyText numpy_text_kind(PyObject *o) {
    if (native_array(o))
        return NumpyText::Array;
    return scalar_type_num(o) >= 0 ? NumpyText::Scalar : NumpyText::None;
}

// Whether the text of the numpy value `o` is made here: 1 yes, 0 numpy makes
// it, -1 error. Checking numpy's printer may run Python code, which may change
// the dtype of the very array being written: `o` is looked at again after it.
int native_numpy_text(PyObject *o) {
    int r = numpy_text_is_default();
    return r <= 0 ? r : numpy_text_kind(o) != NumpyText::None;
}

// The repr of a numpy scalar of a supported type.
void scalar_repr(std::string &out, PyObject *o) {
    int type_num = scalar_type_num(o);
    if (!g.line->typed_scalar_repr)
        return scalar_value_text(out, o, type_num);
    if (type_num == NPY_BOOL) {
        out.append(PyArrayScalar_VAL(o, Bool) ? "np.True_" : "np.False_");
        return;
    }
    out.append("np.");
    with_element_type(
        type_num, [&](auto of) { out.append(dtype_name(type_num, sizeof(typename decltype(of)::type))); });
    out.push_back('(');
    scalar_value_text(out, o, type_num);
    out.push_back(')');
}

// Appends repr(o).
int put_repr(Text &t, PyObject *o) {
    if (numpy_text_kind(o) != NumpyText::None) {
        int r = native_numpy_text(o);
        if (r <= 0)
            return r < 0 ? -1 : put_repr_of(t, o);
        // Nothing runs from here to the end of the text.
        if (numpy_text_kind(o) == NumpyText::Array)
            array_repr(t.buf, reinterpret_cast<PyArrayObject *>(o));
        else
            scalar_repr(t.buf, o);
        return 0;
    }
    if (native_container(o)) {
        RecursionGuard guard(" while getting the repr of an object");
        if (!guard.ok())
            return -1;
        return container_repr(t, o) < 0 ? -1 : 0;
    }
    return put_repr_of(t, o);
}

// str(o) as a new str.
Ref text_of(PyObject *o) {
    Text t;
    if (numpy_text_kind(o) != NumpyText::None) {
        int r = native_numpy_text(o);
        if (r <= 0)
            return r < 0 ? Ref() : Ref::steal(PyObject_Str(o));
        if (numpy_text_kind(o) == NumpyText::Array)
            array_str(t.buf, reinterpret_cast<PyArrayObject *>(o));
        else
            scalar_value_text(t.buf, o, scalar_type_num(o));
        return t.finish();
    }
    if (native_container(o)) {
        RecursionGuard guard(" while getting the str of an object");
        if (!guard.ok() || container_repr(t, o) < 0)
            return {};
        return t.finish();
    }
    return Ref::steal(PyObject_Str(o));
}

// ===========================================================================
// The trace line
// ===========================================================================

// One write of the built-in print: look up `write`, make the text, call.
template <class MakeText> int write_piece(PyObject *file, MakeText &&make) {
    Ref write = getattr(file, SU_STR(write));
    if (!write)
        return -1;
    Ref text = make();
    if (!text)
        return -1;
    return call(write.get(), text.get()) ? 0 : -1;
}

// A write whose text is already made and whose making ran no code: looking
// `write` up before or after it cannot be told apart, so the call goes
// through the method protocol, which makes no bound method per write.
int write_text(PyObject *file, PyObject *text) {
    return call_method(file, SU_STR(write), text) ? 0 : -1;
}

// A static type whose class is `type` itself: str() of it is made from its
// C name ("<class 'numpy.ndarray'>"), which nothing can change, and runs no
// code.
bool fixed_type_text(PyObject *type) {
    return !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(type), Py_TPFLAGS_HEAPTYPE) &&
           Py_IS_TYPE(type, &PyType_Type);
}

// str() of such a type, kept for the few of them a trace meets.
Ref type_text(PyObject *type) {
    constexpr size_t kKept = 8;
    static PyObject *types[kKept] = {};
    static PyObject *texts[kKept] = {};
    static size_t next = 0;
    for (size_t i = 0; i < kKept; ++i)
        if (types[i] == type)
            return Ref::borrow(texts[i]);
    Ref text = Ref::steal(PyObject_Str(type));
    if (!text || !PyUnicode_CheckExact(text.get()))
        return text;
    size_t i = next++ % kKept;
    Py_XSETREF(types[i], Py_NewRef(type));
    Py_XSETREF(texts[i], Py_NewRef(text.get()));
    return text;
}

int print_natively(PyObject *x) {
    Ref file = Ref::borrow(PySys_GetObject("stdout"));
    if (!file) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return -1;
    }
    if (file.get() == Py_None)
        return 0;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(x));
    Ref keep_type = Ref::borrow(type);
    if (write_text(file.get(), SU_LIT("x===")) < 0 || write_text(file.get(), SU_LIT(" ")) < 0 ||
        write_piece(file.get(), [x] { return text_of(x); }) < 0 || write_text(file.get(), SU_LIT(" ")) < 0)
        return -1;
    // str() of any other class may run code (a metaclass's __repr__, a
    // __module__ or __qualname__ of its own): the write is then looked up
    // first, as print does.
    if (fixed_type_text(type)) {
        Ref text = type_text(type);
        if (!text || write_text(file.get(), text.get()) < 0)
            return -1;
    } else if (write_piece(file.get(), [type] { return Ref::steal(PyObject_Str(type)); }) < 0) {
        return -1;
    }
    return write_text(file.get(), SU_LIT("\n"));
}

} // namespace

int print_trace_line(PyObject *print, PyObject *x) noexcept {
    try {
        int r = ready();
        if (r < 0)
            return -1;
        if (r > 0 && print == g.print)
            return print_natively(x);
        return call(print, SU_LIT("x==="), x, reinterpret_cast<PyObject *>(Py_TYPE(x))) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

} // namespace su
