// The fast XML property-list reader (see PropertyListReaders_p.h): a direct
// scan of the UTF-8 bytes that gives up, returning none, on anything it does
// not read in full, so that the strict reader can read the document instead.

#include "platform/StringBlocks.h"
#include "platform/plist/PropertyListReaders_p.h"

#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace kv::plistdetail {

namespace {

// Bytes that stand for themselves in element text: printable ASCII other
// than '<', '&' and ']' (which may start "]]>"), and tab and newline.
// Everything else (carriage returns, controls, DEL, non-ASCII, markup) needs
// a closer look.
constexpr std::array<bool, 256> plainTextBytes = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x7f; ++c)
        table[size_t(c)] = c != '<' && c != '&' && c != ']';
    table[size_t('\t')] = true;
    table[size_t('\n')] = true;
    return table;
}();

// Characters the fast reader lets through. XML allows more than this (C1
// controls, DEL, the non-characters other than U+FFFE and U+FFFF); documents
// holding those are left to the strict reader.
bool isCommonCharacter(char32_t c)
{
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r';
    if (c < 0x7f)
        return true;
    if (c < 0xa0)
        return false;
    if (c >= 0xd800 && c < 0xe000)
        return false;
    if (c >= 0xfdd0 && c <= 0xfdef)
        return false;
    if ((c & 0xfffe) == 0xfffe)
        return false;
    return c <= 0x10ffff;
}

enum class Tag { Dict, Array, Key, String, Integer, Real, True, False, Data, Date };

// Reads a document from `begin` to `end`, making its value; or checks
// values as strictly without making them, for TopLevelOnUseReader.
class FastXmlReader
{
public:
    FastXmlReader(const char *begin, const char *end) : m_p(begin), m_end(end) {}

    // The document's value, all of it made.
    PropertyListValue read()
    {
        return readDocument([this](PropertyListValue *root) { return readValue<true>(0, root); });
    }

    // The value the bytes hold, inside `openContainers` containers; none
    // unless they hold exactly one value and nothing else.
    PropertyListValue readLoneValue(int openContainers)
    {
        PropertyListValue value;
        if (!readValue<true>(openContainers, &value) || m_p != m_end)
            return {};
        return value;
    }

protected:
    // The document around its value, which readRoot(&value) reads from its
    // start tag.
    template<typename ReadRoot>
    PropertyListValue readDocument(ReadRoot readRoot)
    {
        if (startsWith("\xef\xbb\xbf"))
            m_p += 3;
        if (startsWith("<?xml") && !readDeclaration())
            return {};
        bool sawDocumentType = false;
        for (;;) {
            if (!skipMisc())
                return {};
            if (!startsWith("<!DOCTYPE"))
                break;
            if (sawDocumentType || !readDocumentType())
                return {};
            sawDocumentType = true;
        }
        if (!skipLiteral("<plist>") && !skipLiteral("<plist version=\"1.0\">"))
            return {};
        PropertyListValue root;
        if (!skipMisc() || !readRoot(&root) || !skipMisc() || !skipLiteral("</plist>") || !skipMisc() || m_p != m_end)
            return {};
        return root;
    }

    // Checks the value at m_p, inside `openContainers` containers, as
    // strictly as making it would, moving past it; *depth is how deep it
    // nests. On false, *needsBuild tells a value the check cannot vouch for
    // without making it (see readDictionary) from a wrong one.
    bool checkValue(int openContainers, int *depth, bool *needsBuild)
    {
        m_deepest = 0;
        m_needsBuild = false;
        const bool checked = readValue<false>(openContainers, nullptr);
        *depth = m_deepest - openContainers;
        *needsBuild = m_needsBuild;
        return checked;
    }

