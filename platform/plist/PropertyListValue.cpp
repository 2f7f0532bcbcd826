#include "platform/plist/PropertyListValue.h"

#include <QLocale>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <variant>

namespace kv {

struct PropertyListValue::Header : SharedCount
{
    Kind kind;
    // What the header begins: a Data, or a Deferred not read yet or read.
    enum class Form : quint8 { Made, Unread, Read };
    mutable Form form = Form::Made;
    quint16 deferredDepth : 15 = 0; // of a Deferred
    quint16 inBlock : 1 = 0;        // a Deferred kept in DeferredBlocks
};

struct PropertyListValue::Data : Header
{
    std::variant<std::monostate, PropertyListDictionary, PropertyListArray, QString, qint64, quint64, double, bool,
                 QByteArray, QDateTime>
        payload;

    ~Data();
};

// The content of a value made by deferred(): 24 bytes, so that the many of
// a large snapshot take a small allocation each, or a place in a block of
// DeferredBlocks. Until it is read, it holds
// a reference to its document; once read, one to the content made (and the
// document may go).
struct PropertyListValue::Deferred : Header
{
    union
    {
        const DeferredDocument *document; // Form::Unread
        const Data *content;              // Form::Read
    };
    quint32 begin;
    quint32 length;

    ~Deferred()
    {
        if (form == Form::Unread)
            (void)DocumentReference::adopt(document);
        else
            (void)Reference::adopt(content);
    }

    // The same reader on the same bytes makes the same value. Both unread.
    bool sameSourceAs(const Deferred &other) const
    {
        if (document->read != other.document->read || length != other.length)
            return false;
        const char *here = document->bytes.constData() + begin;
        const char *there = other.document->bytes.constData() + other.begin;
        if (here == there)
            return true;
        return document->rangeHoldsValue && other.document->rangeHoldsValue && std::memcmp(here, there, length) == 0;
    }
};

// Destroying a deeply nested value must not recurse once per level: the
// children of a container this value alone holds are handed to a work list
// that the outermost destruction drains.
PropertyListValue::Data::~Data()
{
    // The work list of the outermost destruction on this thread. A plain
    // pointer, so that it stays usable while static values are destroyed at exit.
    thread_local std::vector<Reference> *pending = nullptr;

    std::vector<Reference> work;
    std::vector<Reference> &list = pending ? *pending : work;
    if (auto *dictionary = std::get_if<PropertyListDictionary>(&payload)) {
        if (dictionary->isDetached()) {
            for (auto it = dictionary->begin(); it != dictionary->end(); ++it) {
                if (it.value().d.refersToObject())
                    list.push_back(std::move(it.value().d));
            }
        }
    } else if (auto *array = std::get_if<PropertyListArray>(&payload)) {
        if (array->isDetached()) {
            for (PropertyListValue &child : *array) {
                if (child.d.refersToObject())
                    list.push_back(std::move(child.d));
            }
        }
    }
    if (pending)
        return;
    pending = &work;
    while (!work.empty()) {
        Reference next = std::move(work.back());
        work.pop_back();
        next.reset();
    }
    pending = nullptr;
}

namespace {

const PropertyListDictionary &emptyDictionary()
{
    static const PropertyListDictionary empty;
    return empty;
}

const PropertyListArray &emptyArray()
{
    static const PropertyListArray empty;
    return empty;
}

// A small integer or a boolean is held in its reference's tag: the kind in
// bits 1 to 7, the value (a signed 56-bit integer; 0 or 1) above them.
constexpr int ImmediateShift = 8;
constexpr qint64 SmallestImmediate = -(qint64(1) << 55);
constexpr qint64 LargestImmediate = (qint64(1) << 55) - 1;

PropertyListValue::Kind immediateKind(quintptr bits)
{
    return PropertyListValue::Kind((bits >> 1) & 0x7f);
}

qint64 immediatePayload(quintptr bits)
{
    return qint64(bits) >> ImmediateShift;
}

// A string may stand unquoted in old-style text when it is non-empty and made
// only of these characters.
bool needsQuotes(const QString &s)
{
    if (s.isEmpty())
        return true;
    for (QChar c : s) {
        const char16_t u = c.unicode();
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_'
                           || u == '$' || u == '.' || u == '/' || u == ':' || u == '-';
        if (!plain)
            return true;
    }
    return false;
}

void appendQuoted(QString &out, const QString &s)
{
    if (!needsQuotes(s)) {
        out += s;
        return;
    }
    out += u'"';
    for (QChar c : s) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\r': out += QLatin1String("\\r"); break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                out += QStringLiteral("\\U%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += u'"';
}

QString realText(double v)
{
    if (std::isnan(v))
        return QStringLiteral("nan");
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("+infinity") : QStringLiteral("-infinity");
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

QString dataText(const QByteArray &bytes)
{
    static const char digits[] = "0123456789abcdef";
    QString out;
    out.reserve(2 + bytes.size() * 2 + bytes.size() / 4);
    out += u'<';
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0)
            out += u' ';
        const auto b = static_cast<unsigned char>(bytes[i]);
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 0xf]);
    }
    out += u'>';
    return out;
}

