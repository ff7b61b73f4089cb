// The length of a text up to its first NUL, within a known bound: string
// values of the JSON flavours carry their length and may hold NUL units.
#ifndef QUORANE_BASE_NUL_LENGTH_H
#define QUORANE_BASE_NUL_LENGTH_H

#include <cstddef>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorane {

#if defined(__SSE2__)
// The lanes of the four units at `at` that are NUL.
inline __m128i NulLanes(const wchar_t* at) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_cmpeq_epi32(units, _mm_setzero_si128());
}
#endif

// The number of units of `text` before its first NUL, reading no further
// than `length` units. Keys and values of records are mostly a few units
// long, where the call of a library search costs more than its loop: wide
// units are tested four at a time, inline, and only a text that holds a NUL
// is searched for the first one.
inline std::size_t UnitsBeforeNul(const wchar_t* text, std::size_t length) {
    static_assert(sizeof(wchar_t) == 4, "wide strings hold 32-bit units");
#if defined(__SSE2__)
    if (length >= 4) {
        // The first four and the last four units; past eight units, the
        // four after the first and the four before the last too, which
        // covers every text of up to sixteen units without a loop, so that
        // texts of mixed lengths cost no mispredicted loop exit; then the
        // four-unit groups between. Every load lies within the text, and
        // units tested twice do no harm.
        __m128i nuls = _mm_or_si128(NulLanes(text), NulLanes(text + length - 4));
        if (length > 8) {
            nuls =
                _mm_or_si128(nuls, _mm_or_si128(NulLanes(text + 4), NulLanes(text + length - 8)));
            for (std::size_t at = 8; at + 8 < length; at += 4) {
                nuls = _mm_or_si128(nuls, NulLanes(text + at));
            }
        }
        if (_mm_movemask_epi8(nuls) == 0) return length;
    }
#endif
    for (std::size_t at = 0; at < length; ++at) {
        if (text[at] == L'\0') return at;
    }
    return length;
}

inline std::size_t UnitsBeforeNul(const char* text, std::size_t length) {
    const char* nul = std::char_traits<char>::find(text, length, '\0');
    return nul == nullptr ? length : static_cast<std::size_t>(nul - text);
}

}  // namespace quorane

#endif  // QUORANE_BASE_NUL_LENGTH_H