    // At '<' of a start tag without attributes: <name> or <name/>.
    bool readStartTag(Tag *tag, bool *empty)
    {
        if (m_p >= m_end || *m_p != '<')
            return false;
        const char *name = m_p + 1;
        const char *q = name;
        while (q < m_end && *q >= 'a' && *q <= 'z')
            ++q;
        const qsizetype length = q - name;
        if (q < m_end && *q == '>') {
            *empty = false;
            m_p = q + 1;
        } else if (m_end - q >= 2 && q[0] == '/' && q[1] == '>') {
            *empty = true;
            m_p = q + 2;
        } else {
            return false;
        }
        const std::string_view given(name, size_t(length));
        auto is = [&](std::string_view candidate) { return given == candidate; };
        switch (length) {
        case 3:
            if (is("key"))
                return *tag = Tag::Key, true;
            break;
        case 4:
            if (is("dict"))
                return *tag = Tag::Dict, true;
            if (is("real"))
                return *tag = Tag::Real, true;
            if (is("true"))
                return *tag = Tag::True, true;
            if (is("data"))
                return *tag = Tag::Data, true;
            if (is("date"))
                return *tag = Tag::Date, true;
            break;
        case 5:
            if (is("array"))
                return *tag = Tag::Array, true;
            if (is("false"))
                return *tag = Tag::False, true;
            break;
        case 6:
            if (is("string"))
                return *tag = Tag::String, true;
            break;
        case 7:
            if (is("integer"))
                return *tag = Tag::Integer, true;
            break;
        }
        return false;
    }

    // At the start tag of a value inside `openContainers` containers. With
    // Build, the value is made into *out; without, it is only checked, just
    // as strictly (out is not used).
    template<bool Build>
    bool readValue(int openContainers, PropertyListValue *out)
    {
        Tag tag;
        bool empty;
        if (!readStartTag(&tag, &empty) || tag == Tag::Key || openContainers + 1 > PropertyListMaximumDepth)
            return false;
        if constexpr (!Build)
            m_deepest = std::max(m_deepest, openContainers + 1);
        if (tag == Tag::Dict)
            return readDictionary<Build>(openContainers + 1, empty, out,
                                         [this, openContainers](PropertyListValue *value) {
                                             return readValue<Build>(openContainers + 1, value);
                                         });
        if (tag == Tag::Array)
            return readArray<Build>(openContainers + 1, empty, out);
        if (empty) {
            m_plain = true;
            m_plainBegin = m_p;
            m_plainSize = 0;
        } else if (!readText(tag)) {
            return false;
        }
        switch (tag) {
        case Tag::String:
            if constexpr (Build)
                *out = PropertyListValue::fromString(textString());
            return true;
        case Tag::Integer: {
            qint64 plain;
            if (readPlainDecimal(&plain)) {
                if constexpr (Build)
                    *out = PropertyListValue::fromInteger(plain);
                return true;
            }
            PropertyListValue integer;
            if (!parseInteger(textView(), &integer))
                return false;
            if constexpr (Build)
                *out = std::move(integer);
            return true;
        }
        case Tag::Real: {
            double real = 0;
            if (!parseReal(textView(), &real))
                return false;
            if constexpr (Build)
                *out = PropertyListValue::fromReal(real);
            return true;
        }
        case Tag::True:
        case Tag::False: {
            for (const QChar c : textView()) {
                if (!isXmlSpace(c.unicode()))
                    return false;
            }
            if constexpr (Build)
                *out = PropertyListValue::fromBoolean(tag == Tag::True);
            return true;
        }
        case Tag::Data: {
            QByteArray data;
            if (!decodeBase64(textView(), &data))
                return false;
            if constexpr (Build)
                *out = PropertyListValue::fromData(std::move(data));
            return true;
        }
        case Tag::Date: {
            QDateTime date;
            if (!parseDate(textView(), &date))
                return false;
            if constexpr (Build)
                *out = PropertyListValue::fromDate(date);
            return true;
        }
        default: return false;
        }
    }