QString dateText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1String(" +0000");
}

void indent(QString &out, int level)
{
    out.append(QString(level * 4, u' '));
}

void describe(QString &out, const PropertyListValue &value, int level, bool nested);

void describeDictionary(QString &out, const PropertyListDictionary &dict, int level)
{
    out += QLatin1String("{\n");
    for (auto it = dict.cbegin(); it != dict.cend(); ++it) {
        indent(out, level + 1);
        appendQuoted(out, it.key());
        out += QLatin1String(" = ");
        describe(out, it.value(), level + 1, true);
        out += QLatin1String(";\n");
    }
    indent(out, level);
    out += u'}';
}

void describeArray(QString &out, const PropertyListArray &array, int level)
{
    out += QLatin1String("(\n");
    for (qsizetype i = 0; i < array.size(); ++i) {
        indent(out, level + 1);
        describe(out, array[i], level + 1, true);
        if (i + 1 < array.size())
            out += u',';
        out += u'\n';
    }
    indent(out, level);
    out += u')';
}

void describe(QString &out, const PropertyListValue &value, int level, bool nested)
{
    switch (value.kind()) {
    case PropertyListValue::Kind::None: break;
    case PropertyListValue::Kind::Dictionary: describeDictionary(out, value.dictionary(), level); break;
    case PropertyListValue::Kind::Array: describeArray(out, value.array(), level); break;
    case PropertyListValue::Kind::String:
        if (nested)
            appendQuoted(out, value.string());
        else
            out += value.string();
        break;
    case PropertyListValue::Kind::Integer:
        if (value.isUnsignedInteger())
            out += QString::number(value.unsignedInteger());
        else
            out += QString::number(value.integer());
        break;
    case PropertyListValue::Kind::Real: out += realText(value.real()); break;
    case PropertyListValue::Kind::Boolean:
        out += value.boolean() ? QLatin1String("true") : QLatin1String("false");
        break;
    case PropertyListValue::Kind::Data: out += dataText(value.data()); break;
    case PropertyListValue::Kind::Date:
        if (nested)
            out += u'"' + dateText(value.date()) + u'"';
        else
            out += dateText(value.date());
        break;
    }
}

} // namespace

PropertyListValue PropertyListValue::fromDictionary(PropertyListDictionary dictionary)
{
    return made(new Data{{{}, Kind::Dictionary}, std::move(dictionary)});
}

PropertyListValue PropertyListValue::fromArray(PropertyListArray array)
{
    return made(new Data{{{}, Kind::Array}, std::move(array)});
}

PropertyListValue PropertyListValue::fromString(QString string)
{
    return made(new Data{{{}, Kind::String}, std::move(string)});
}

PropertyListValue PropertyListValue::fromInteger(qint64 value)
{
    if (value >= SmallestImmediate && value <= LargestImmediate)
        return immediate(Kind::Integer, value);
    return made(new Data{{{}, Kind::Integer}, value});
}

PropertyListValue PropertyListValue::fromUnsignedInteger(quint64 value)
{
    if (value <= quint64(std::numeric_limits<qint64>::max()))
        return fromInteger(qint64(value));
    return made(new Data{{{}, Kind::Integer}, value});
}

PropertyListValue PropertyListValue::fromReal(double value)
{
    return made(new Data{{{}, Kind::Real}, value});
}

PropertyListValue PropertyListValue::fromBoolean(bool value)
{
    return immediate(Kind::Boolean, value ? 1 : 0);
}

PropertyListValue PropertyListValue::fromData(QByteArray data)
{
    return made(new Data{{{}, Kind::Data}, std::move(data)});
}

PropertyListValue PropertyListValue::fromDate(const QDateTime &date)
{
    return made(new Data{{{}, Kind::Date}, date.toUTC()});
}

