// The comparisons a search makes for every key on every keystroke. Qt's
// case-insensitive search folds each character through its Unicode tables,
// which over a million keys takes several times what a keystroke may. Keys are
// almost always ASCII: there a needle whose folding is ASCII is looked for
// eight characters at a time, its first and last character compared at every
// position at once, and a text that turns out to hold other characters goes
// the long way, through Qt, so that both ways agree.

#include "find/FindQuery_p.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv::find {

namespace {

constexpr char16_t asciiLower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? char16_t(c + 0x20) : c;
}

enum class Scan { Found, NotFound, NotAscii };

#if defined(__SSE2__)
inline __m128i lowerAscii(__m128i chars)
{
    const __m128i upper = _mm_and_si128(_mm_cmpgt_epi16(chars, _mm_set1_epi16(u'A' - 1)),
                                        _mm_cmplt_epi16(chars, _mm_set1_epi16(u'Z' + 1)));
    return _mm_or_si128(chars, _mm_and_si128(upper, _mm_set1_epi16(0x20)));
}
#endif

// Looks for `needle` (m >= 1 characters) in `text` (n characters) code unit by
// code unit. Folding: ASCII letters of the text are lowered and the needle is
// ASCII and folded already; then NotAscii tells that nothing was found but the
// text holds characters beyond ASCII, which may fold into the needle (the
// Kelvin sign into "k", for one).
template<bool Folding>
Scan scan(const char16_t *text, qsizetype n, const char16_t *needle, qsizetype m)
{
    qsizetype at = 0;
    bool ascii = true;
#if defined(__SSE2__)
    if (n >= m + 7) {
        // Positions base..base+7 at once: the first character at each of them,
        // and the last character m - 1 further on. The last block is moved
        // back to end at the last position rather than run past the text.
        const __m128i first = _mm_set1_epi16(short(needle[0]));
        const __m128i last = _mm_set1_epi16(short(needle[m - 1]));
        __m128i seen = _mm_setzero_si128();
        const qsizetype lastBase = n - m - 7;
        for (qsizetype base = 0;; base += 8) {
            if (base > lastBase)
                base = lastBase;
            __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + base));
            __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + base + m - 1));
            if constexpr (Folding) {
                seen = _mm_or_si128(seen, _mm_or_si128(starts, ends));
                starts = lowerAscii(starts);
                ends = lowerAscii(ends);
            }
            unsigned candidates =
                unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi16(starts, first), _mm_cmpeq_epi16(ends, last))));
            while (candidates) {
                const int bit = __builtin_ctz(candidates);
                candidates &= ~(3u << bit);
                const char16_t *candidate = text + base + bit / 2;
                qsizetype i = 1;
                while (i + 1 < m && (Folding ? asciiLower(candidate[i]) : candidate[i]) == needle[i])
                    ++i;
                if (i + 1 >= m)
                    return Scan::Found;
            }
            if (base == lastBase)
                break;
        }
        // The blocks covered every character: the starts from 0 to n - m, the
        // ends from m - 1 to n - 1.
        if constexpr (Folding)
            ascii = _mm_movemask_epi8(
                        _mm_cmpeq_epi16(_mm_and_si128(seen, _mm_set1_epi16(short(0xff80))), _mm_setzero_si128()))
                    == 0xffff;
        return ascii ? Scan::NotFound : Scan::NotAscii;
    }
#endif
    if constexpr (Folding) {
        for (qsizetype i = 0; i < n; ++i)
            ascii = ascii && text[i] < 0x80;
    }
    for (; at + m <= n; ++at) {
        qsizetype i = 0;
        while (i < m && (Folding ? asciiLower(text[at + i]) : text[at + i]) == needle[i])
            ++i;
        if (i == m)
            return Scan::Found;
    }
    return ascii ? Scan::NotFound : Scan::NotAscii;
}

const char16_t *units(QStringView text)
{
    return text.utf16();
}

bool isAscii(QStringView text)
{
    const char16_t *s = units(text);
    const qsizetype n = text.size();
    qsizetype i = 0;
#if defined(__SSE2__)
    __m128i seen = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8)
        seen = _mm_or_si128(seen, _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(seen, _mm_set1_epi16(short(0xff80))), _mm_setzero_si128()))
        != 0xffff)
        return false;
#endif
    for (; i < n; ++i) {
        if (s[i] >= 0x80)
            return false;
    }
    return true;
}

} // namespace

const char *findBytes(const char *text, qsizetype n, const char *needle, qsizetype m)
{
    if (n < m)
        return nullptr;
    if (m == 1)
        return static_cast<const char *>(std::memchr(text, needle[0], size_t(n)));
#if defined(__SSE2__)
    if (n >= m + 15) {
        // As scan() does, sixteen positions at once.
        const __m128i first = _mm_set1_epi8(needle[0]);
        const __m128i last = _mm_set1_epi8(needle[m - 1]);
        const qsizetype lastBase = n - m - 15;
        for (qsizetype base = 0;; base += 16) {
            if (base > lastBase)
                base = lastBase;
            const __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + base));
            const __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + base + m - 1));
            unsigned candidates =
                unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(starts, first), _mm_cmpeq_epi8(ends, last))));
            while (candidates) {
                const char *candidate = text + base + __builtin_ctz(candidates);
                candidates &= candidates - 1;
                if (std::memcmp(candidate + 1, needle + 1, size_t(m - 2)) == 0)
                    return candidate;
            }
            if (base == lastBase)
                return nullptr;
        }
    }
#endif
    for (qsizetype at = 0; at + m <= n; ++at) {
        if (text[at] == needle[0] && std::memcmp(text + at + 1, needle + 1, size_t(m - 1)) == 0)
            return text + at;
    }
    return nullptr;
}

bool CompiledQuery::containsPlain(QStringView subject) const
{
    const qsizetype m = needle.size();
    if (m == 0 || subject.size() < m)
        return false;
    if (options.matchCase)
        return scan<false>(units(subject), subject.size(), units(needle), m) == Scan::Found;
    if (asciiNeedle) {
        switch (scan<true>(units(subject), subject.size(), units(needle), m)) {
        case Scan::Found: return true;
        case Scan::NotFound: return false;
        case Scan::NotAscii: break;
        }
    } else if (isAscii(subject)) {
        return false; // ASCII folds to ASCII, and this needle's folding is not ASCII
    }
    return subject.indexOf(text, 0, Qt::CaseInsensitive) >= 0;
}

QString comparableText(QStringView text, bool fold)
{
    return fold ? text.toString().toCaseFolded() : text.toString();
}

bool appendComparableLatin1(QByteArray &out, QStringView text, bool fold)
{
    const qsizetype n = text.size();
    const qsizetype at = out.size();
    if (isAscii(text)) {
        out.resize(at + n);
        char *o = out.data() + at;
        const char16_t *s = units(text);
        qsizetype i = 0;
#if defined(__SSE2__)
        for (; i + 8 <= n; i += 8) {
            __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            if (fold)
                chars = lowerAscii(chars);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(o + i), _mm_packus_epi16(chars, chars));
        }
#endif
        for (; i < n; ++i)
            o[i] = char(fold ? asciiLower(s[i]) : s[i]);
        return true;
    }
    const QString compared = comparableText(text, fold);
    for (QChar c : compared) {
        if (c.unicode() > 0xff)
            return false;
    }
    out.append(compared.toLatin1());
    return true;
}

} // namespace kv::find
