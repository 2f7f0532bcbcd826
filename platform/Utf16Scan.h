#pragma once

// Finding the next character that needs a closer look in UTF-16 text, eight
// characters at a time where SSE2 is there (every x86-64 machine), one at a
// time elsewhere.

#include <QtGlobal>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv {

// Asks for the two cache lines a text starts in (a store key takes about
// two) ahead of its use, for a loop over many texts to overlap its reads.
inline void prefetchText(const void *text)
{
#if defined(__GNUC__)
    __builtin_prefetch(text);
    __builtin_prefetch(static_cast<const char *>(text) + 64);
#else
    Q_UNUSED(text);
#endif
}

// The index of the first character of text[from, size) that lies outside
// [low, high] or equals `stop` (size when there is none). Pass a `stop` outside
// [low, high] when only the range matters. Requires low <= high.
inline qsizetype findOutsideOrEqual(const char16_t *text, qsizetype from, qsizetype size, char16_t low, char16_t high,
                                    char16_t stop)
{
    qsizetype at = from;
#if defined(__SSE2__)
    // c - low, taken unsigned, is at most high - low exactly for c in
    // [low, high]; a saturating subtraction of high - low leaves zero there.
    const __m128i lowest = _mm_set1_epi16(short(low));
    const __m128i span = _mm_set1_epi16(short(high - low));
    const __m128i stops = _mm_set1_epi16(short(stop));
    const __m128i zero = _mm_setzero_si128();
    for (; at + 8 <= size; at += 8) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
        const __m128i inside = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(chars, lowest), span), zero);
        const __m128i plain = _mm_andnot_si128(_mm_cmpeq_epi16(chars, stops), inside);
        const unsigned mask = unsigned(_mm_movemask_epi8(plain));
        if (mask != 0xffffu)
            return at + __builtin_ctz(~mask) / 2;
    }
#endif
    for (; at < size; ++at) {
        const char16_t c = text[at];
        if (c < low || c > high || c == stop)
            return at;
    }
    return size;
}

} // namespace kv