PropertyListValue::DocumentReference PropertyListValue::deferredDocument(QByteArray bytes, DeferredReader read,
                                                                         bool rangeHoldsValue)
{
    auto *document = new DeferredDocument;
    document->bytes = std::move(bytes);
    document->read = read;
    document->rangeHoldsValue = rangeHoldsValue;
    return DocumentReference::adopt(document);
}

PropertyListValue PropertyListValue::deferred(Kind kind, int depth, const DocumentReference &document, qsizetype begin,
                                              qsizetype end, DeferredBlocks *blocks)
{
    Q_ASSERT(kind == Kind::Dictionary || kind == Kind::Array);
    Q_ASSERT(document && begin >= 0 && begin <= end && end <= document->bytes.size());
    Q_ASSERT(end <= qsizetype(std::numeric_limits<quint32>::max()));
    static_assert(sizeof(Deferred) <= 24, "a deferred content takes an allocation of 32 bytes");
    void *place = blocks ? blocks->take() : ::operator new(sizeof(Deferred));
    return made(new (place) Deferred{
        {{}, kind, Header::Form::Unread, quint16(std::clamp(depth, 1, 0x7fff)), quint16(blocks != nullptr)},
        {DocumentReference(document).release()},
        quint32(begin),
        quint32(end - begin)});
}

// A block of DeferredBlocks: a count, then places for contents. Blocks are
// aligned to their size, so a content finds its block from its address.
struct PropertyListValue::DeferredBlocks::Block
{
    static constexpr size_t Bytes = 64 * 1024;
    static constexpr size_t FirstPlace = 8;
    static constexpr quint32 Places = quint32((Bytes - FirstPlace) / sizeof(Deferred));

    // Contents alive in the block, plus its places not taken yet and one
    // while DeferredBlocks takes from it: a count that reaches zero only
    // once all three have gone, without counting each place taken.
    std::atomic<quint32> count{Places + 1};

    static Block *of(const Deferred *content)
    {
        return reinterpret_cast<Block *>(quintptr(content) & ~quintptr(Bytes - 1));
    }
    void *place(quint32 i) { return reinterpret_cast<char *>(this) + FirstPlace + i * sizeof(Deferred); }
    void release(quint32 n)
    {
        if (count.fetch_sub(n, std::memory_order_acq_rel) == n) {
            this->~Block();
            std::free(this);
        }
    }
};

PropertyListValue::DeferredBlocks::~DeferredBlocks()
{
    if (m_block)
        m_block->release(Block::Places - m_used + 1);
}

void *PropertyListValue::DeferredBlocks::take()
{
    static_assert(Block::FirstPlace >= sizeof(Block) && Block::FirstPlace % alignof(Deferred) == 0);
    if (!m_block || m_used == Block::Places) {
        if (m_block)
            m_block->release(1);
        void *memory = std::aligned_alloc(Block::Bytes, Block::Bytes);
        if (!memory)
            throw std::bad_alloc();
        m_block = new (memory) Block;
        m_used = 0;
    }
    return m_block->place(m_used++);
}

void PropertyListValue::destroy(const SharedCount *data)
{
    const auto *header = static_cast<const Header *>(data);
    if (header->form == Header::Form::Made) {
        delete static_cast<const Data *>(header);
    } else if (header->inBlock) {
        const auto *deferred = static_cast<const Deferred *>(header);
        DeferredBlocks::Block *block = DeferredBlocks::Block::of(deferred);
        deferred->~Deferred();
        block->release(1);
    } else {
        delete static_cast<const Deferred *>(header);
    }
}

PropertyListValue PropertyListValue::made(const Header *data)
{
    return PropertyListValue(Reference::adopt(data));
}

PropertyListValue PropertyListValue::immediate(Kind kind, qint64 payload)
{
    return PropertyListValue(Reference::tag((quintptr(payload) << ImmediateShift) | (quintptr(kind) << 1) | 1));
}

inline const PropertyListValue::Header *PropertyListValue::header() const
{
    return static_cast<const Header *>(d.get());
}

inline const PropertyListValue::Deferred *PropertyListValue::unread() const
{
    return d.refersToObject() && header()->form == Header::Form::Unread ? static_cast<const Deferred *>(header())
                                                                        : nullptr;
}

const PropertyListValue::Data &PropertyListValue::content() const
{
    const Header *h = header();
    if (h->form == Header::Form::Made)
        return *static_cast<const Data *>(h);
    read();
    return *static_cast<const Deferred *>(h)->content;
}

