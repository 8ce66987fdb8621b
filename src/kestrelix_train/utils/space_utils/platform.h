// What differs between the compilers and systems the module is built with,
// in one place: GCC and Clang (Linux, macOS, MinGW) have builtins and
// attributes that MSVC lacks, and the POSIX memory calls have no counterpart
// on Windows. Each item says what stands in for it elsewhere. Elsewhere in
// the sources only the SSE2 fast paths (an instruction set, with a portable
// path beside each), ref.h's branch hints (plain conditions without GCC's
// builtin) and static_runtime.cpp (built for Linux only) depend on one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// A function kept out of line: GCC and Clang take the attribute, MSVC its
// declaration specifier.
#if defined(_MSC_VER) && !defined(__clang__)
#define SU_NOINLINE __declspec(noinline)
#else
#define SU_NOINLINE __attribute__((noinline))
#endif

// The floating-point flags are read by code that does its arithmetic between
// the reads. MSVC may move or drop that arithmetic unless told that the
// environment is accessed (fenv_access, a file-scope pragma, which also
// keeps it from contracting); GCC keeps operations that may trap in place by
// default (-ftrapping-math), and Clang keeps them in place across the calls
// that read the flags (the arithmetic is in a function called through a
// pointer, between the reads).
#if defined(_MSC_VER) && !defined(__clang__)
#define SU_FENV_ACCESS_ON __pragma(fenv_access(on))
#define SU_FENV_ACCESS_OFF __pragma(fenv_access(off))
#else
#define SU_FENV_ACCESS_ON
#define SU_FENV_ACCESS_OFF
#endif

namespace su {

// Checked integer arithmetic: true when the exact result does not fit in
// `*out` (which then holds no meaningful value). GCC and Clang have builtins;
// elsewhere the operands are compared with the type's limits first.
template <class T> inline bool mul_overflows(T a, T b, T *out) noexcept {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_mul_overflow(a, b, out);
#else
    using L = std::numeric_limits<T>;
    bool over;
    if (a == 0 || b == 0)
        over = false;
    else if (a > 0)
        over = b > 0 ? a > L::max() / b : b < L::min() / a;
    else
        over = b > 0 ? a < L::min() / b : a < L::max() / b;
    if (!over)
        *out = a * b;
    return over;
#endif
}

template <class T> inline bool add_overflows(T a, T b, T *out) noexcept {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_add_overflow(a, b, out);
#else
    using L = std::numeric_limits<T>;
    const bool over = b > 0 ? a > L::max() - b : a < L::min() - b;
    if (!over)
        *out = a + b;
    return over;
#endif
}

// An unsigned 128-bit integer for exact decimal conversion. GCC and Clang
// have one on every 64-bit target (__SIZEOF_INT128__); elsewhere (MSVC) a
// pair of 64-bit halves does the few operations the conversion uses, with
// the compiler's 64x64->128 multiply where it has one. SU_PORTABLE_U128
// selects the pair anywhere, so that it can be tested with the suite.
#if defined(__SIZEOF_INT128__) && !defined(SU_PORTABLE_U128)
__extension__ typedef unsigned __int128 u128;
#else
class u128 {
  public:
    constexpr u128() noexcept : hi_(0), lo_(0) {}
    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    constexpr u128(I v) noexcept : hi_(0), lo_(static_cast<uint64_t>(v)) {}
    explicit u128(double v) noexcept // v in [0, 2^128)
        : hi_(static_cast<uint64_t>(v / 18446744073709551616.0)),
          lo_(static_cast<uint64_t>(v - static_cast<double>(hi_) * 18446744073709551616.0)) {}
    explicit constexpr operator uint64_t() const noexcept { return lo_; }
    explicit constexpr operator int() const noexcept { return static_cast<int>(lo_); }
    explicit constexpr operator bool() const noexcept { return (hi_ | lo_) != 0; }

