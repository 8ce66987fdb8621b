// Joining row-major pieces side by side at memory speed: row r of the
// destination is row r of every piece, in order. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.h"

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace su {

// One piece: `rows` rows of `width` bytes each, one after another from `src`;
// a null `src` leaves its columns to be written otherwise.
struct RowPiece {
    const char *src;
    size_t width;
};

namespace row_join_detail {

template <size_t N> inline void move(char *d, const char *s) noexcept {
    std::memcpy(d, s, N);
}

// `w` bytes from `s` to `d` in at most two moves of a fixed size (the
// second may overlap the first), so that a row made of many small pieces
// costs a few instructions per piece rather than a call each.
inline void copy_piece(char *d, const char *s, size_t w) noexcept {
    if (w >= 32) {
        if (w > 64) {
            std::memcpy(d, s, w);
        } else {
            move<32>(d, s);
            move<32>(d + w - 32, s + w - 32);
        }
    } else if (w >= 16) {
        move<16>(d, s);
        move<16>(d + w - 16, s + w - 16);
    } else if (w >= 8) {
        move<8>(d, s);
        move<8>(d + w - 8, s + w - 8);
    } else if (w >= 4) {
        move<4>(d, s);
        move<4>(d + w - 4, s + w - 4);
    } else if (w != 0) {
        d[0] = s[0];
        d[w / 2] = s[w / 2];
        d[w - 1] = s[w - 1];
    }
}

// Every piece W bytes wide: the row is a fixed sequence of fixed moves.
template <size_t W>
void join_uniform(char *__restrict dst, const RowPiece *pieces, size_t npieces, size_t rows) noexcept {
    for (size_t r = 0; r < rows; ++r)
        for (size_t i = 0; i < npieces; ++i, dst += W)
            move<W>(dst, pieces[i].src + r * W);
}

inline void join_mixed(char *__restrict dst, const RowPiece *pieces, size_t npieces, size_t rows) noexcept {
    for (size_t r = 0; r < rows; ++r) {
        for (size_t i = 0; i < npieces; ++i) {
            const size_t w = pieces[i].width;
            if (pieces[i].src)
                copy_piece(dst, pieces[i].src + r * w, w);
            dst += w;
        }
    }
}

#if defined(__x86_64__) && defined(__SSE2__)
// Past this size the destination is written around the caches, as the C
// library's memcpy writes a large copy: a store that misses the cache would
// first read the line it fills, a third pass over memory that a plain copy
// does not make.
constexpr size_t kStreamMin = size_t{1} << 22;

// Every piece a multiple of 16 bytes wide and the destination 16-aligned:
// each row written with non-temporal stores of 16 bytes.
inline void join_streaming(char *dst, const RowPiece *pieces, size_t npieces, size_t rows) noexcept {
    for (size_t r = 0; r < rows; ++r) {
        for (size_t i = 0; i < npieces; ++i) {
            const size_t w = pieces[i].width;
            if (const char *s = pieces[i].src) {
                s += r * w;
                for (size_t k = 0; k < w; k += 16)
                    _mm_stream_si128(reinterpret_cast<__m128i *>(dst + k),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + k)));
            }
            dst += w;
        }
    }
    _mm_sfence();
}

inline bool streams(const char *dst, const RowPiece *pieces, size_t npieces, size_t bytes) noexcept {
    if (bytes < kStreamMin || reinterpret_cast<uintptr_t>(dst) % 16 != 0)
        return false;
    for (size_t i = 0; i < npieces; ++i)
        if (pieces[i].width % 16 != 0)
            return false;
    return true;
}
#endif

} // namespace row_join_detail

// Fills `rows` destination rows of `row_bytes` bytes (the sum of the
// pieces' widths) from the pieces, row after row: the destination is
// written front to back, as a plain copy writes it, and every piece is
// read front to back.
inline void join_rows(char *dst, const RowPiece *pieces, size_t npieces, size_t rows,
                      size_t row_bytes) noexcept {
    using namespace row_join_detail;
    if (rows == 0 || row_bytes == 0 || npieces == 0)
        return;
    if (npieces == 1) {
        if (pieces[0].src)
            std::memcpy(dst, pieces[0].src, rows * row_bytes);
        return;
    }
#if defined(__x86_64__) && defined(__SSE2__)
    if (streams(dst, pieces, npieces, rows * row_bytes))
        return join_streaming(dst, pieces, npieces, rows);
#endif
    const size_t w = pieces[0].width;
    bool uniform = true;
    for (size_t i = 0; i < npieces && uniform; ++i)
        uniform = pieces[i].width == w && pieces[i].src;
    if (uniform) {
        switch (w) {
        case 4:
            return join_uniform<4>(dst, pieces, npieces, rows);
        case 8:
            return join_uniform<8>(dst, pieces, npieces, rows);
        case 16:
            return join_uniform<16>(dst, pieces, npieces, rows);
        case 32:
            return join_uniform<32>(dst, pieces, npieces, rows);
        case 64:
            return join_uniform<64>(dst, pieces, npieces, rows);
        default:
            break;
        }
    }
    join_mixed(dst, pieces, npieces, rows);
}

// Asks the kernel to back a large, freshly allocated buffer with huge pages
// before it is first written, as numpy does for its own large arrays: far
// fewer page faults while it fills. Advisory only; a refusal changes
// nothing.
inline void advise_huge_pages(void *p, size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr size_t kMin = size_t{1} << 22;
    if (bytes < kMin)
        return;
    const uintptr_t page = page_size();
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(p) + bytes;
    if (end > start)
        (void)madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

} // namespace su
