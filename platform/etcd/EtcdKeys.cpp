#include "platform/etcd/EtcdKeys.h"

#include "platform/plist/PropertyListFile.h"

#include <QByteArrayView>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringDecoder>

#include <cmath>

namespace kv::etcd {

namespace {

// The first of the lone surrogates that stand for bytes that are not UTF-8.
constexpr char16_t ByteEscapeBase = 0xDC00;

// The length of the valid UTF-8 sequence that starts at p[0] (at most
// `left` bytes are there), 0 when none does: no overlong forms, no
// surrogates, nothing past U+10FFFF.
int utf8SequenceLength(const uchar *p, qsizetype left)
{
    const uchar lead = p[0];
    if (lead < 0x80)
        return 1;
    const auto follows = [&](qsizetype i, uchar low = 0x80, uchar high = 0xBF) {
        return i < left && p[i] >= low && p[i] <= high;
    };
    if (lead >= 0xC2 && lead <= 0xDF)
        return follows(1) ? 2 : 0;
    if (lead == 0xE0)
        return follows(1, 0xA0) && follows(2) ? 3 : 0;
    if (lead == 0xED)
        return follows(1, 0x80, 0x9F) && follows(2) ? 3 : 0;
    if (lead >= 0xE1 && lead <= 0xEF)
        return follows(1) && follows(2) ? 3 : 0;
    if (lead == 0xF0)
        return follows(1, 0x90) && follows(2) && follows(3) ? 4 : 0;
    if (lead >= 0xF1 && lead <= 0xF3)
        return follows(1) && follows(2) && follows(3) ? 4 : 0;
    if (lead == 0xF4)
        return follows(1, 0x80, 0x8F) && follows(2) && follows(3) ? 4 : 0;
    return 0;
}

// Key bytes as text: UTF-8, with each byte outside a valid sequence as
// ByteEscapeBase + byte.
QString textFromKeyBytes(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype size = bytes.size();
    QString text;
    text.reserve(size);
    for (qsizetype at = 0; at < size;) {
        const int length = utf8SequenceLength(p + at, size - at);
        char32_t code = 0;
        switch (length) {
        case 0: text += QChar(char16_t(ByteEscapeBase + p[at])); break;
        case 1: code = p[at]; break;
        case 2: code = char32_t(p[at] & 0x1F) << 6 | (p[at + 1] & 0x3F); break;
        case 3: code = char32_t(p[at] & 0x0F) << 12 | char32_t(p[at + 1] & 0x3F) << 6 | (p[at + 2] & 0x3F); break;
        case 4:
            code = char32_t(p[at] & 0x07) << 18 | char32_t(p[at + 1] & 0x3F) << 12 | char32_t(p[at + 2] & 0x3F) << 6
                   | (p[at + 3] & 0x3F);
            break;
        }
        if (length > 0) {
            if (QChar::requiresSurrogates(code)) {
                text += QChar(QChar::highSurrogate(code));
                text += QChar(QChar::lowSurrogate(code));
            } else {
                text += QChar(char16_t(code));
            }
        }
        at += length > 0 ? length : 1;
    }
    return text;
}

// The inverse of textFromKeyBytes(): UTF-8, with the escapes back as single
// bytes. None for a lone surrogate that is not an escape, and for escapes
// that would read back as UTF-8 (they cannot come from key bytes).
std::optional<QByteArray> keyBytesFromText(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    bool escapes = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            bytes += char(c);
        } else if (c < 0x800) {
            bytes += char(0xC0 | c >> 6);
            bytes += char(0x80 | (c & 0x3F));
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, text[++i].unicode());
            bytes += char(0xF0 | code >> 18);
            bytes += char(0x80 | (code >> 12 & 0x3F));
            bytes += char(0x80 | (code >> 6 & 0x3F));
            bytes += char(0x80 | (code & 0x3F));
        } else if (c >= ByteEscapeBase + 0x80 && c <= ByteEscapeBase + 0xFF) {
            bytes += char(c - ByteEscapeBase);
            escapes = true;
        } else if (QChar::isSurrogate(c)) {
            return std::nullopt;
        } else {
            bytes += char(0xE0 | c >> 12);
            bytes += char(0x80 | (c >> 6 & 0x3F));
            bytes += char(0x80 | (c & 0x3F));
        }
    }
    // Escaped bytes next to each other can make a valid sequence (U+DCC3
    // U+DCA9 are the bytes of "é"); such text is not what the bytes read as.
    if (escapes && textFromKeyBytes(bytes) != text)
        return std::nullopt;
    return bytes;
}

bool isJsonWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether the bytes announce a property list: "bplist", or "<?xml" or
// "<plist" after an optional byte order mark and white space.
bool announcesPropertyList(QByteArrayView bytes)
{
    if (bytes.startsWith("bplist"))
        return true;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    qsizetype at = 0;
    while (at < bytes.size() && isJsonWhiteSpace(bytes[at]))
        ++at;
    bytes = bytes.sliced(at);
    return bytes.startsWith("<?xml") || bytes.startsWith("<plist");
}

bool announcesJson(QByteArrayView bytes)
{
    qsizetype at = 0;
    while (at < bytes.size() && isJsonWhiteSpace(bytes[at]))
        ++at;
    return at < bytes.size() && (bytes[at] == '{' || bytes[at] == '[');
}