    // The entries of a dictionary `openContainers` deep, after its start
    // tag, up to and including </dict>. Each value is read by
    // readMember(&value) (readMember(nullptr) when only checking).
    template<bool Build, typename ReadMember>
    bool readDictionary(int openContainers, bool empty, PropertyListValue *out, ReadMember readMember)
    {
        std::map<QString, PropertyListValue> entries;
        // The top level's entries are gathered a thousand at a time and
        // then put in the dictionary one after another, so that its nodes
        // lie together in key order: a walk through a large snapshot's keys
        // then reads memory in order, instead of jumping between the
        // entries' values.
        constexpr size_t GatheredEntries = 1024;
        std::vector<std::pair<QString, PropertyListValue>> gathered;
        const bool gather = openContainers == 1;
        StringBlocks keyBlocks; // the top level's keys
        const auto add = [&entries](QString key, PropertyListValue value) {
            // Keys usually come sorted: then each goes in at the end after
            // one comparison (the hint's), and cannot be a repeat. A key
            // that is one is not added (false).
            const size_t before = entries.size();
            entries.emplace_hint(entries.end(), std::move(key), std::move(value));
            return entries.size() != before;
        };
        const auto addGathered = [&] {
            for (auto &[key, value] : gathered) {
                if (!add(std::move(key), std::move(value)))
                    return false;
            }
            gathered.clear();
            return true;
        };
        // Checking only: the last key, in the input.
        std::string_view previousKey;
        bool hasPreviousKey = false;
        while (!empty) {
            if (!skipMisc())
                return false;
            if (skipLiteral("</dict>"))
                break;
            Tag tag;
            bool emptyKey;
            if (!readStartTag(&tag, &emptyKey) || tag != Tag::Key)
                return false;
            if (!emptyKey && !readText(Tag::Key))
                return false;
            if constexpr (Build) {
                QString key = emptyKey ? QString() : gather ? keyText(&keyBlocks) : keyString(openContainers);
                PropertyListValue value;
                if (!skipMisc() || !readMember(&value))
                    return false;
                if (gather) {
                    if (gathered.empty())
                        gathered.reserve(GatheredEntries);
                    gathered.emplace_back(std::move(key), std::move(value));
                    if (gathered.size() == GatheredEntries && !addGathered())
                        return false;
                } else if (!add(std::move(key), std::move(value))) {
                    return false;
                }
            } else {
                // Plain keys in increasing order cannot repeat; they compare
                // byte by byte as their strings do (ASCII). Others need the
                // full check, which making the dictionary does.
                if (!emptyKey && !m_plain) {
                    m_needsBuild = true;
                    return false;
                }
                const std::string_view key =
                    emptyKey ? std::string_view() : std::string_view(m_plainBegin, size_t(m_plainSize));
                if (hasPreviousKey && !(previousKey < key)) {
                    m_needsBuild = true;
                    return false;
                }
                previousKey = key;
                hasPreviousKey = true;
                if (!skipMisc() || !readMember(nullptr))
                    return false;
            }
        }
        if constexpr (Build) {
            if (!addGathered())
                return false;
            *out = PropertyListValue::fromDictionary(PropertyListDictionary(std::move(entries)));
        }
        return true;
    }

    // Where reading is, and the end of the bytes.
    const char *m_p;
    const char *m_end;

private:
    // The literals are a few bytes long and usually differ at once: a plain
    // loop, not a library call.
    bool startsWith(std::string_view literal) const
    {
        if (size_t(m_end - m_p) < literal.size())
            return false;
        for (size_t i = 0; i < literal.size(); ++i) {
            if (m_p[i] != literal[i])
                return false;
        }
        return true;
    }

    bool skipLiteral(std::string_view literal)
    {
        if (!startsWith(literal))
            return false;
        m_p += literal.size();
        return true;
    }

    bool skipSpaces()
    {
        const char *start = m_p;
        while (m_p < m_end && isXmlSpace(*m_p))
            ++m_p;
        return m_p != start;
    }

    // Moves m_p past the bytes that stand for themselves in element text,
    // sixteen at a time while none of them needs a closer look.
    void skipPlainText()
    {
#if defined(__SSE2__)
        const __m128i control = _mm_set1_epi8(0x20);
        const __m128i lessThan = _mm_set1_epi8('<');
        const __m128i ampersand = _mm_set1_epi8('&');
        const __m128i bracket = _mm_set1_epi8(']');
        const __m128i del = _mm_set1_epi8(0x7f);
        while (m_end - m_p >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m_p));
            // A signed comparison: bytes from 0x80 up (non-ASCII) are below
            // 0x20 too. Tabs and newlines stop the fast scan; the loop below
            // takes them.
            const __m128i closer = _mm_or_si128(
                _mm_or_si128(_mm_cmplt_epi8(bytes, control), _mm_cmpeq_epi8(bytes, lessThan)),
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, ampersand), _mm_cmpeq_epi8(bytes, bracket)),
                             _mm_cmpeq_epi8(bytes, del)));
            const int mask = _mm_movemask_epi8(closer);
            if (mask != 0) {
                m_p += __builtin_ctz(unsigned(mask));
                break;
            }
            m_p += 16;
        }