PropertyListValue PropertyListValue::madeNow(const Deferred *deferred)
{
    const DeferredDocument *document = deferred->document;
    PropertyListValue readValue = document->read(document->bytes, deferred->begin, deferred->begin + deferred->length);
    // The reader checked these bytes before deferring them; should they not
    // make a value of the kind promised after all, the value reads as empty
    // rather than as something of another kind.
    const bool promised = readValue.d.refersToObject() && readValue.header()->kind == deferred->kind;
    Q_ASSERT(promised);
    if (!promised)
        readValue = deferred->kind == Kind::Dictionary ? fromDictionary({}) : fromArray({});
    return readValue;
}

void PropertyListValue::read() const
{
    const Deferred *deferred = unread();
    if (!deferred)
        return;
    const DeferredDocument *document = deferred->document;
    const PropertyListValue readValue = madeNow(deferred);
    // The content made is shared, not copied; the document is let go.
    const Data &content = readValue.content();
    content.references.fetch_add(1, std::memory_order_relaxed);
    auto *mutableDeferred = const_cast<Deferred *>(deferred); // made non-const by deferred()
    mutableDeferred->content = &content;
    deferred->form = Header::Form::Read;
    (void)DocumentReference::adopt(document);
}

const PropertyListValue::DeferredDocument *PropertyListValue::unreadDocument() const
{
    const Deferred *deferred = unread();
    return deferred ? deferred->document : nullptr;
}

qsizetype PropertyListValue::deferredBegin() const
{
    if (!d.refersToObject() || header()->form == Header::Form::Made)
        return -1;
    return static_cast<const Deferred *>(header())->begin;
}

PropertyListValue::Kind PropertyListValue::kind() const
{
    if (d.isTag())
        return immediateKind(d.tagBits());
    return d ? header()->kind : Kind::None;
}

bool PropertyListValue::isNumber() const
{
    const Kind k = kind();
    return k == Kind::Integer || k == Kind::Real || k == Kind::Boolean;
}

const PropertyListDictionary &PropertyListValue::dictionary() const
{
    if (kind() == Kind::Dictionary)
        return std::get<PropertyListDictionary>(content().payload);
    return emptyDictionary();
}

const PropertyListArray &PropertyListValue::array() const
{
    if (kind() == Kind::Array)
        return std::get<PropertyListArray>(content().payload);
    return emptyArray();
}

QString PropertyListValue::string() const
{
    return kind() == Kind::String ? std::get<QString>(content().payload) : QString();
}

bool PropertyListValue::isUnsignedInteger() const
{
    return kind() == Kind::Integer && !d.isTag() && std::holds_alternative<quint64>(content().payload);
}

qint64 PropertyListValue::integer() const
{
    if (d.isTag())
        return immediatePayload(d.tagBits()); // an integer, or a boolean's 0 or 1
    switch (kind()) {
    case Kind::Integer:
        if (isUnsignedInteger())
            return qint64(std::get<quint64>(content().payload));
        return std::get<qint64>(content().payload);
    case Kind::Real: {
        const double v = std::get<double>(content().payload);
        if (!(v == v) || v >= 9.2233720368547758e18 || v < -9.2233720368547758e18)
            return 0;
        return qint64(v);
    }
    case Kind::Boolean: return std::get<bool>(content().payload) ? 1 : 0;
    default: return 0;
    }
}

quint64 PropertyListValue::unsignedInteger() const
{
    if (isUnsignedInteger())
        return std::get<quint64>(content().payload);
    return quint64(integer());
}

double PropertyListValue::real() const
{
    if (d.isTag())
        return double(immediatePayload(d.tagBits()));
    switch (kind()) {
    case Kind::Integer:
        return isUnsignedInteger() ? double(std::get<quint64>(content().payload))
                                   : double(std::get<qint64>(content().payload));
    case Kind::Real: return std::get<double>(content().payload);
    case Kind::Boolean: return std::get<bool>(content().payload) ? 1.0 : 0.0;
    default: return 0.0;
    }
}

bool PropertyListValue::boolean() const
{
    if (d.isTag())
        return immediatePayload(d.tagBits()) != 0;
    if (kind() == Kind::Boolean)
        return std::get<bool>(content().payload);
    return isNumber() && real() != 0.0;
}

QByteArray PropertyListValue::data() const
{
    return kind() == Kind::Data ? std::get<QByteArray>(content().payload) : QByteArray();
}

QDateTime PropertyListValue::date() const
{
    return kind() == Kind::Date ? std::get<QDateTime>(content().payload) : QDateTime();
}