// A JSON value at nesting level `level` (1 for the document's own object or
// array) as a property-list value; none when it nests deeper than a
// property list may.
PropertyListValue valueFromJson(const QJsonValue &json, int level)
{
    if (level > PropertyListMaximumDepth)
        return {};
    switch (json.type()) {
    case QJsonValue::Object: {
        const QJsonObject object = json.toObject();
        PropertyListDictionary dictionary;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            PropertyListValue value = valueFromJson(it.value(), level + 1);
            if (value.isNone())
                return {};
            dictionary.insert(it.key(), std::move(value));
        }
        return PropertyListValue::fromDictionary(std::move(dictionary));
    }
    case QJsonValue::Array: {
        const QJsonArray elements = json.toArray();
        PropertyListArray array;
        array.reserve(elements.size());
        for (const QJsonValue &element : elements) {
            PropertyListValue value = valueFromJson(element, level + 1);
            if (value.isNone())
                return {};
            array.append(std::move(value));
        }
        return PropertyListValue::fromArray(std::move(array));
    }
    case QJsonValue::Double: {
        // The reader keeps integers it can as integers (a double cannot hold
        // every 64-bit integer); others are whole when they have no fraction.
        const QCborValue number = QCborValue::fromJsonValue(json);
        if (number.isInteger())
            return PropertyListValue::fromInteger(number.toInteger());
        const double real = number.toDouble();
        if (std::trunc(real) == real && real >= -0x1p63 && real < 0x1p63)
            return PropertyListValue::fromInteger(qint64(real));
        return PropertyListValue::fromReal(real);
    }
    case QJsonValue::Bool: return PropertyListValue::fromBoolean(json.toBool());
    case QJsonValue::String: return PropertyListValue::fromString(json.toString());
    case QJsonValue::Null:
    case QJsonValue::Undefined: break;
    }
    return PropertyListValue::fromString(QString());
}

// The bytes as JSON; none when they are not a JSON document (Qt's reader
// refuses documents nested deeper than 1024 itself, before any recursion
// here) or nest too deep for a property list.
PropertyListValue valueFromJsonBytes(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return {};
    if (document.isObject())
        return valueFromJson(document.object(), 1);
    if (document.isArray())
        return valueFromJson(document.array(), 1);
    return {};
}

} // namespace

// Why etcdKeyFromStore() undoes storeKeyFromEtcd(): when R holds a "/" and
// its first "/" is at i, the store key has ":" at i and "/" at i + 1, and no
// "/" before i (the first piece holds none). A ":/" starting at j < i would
// need a "/" at j + 1 <= i: there is none, so the first ":/" is the inserted
// one. When R holds no "/", the store key holds none either, so it has no
// ":/" and ends with the appended ":". The two shapes cannot be confused,
// and the text is undone byte for byte by keyBytesFromText(). The checks
// there and in etcdKeyFromStore() refuse every store key not of one of these
// shapes, so each store key made from an etcd key comes from that key alone.

QString storeKeyFromEtcd(const QByteArray &etcdKey, const QByteArray &prefix)
{
    Q_ASSERT(etcdKey.startsWith(prefix));
    QString key = textFromKeyBytes(QByteArrayView(etcdKey).sliced(prefix.size()));
    const qsizetype slash = key.indexOf(u'/');
    if (slash >= 0)
        key.insert(slash, u':');
    else
        key += u':';
    return key;
}

std::optional<QByteArray> etcdKeyFromStore(const QString &storeKey, const QByteArray &prefix)
{
    const qsizetype separator = storeKey.indexOf(u":/");
    QString rest;
    if (separator >= 0) {
        if (QStringView(storeKey).first(separator).contains(u'/'))
            return std::nullopt;
        rest = storeKey;
        rest.remove(separator, 1);
    } else if (storeKey.endsWith(u':') && !storeKey.contains(u'/')) {
        rest = storeKey.chopped(1);
    } else {
        return std::nullopt;
    }
    std::optional<QByteArray> bytes = keyBytesFromText(rest);
    if (!bytes)
        return std::nullopt;
    return prefix + *bytes;
}

QByteArray prefixRangeEnd(const QByteArray &prefix)
{
    QByteArray end = prefix;
    while (!end.isEmpty() && uchar(end.back()) == 0xFF)
        end.chop(1);
    if (end.isEmpty())
        return QByteArray(1, '\0');
    end[end.size() - 1] = char(uchar(end.back()) + 1);
    return end;
}

PropertyListValue valueFromEtcd(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return PropertyListValue::fromString(QString());
    if (bytes.size() > PropertyListMaximumInputSize)
        return PropertyListValue::fromData(bytes);
    PropertyListValue value;
    if (announcesPropertyList(bytes))
        value = readPropertyList(bytes, nullptr);
    else if (announcesJson(bytes))
        value = valueFromJsonBytes(bytes);
    if (!value.isNone())
        return value;
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return PropertyListValue::fromData(bytes);
    return PropertyListValue::fromString(std::move(text));
}

QByteArray etcdBytesFromValue(const PropertyListValue &value, QString *error)
{
    return writePropertyListXml(value, error);
}

} // namespace kv::etcd