#endif
        while (m_p < m_end && plainTextBytes[static_cast<unsigned char>(*m_p)])
            ++m_p;
    }

    // One UTF-8 sequence at m_p (whose first byte is not ASCII) that encodes
    // a character the reader lets through.
    bool decodeUtf8(char32_t *out)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(m_p);
        const qsizetype left = m_end - m_p;
        const unsigned c = p[0];
        char32_t code;
        int length;
        if (c >= 0xc2 && c < 0xe0) {
            if (left < 2 || (p[1] & 0xc0) != 0x80)
                return false;
            code = ((c & 0x1f) << 6) | (p[1] & 0x3f);
            length = 2;
        } else if (c >= 0xe0 && c < 0xf0) {
            if (left < 3 || (p[1] & 0xc0) != 0x80 || (p[2] & 0xc0) != 0x80)
                return false;
            code = ((c & 0x0f) << 12) | ((p[1] & 0x3f) << 6) | (p[2] & 0x3f);
            if (code < 0x800)
                return false; // overlong
            length = 3;
        } else if (c >= 0xf0 && c < 0xf5) {
            if (left < 4 || (p[1] & 0xc0) != 0x80 || (p[2] & 0xc0) != 0x80 || (p[3] & 0xc0) != 0x80)
                return false;
            code = ((c & 0x07) << 18) | ((p[1] & 0x3f) << 12) | ((p[2] & 0x3f) << 6) | (p[3] & 0x3f);
            if (code < 0x10000)
                return false; // overlong
            length = 4;
        } else {
            return false; // a continuation byte, an overlong lead byte or beyond U+10FFFF
        }
        if (!isCommonCharacter(code))
            return false;
        *out = code;
        m_p += length;
        return true;
    }

    // Skips one character that may appear in a comment or a literal.
    bool skipCharacter()
    {
        const unsigned char c = static_cast<unsigned char>(*m_p);
        if (c < 0x80) {
            if (!isCommonCharacter(c))
                return false;
            ++m_p;
            return true;
        }
        char32_t code;
        return decodeUtf8(&code);
    }

    // At "<!--": skips the comment, which may not hold "--".
    bool skipComment()
    {
        m_p += 4;
        for (;;) {
            if (m_p >= m_end)
                return false;
            if (*m_p == '-' && m_end - m_p >= 2 && m_p[1] == '-') {
                if (m_end - m_p < 3 || m_p[2] != '>')
                    return false;
                m_p += 3;
                return true;
            }
            if (!skipCharacter())
                return false;
        }
    }

    // Whitespace and comments, as may stand between elements.
    bool skipMisc()
    {
        for (;;) {
            skipSpaces();
            if (!startsWith("<!--"))
                return true;
            if (!skipComment())
                return false;
        }
    }

    // Eq in XML: optional spaces, '=', optional spaces.
    bool skipEquals()
    {
        skipSpaces();
        if (m_p >= m_end || *m_p != '=')
            return false;
        ++m_p;
        skipSpaces();
        return true;
    }

    // A quoted value (either quote) holding only ASCII letters, digits, '.',
    // '-' and '_'.
    bool readPseudoAttributeValue(std::string *value)
    {
        if (m_p >= m_end || (*m_p != '"' && *m_p != '\''))
            return false;
        const char quote = *m_p++;
        value->clear();
        while (m_p < m_end && *m_p != quote) {
            const char c = *m_p;
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'
                  || c == '_'))
                return false;
            value->push_back(c);
            ++m_p;
        }
        if (m_p >= m_end)
            return false;
        ++m_p;
        return true;
    }

    // <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, encoding and
    // standalone optional, at the very start of the document.
    bool readDeclaration()
    {
        m_p += 5;
        std::string value;
        if (!skipSpaces() || !skipLiteral("version") || !skipEquals() || !readPseudoAttributeValue(&value)
            || value != "1.0")
            return false;
        bool spaced = skipSpaces();
        if (spaced && skipLiteral("encoding")) {
            if (!skipEquals() || !readPseudoAttributeValue(&value) || value.size() != 5)
                return false;
            for (char &c : value)
                c = char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            if (value != "UTF-8")
                return false;
            spaced = skipSpaces();
        }
        if (spaced && skipLiteral("standalone")) {
            if (!skipEquals() || !readPseudoAttributeValue(&value) || (value != "yes" && value != "no"))
                return false;
            skipSpaces();
        }
        return skipLiteral("?>");
    }

    // A quoted literal of a document type declaration: for a public
    // identifier only the characters XML allows there; for a system
    // identifier the characters of a plain URL or file name.
    bool readIdentifierLiteral(bool publicIdentifier)
    {
        if (m_p >= m_end || (*m_p != '"' && *m_p != '\''))
            return false;
        const char quote = *m_p++;
        while (m_p < m_end && *m_p != quote) {
            const char c = *m_p;
            const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (publicIdentifier) {
                if (!alphanumeric && (c == 0 || !std::strchr(" -'()+,./:=?;!*@$_%", c)))
                    return false;
            } else if (!alphanumeric && (c == 0 || !std::strchr("-._~:/+,;=@!$()*%", c))) {
                return false;
            }
            ++m_p;
        }
        if (m_p >= m_end)
            return false;
        ++m_p;
        return true;
    }

    // <!DOCTYPE plist>, <!DOCTYPE plist SYSTEM "...">, <!DOCTYPE plist PUBLIC
    // "..." "...">.
    bool readDocumentType()
    {
        m_p += 9;
        if (!skipSpaces() || !skipLiteral("plist"))
            return false;
        bool spaced = skipSpaces();
        if (spaced && skipLiteral("SYSTEM")) {
            if (!skipSpaces() || !readIdentifierLiteral(false))
                return false;
            skipSpaces();
        } else if (spaced && skipLiteral("PUBLIC")) {
            if (!skipSpaces() || !readIdentifierLiteral(true) || !skipSpaces() || !readIdentifierLiteral(false))
                return false;
            skipSpaces();
        }
        return skipLiteral(">");
    }

    static std::string_view endTagOf(Tag tag)
    {
        switch (tag) {
        case Tag::Dict: return "</dict>";
        case Tag::Array: return "</array>";
        case Tag::Key: return "</key>";
        case Tag::String: return "</string>";
        case Tag::Integer: return "</integer>";
        case Tag::Real: return "</real>";
        case Tag::True: return "</true>";
        case Tag::False: return "</false>";
        case Tag::Data: return "</data>";
        case Tag::Date: return "</date>";
        }
        return "";
    }

    void appendCode(char32_t c)
    {
        if (c < 0x10000) {
            m_text.push_back(char16_t(c));
        } else {
            m_text.push_back(char16_t(0xd800 + ((c - 0x10000) >> 10)));
            m_text.push_back(char16_t(0xdc00 + ((c - 0x10000) & 0x3ff)));
        }
    }

    // At '&': a predefined entity or a character reference, appended.
    bool readReference()
    {
        ++m_p;
        static constexpr struct
        {
            std::string_view name;
            char16_t character;
        } predefined[] = {{"lt;", u'<'}, {"gt;", u'>'}, {"amp;", u'&'}, {"quot;", u'"'}, {"apos;", u'\''}};
        for (const auto &entity : predefined) {
            if (skipLiteral(entity.name)) {
                m_text.push_back(entity.character);
                return true;
            }
        }
        if (m_p >= m_end || *m_p != '#')
            return false;
        ++m_p;
        const bool hex = m_p < m_end && *m_p == 'x';
        if (hex)
            ++m_p;
        char32_t code = 0;
        int digits = 0;
        for (; m_p < m_end && *m_p != ';'; ++m_p, ++digits) {
            const char c = *m_p;
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            code = code * (hex ? 16 : 10) + char32_t(digit);
            if (code > 0x10ffff)
                return false;
        }
        if (m_p >= m_end || digits == 0)
            return false;
        ++m_p; // ';'
        if (!isCommonCharacter(code))
            return false;
        appendCode(code);
        return true;
    }

    // After the start tag of an element that holds only text: the text up to
    // and including the end tag. Plain text (printable ASCII, tabs and
    // newlines, nothing to replace) is left in the input (m_plain); any other
    // text is decoded into m_text.
    bool readText(Tag tag)
    {
        const std::string_view endTag = endTagOf(tag);
        const char *start = m_p;
        skipPlainText();
        if (skipLiteral(endTag)) {
            m_plain = true;
            m_plainBegin = start;
            m_plainSize = m_p - start - qsizetype(endTag.size());
            return true;
        }
        m_plain = false;
        m_text.assign(start, m_p);
        while (m_p < m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (plainTextBytes[c]) {
                m_text.push_back(char16_t(c));
                ++m_p;
                continue;
            }
            switch (c) {
            case '<':
                if (startsWith("<!--")) {
                    if (!skipComment())
                        return false;
                    continue;
                }
                return skipLiteral(endTag);
            case '&':
                if (!readReference())
                    return false;
                continue;
            case '\r':
                // Line ends: CR LF and a lone CR both read as LF.
                m_text.push_back(u'\n');
                ++m_p;
                if (m_p < m_end && *m_p == '\n')
                    ++m_p;
                continue;
            case ']':
                if (startsWith("]]>"))
                    return false;
                m_text.push_back(u']');
                ++m_p;
                continue;
            default: {
                if (c < 0x80)
                    return false; // a control character or DEL
                char32_t code;
                if (!decodeUtf8(&code))
                    return false;
                appendCode(code);
                continue;
            }
            }
        }
        return false;
    }

    QString textString() const
    {
        if (m_plain)
            return QString::fromLatin1(m_plainBegin, m_plainSize);
        return QString(reinterpret_cast<const QChar *>(m_text.data()), qsizetype(m_text.size()));
    }

    // The text just read, made in `blocks`.
    QString keyText(StringBlocks *blocks) const
    {
        if (m_plain) {
            return blocks->make(m_plainSize, [this](char16_t *out) {
                for (qsizetype i = 0; i < m_plainSize; ++i)
                    out[i] = uchar(m_plainBegin[i]);
            });
        }
        return blocks->make(qsizetype(m_text.size()),
                            [this](char16_t *out) { std::copy(m_text.begin(), m_text.end(), out); });
    }

    QStringView textView()
    {
        if (m_plain) {
            m_text.assign(m_plainBegin, m_plainBegin + m_plainSize);
            m_plain = false;
        }
        return QStringView(m_text.data(), qsizetype(m_text.size()));
    }

    // Plain text of at most 18 decimal digits after an optional '-', as most
    // integers are written: what parseInteger makes of it, made directly.
    bool readPlainDecimal(qint64 *out) const
    {
        if (!m_plain)
            return false;
        const char *p = m_plainBegin;
        const char *end = p + m_plainSize;
        const bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        if (p == end || end - p > 18)
            return false;
        qint64 value = 0;
        for (; p < end; ++p) {
            if (*p < '0' || *p > '9')
                return false;
            value = value * 10 + (*p - '0');
        }
        *out = negative ? -value : value;
        return true;
    }

    // The key just read. Keys of nested dictionaries tend to repeat (the
    // same few field names in every entry of a snapshot), so short plain
    // ones are shared rather than made again each time: each is kept in a
    // slot chosen by its bytes' hash, until a key of the same slot comes.
    // Nothing is allocated for it, so a reader made for one small value
    // (a deferred one) pays nothing for keys that do not repeat.
    QString keyString(int openContainers)
    {
        if (!m_plain || openContainers < 2 || m_plainSize > 64)
            return textString();
        const std::string_view bytes(m_plainBegin, size_t(m_plainSize));
        SharedKey &slot = m_keys[qHash(QByteArrayView(bytes.data(), qsizetype(bytes.size()))) % m_keys.size()];
        if (slot.key.isNull() || slot.bytes != bytes) {
            slot.bytes = bytes;
            slot.key = textString();
        }
        return slot.key;
    }

    template<bool Build>
    bool readArray(int openContainers, bool empty, PropertyListValue *out)
    {
        PropertyListArray array;
        while (!empty) {
            if (!skipMisc())
                return false;
            if (skipLiteral("</array>"))
                break;
            PropertyListValue value;
            if (!readValue<Build>(openContainers, &value))
                return false;
            if constexpr (Build)
                array.append(std::move(value));
        }
        if constexpr (Build)
            *out = PropertyListValue::fromArray(std::move(array));
        return true;
    }

    // Checking only: the deepest level reached (the document's value is at
    // level 1), and whether the check gave up on a value that making it
    // would decide.
    int m_deepest = 0;
    bool m_needsBuild = false;
    // The text of the last element read: in the input, or decoded.
    bool m_plain = true;
    const char *m_plainBegin = nullptr;
    qsizetype m_plainSize = 0;
    std::u16string m_text;
    // Shared keys of nested dictionaries, with their bytes in the input.
    struct SharedKey
    {
        std::string_view bytes;
        QString key;
    };
    std::array<SharedKey, 128> m_keys{};
};