qsizetype PropertyListValue::count() const
{
    switch (kind()) {
    case Kind::Dictionary: return dictionary().size();
    case Kind::Array: return array().size();
    default: return 0;
    }
}

PropertyListValue PropertyListValue::value(const QString &key) const
{
    return dictionary().value(key);
}

PropertyListValue PropertyListValue::at(qsizetype index) const
{
    const PropertyListArray &a = array();
    return index >= 0 && index < a.size() ? a[index] : PropertyListValue();
}

QString PropertyListValue::typeName() const
{
    switch (kind()) {
    case Kind::None: return QString();
    case Kind::Dictionary: return QStringLiteral("Dictionary");
    case Kind::Array: return QStringLiteral("Array");
    case Kind::String: return QStringLiteral("String");
    case Kind::Integer:
    case Kind::Real: return QStringLiteral("Number");
    case Kind::Boolean: return QStringLiteral("Boolean");
    case Kind::Data: return QStringLiteral("Data");
    case Kind::Date: return QStringLiteral("Date");
    }
    return QString();
}

QString PropertyListValue::description() const
{
    QString out;
    describe(out, *this, 0, false);
    return out;
}

int PropertyListValue::depth() const
{
    // Iterative, so that deeply nested values cannot exhaust the stack.
    if (!d)
        return 0;
    int deepest = 0;
    QList<std::pair<const PropertyListValue *, int>> pending{{this, 1}};
    while (!pending.isEmpty()) {
        const auto [value, level] = pending.takeLast();
        if (const Deferred *deferred = value->unread()) {
            deepest = std::max(deepest, level - 1 + deferred->deferredDepth);
            continue;
        }
        deepest = std::max(deepest, level);
        if (value->isDictionary()) {
            for (const PropertyListValue &child : value->dictionary())
                pending.append({&child, level + 1});
        } else if (value->isArray()) {
            for (const PropertyListValue &child : value->array())
                pending.append({&child, level + 1});
        }
    }
    return deepest;
}

bool PropertyListValue::nestsDeeperThan(int limit) const
{
    if (!d)
        return limit < 0;
    if (limit < 1)
        return true;
    if (const Deferred *deferred = unread())
        return deferred->deferredDepth > limit;
    // Recursion at most `limit` levels deep.
    if (isDictionary()) {
        for (const PropertyListValue &child : dictionary()) {
            if (child.nestsDeeperThan(limit - 1))
                return true;
        }
    } else if (isArray()) {
        for (const PropertyListValue &child : array()) {
            if (child.nestsDeeperThan(limit - 1))
                return true;
        }
    }
    return false;
}

bool PropertyListValue::operator==(const PropertyListValue &other) const
{
    if (d == other.d)
        return true;
    const Kind k = kind();
    if (k == Kind::None || k != other.kind())
        return false;
    if (d.isTag() || other.d.isTag()) // small integers and booleans
        return k == Kind::Boolean ? boolean() == other.boolean()
                                  : !isUnsignedInteger() && !other.isUnsignedInteger() && integer() == other.integer();
    const Deferred *deferred = unread();
    const Deferred *otherDeferred = other.unread();
    if (deferred && otherDeferred && deferred->sameSourceAs(*otherDeferred))
        return true;
    switch (k) {
    case Kind::Integer:
        return isUnsignedInteger() == other.isUnsignedInteger() && unsignedInteger() == other.unsignedInteger();
    case Kind::Real: {
        const double a = real(), b = other.real();
        return a == b || (a != a && b != b);
    }
    case Kind::Date: return date() == other.date();
    default: return content().payload == other.content().payload;
    }
}

bool PropertyListValue::equalsWithoutKeeping(const PropertyListValue &other) const
{
    const Deferred *deferred = unread();
    const Deferred *otherDeferred = other.unread();
    if (!deferred && !otherDeferred)
        return *this == other;
    if (deferred && otherDeferred && deferred->sameSourceAs(*otherDeferred))
        return true;
    if (kind() != other.kind())
        return false;
    return (deferred ? madeNow(deferred) : *this) == (otherDeferred ? madeNow(otherDeferred) : other);
}

PropertyListValue stringArray(const QStringList &strings)
{
    PropertyListArray array;
    array.reserve(strings.size());
    for (const QString &string : strings)
        array.append(PropertyListValue::fromString(string));
    return PropertyListValue::fromArray(std::move(array));
}

} // namespace kv