    friend constexpr bool operator==(u128 a, u128 b) noexcept { return a.hi_ == b.hi_ && a.lo_ == b.lo_; }
    friend constexpr bool operator<(u128 a, u128 b) noexcept {
        return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_;
    }
    friend constexpr bool operator>(u128 a, u128 b) noexcept { return b < a; }
    friend constexpr bool operator<=(u128 a, u128 b) noexcept { return !(b < a); }
    friend constexpr bool operator>=(u128 a, u128 b) noexcept { return !(a < b); }

    friend constexpr u128 operator+(u128 a, u128 b) noexcept {
        const uint64_t lo = a.lo_ + b.lo_;
        return u128(a.hi_ + b.hi_ + (lo < a.lo_), lo);
    }
    friend constexpr u128 operator-(u128 a, u128 b) noexcept {
        return u128(a.hi_ - b.hi_ - (a.lo_ < b.lo_), a.lo_ - b.lo_);
    }
    friend u128 operator*(u128 a, u128 b) noexcept {
        uint64_t hi;
        const uint64_t lo = mul64(a.lo_, b.lo_, &hi);
        return u128(hi + a.hi_ * b.lo_ + a.lo_ * b.hi_, lo);
    }
    friend constexpr u128 operator&(u128 a, u128 b) noexcept { return u128(a.hi_ & b.hi_, a.lo_ & b.lo_); }
    friend constexpr u128 operator<<(u128 a, int n) noexcept {
        if (n >= 64)
            return u128(a.lo_ << (n - 64), 0);
        return n == 0 ? a : u128((a.hi_ << n) | (a.lo_ >> (64 - n)), a.lo_ << n);
    }
    friend constexpr u128 operator>>(u128 a, int n) noexcept {
        if (n >= 64)
            return u128(0, a.hi_ >> (n - 64));
        return n == 0 ? a : u128(a.hi_ >> n, (a.lo_ >> n) | (a.hi_ << (64 - n)));
    }
    // Long division, a bit at a time: the conversion divides rarely.
    friend constexpr u128 operator/(u128 a, u128 b) noexcept { return divide(a, b, nullptr); }
    friend constexpr u128 operator%(u128 a, u128 b) noexcept {
        u128 r;
        divide(a, b, &r);
        return r;
    }
    u128 &operator*=(u128 b) noexcept { return *this = *this * b; }
    constexpr u128 &operator/=(u128 b) noexcept { return *this = *this / b; }

  private:
    constexpr u128(uint64_t hi, uint64_t lo) noexcept : hi_(hi), lo_(lo) {}

    static uint64_t mul64(uint64_t a, uint64_t b, uint64_t *hi) noexcept {
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
        return _umul128(a, b, hi);
#else
        const uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t mid = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
        *hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
        return (mid << 32) | (p00 & 0xffffffffu);
#endif
    }
    static constexpr u128 divide(u128 a, u128 b, u128 *rem) noexcept {
        u128 q, r;
        for (int i = 127; i >= 0; --i) {
            r = (r << 1) | ((a >> i) & u128(1));
            q = q << 1;
            if (r >= b) {
                r = r - b;
                q = q | u128(1);
            }
        }
        if (rem)
            *rem = r;
        return q;
    }
    friend constexpr u128 operator|(u128 a, u128 b) noexcept { return u128(a.hi_ | b.hi_, a.lo_ | b.lo_); }

    uint64_t hi_, lo_;
};
#endif

// The size of a memory page, asked of the system once (4 KiB on most
// x86-64 Linux systems, 16 or 64 KiB on many aarch64 ones). Only where
// memory advice exists (POSIX); Windows has no counterpart of madvise's
// huge-page advice, so nothing there asks.
#if defined(__unix__) || defined(__APPLE__)
inline size_t page_size() noexcept {
    static const size_t size = [] {
        const long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? static_cast<size_t>(s) : size_t{4096};
    }();
    return size;
}
#endif

} // namespace su