// The deferred pass, for PropertyListReading::TopLevelOnUse. A snapshot is a
// dictionary of many keys of which only a few are looked into, and making all
// their values is most of what reading it costs. This reader checks the whole
// document now, as strictly as making it would (an error is still found when
// reading), but leaves each dictionary or array in the top-level dictionary
// in the document's bytes, made when it is first looked into
// (PropertyListValue::deferred). The value is the same either way.
class TopLevelOnUseReader : private FastXmlReader
{
public:
    // Deferred values keep their place in the document in 32 bits: a larger
    // document is read whole instead.
    static bool canRead(const QByteArray &bytes)
    {
        return bytes.size() <= qsizetype(std::numeric_limits<quint32>::max());
    }

    static PropertyListValue read(const QByteArray &bytes)
    {
        // The deferred values keep the document: an array over bytes it does
        // not own is copied first.
        QByteArray document = bytes;
        if (!document.data_ptr().isMutable())
            document = QByteArray(bytes.constData(), bytes.size());
        TopLevelOnUseReader reader(PropertyListValue::deferredDocument(std::move(document), &makeMember));
        return reader.readDocument([&reader](PropertyListValue *root) { return reader.readRoot(root); });
    }

private:
    explicit TopLevelOnUseReader(PropertyListValue::DocumentReference document)
        : FastXmlReader(document->bytes.constData(), document->bytes.constData() + document->bytes.size()),
          m_document(std::move(document))
    {}

    // The document's value: the members of a dictionary are read by
    // readMember; anything else is made at once.
    bool readRoot(PropertyListValue *root)
    {
        const char *start = m_p;
        Tag tag;
        bool empty;
        if (readStartTag(&tag, &empty) && tag == Tag::Dict)
            return readDictionary<true>(1, empty, root,
                                        [this](PropertyListValue *member) { return readMember(member); });
        m_p = start;
        return readValue<true>(0, root);
    }

    // A member of the top-level dictionary: a dictionary or array with
    // content is checked now and deferred; anything else is made at once, and
    // so is a container the check cannot vouch for without making it.
    bool readMember(PropertyListValue *out)
    {
        constexpr int openContainers = 1;
        const char *start = m_p;
        Tag tag;
        bool empty;
        const bool container = readStartTag(&tag, &empty) && !empty && (tag == Tag::Dict || tag == Tag::Array);
        m_p = start;
        if (!container)
            return readValue<true>(openContainers, out);
        int depth = 0;
        bool needsBuild = false;
        if (checkValue(openContainers, &depth, &needsBuild)) {
            const char *base = m_document->bytes.constData();
            *out = PropertyListValue::deferred(tag == Tag::Dict ? PropertyListValue::Kind::Dictionary
                                                                : PropertyListValue::Kind::Array,
                                               depth, m_document, start - base, m_p - base, &m_blocks);
            return true;
        }
        if (!needsBuild)
            return false;
        m_p = start;
        return readValue<true>(openContainers, out);
    }

    // Makes a member deferred by readMember: its bytes were checked.
    static PropertyListValue makeMember(const QByteArray &document, qsizetype begin, qsizetype end)
    {
        FastXmlReader reader(document.constData() + begin, document.constData() + end);
        return reader.readLoneValue(1);
    }

    PropertyListValue::DocumentReference m_document;
    PropertyListValue::DeferredBlocks m_blocks;
};

} // namespace

PropertyListValue readXmlPropertyListFast(const QByteArray &bytes, bool deferTopLevelMembers)
{
    if (deferTopLevelMembers && TopLevelOnUseReader::canRead(bytes))
        return TopLevelOnUseReader::read(bytes);
    FastXmlReader reader(bytes.constData(), bytes.constData() + bytes.size());
    return reader.read();
}

} // namespace kv::plistdetail
