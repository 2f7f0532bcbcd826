// XML property-list reader: any input is either refused with a reason or read
// into a value that is written back as XML and reads back equal. Whenever the
// fast reader reads an input, the strict reader reads it too, to exactly the
// same value.

#include "fuzz/FuzzSupport.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListReaders_p.h"

#include <cmath>

namespace {

// Equal down to what operator== lets pass: the sign of a zero real and the
// order of dictionary keys.
bool identical(const kv::PropertyListValue &a, const kv::PropertyListValue &b)
{
    using Kind = kv::PropertyListValue::Kind;
    if (a.kind() != b.kind())
        return false;
    switch (a.kind()) {
    case Kind::Dictionary: {
        const kv::PropertyListDictionary &x = a.dictionary(), &y = b.dictionary();
        if (x.size() != y.size())
            return false;
        for (auto it = x.cbegin(), jt = y.cbegin(); it != x.cend(); ++it, ++jt) {
            if (it.key() != jt.key() || !identical(it.value(), jt.value()))
                return false;
        }
        return true;
    }
    case Kind::Array: {
        const kv::PropertyListArray &x = a.array(), &y = b.array();
        if (x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i) {
            if (!identical(x[i], y[i]))
                return false;
        }
        return true;
    }
    case Kind::Real: return a == b && std::signbit(a.real()) == std::signbit(b.real());
    default: return a == b;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const kv::PropertyListValue fast = kv::plistdetail::readXmlPropertyListFast(bytes);
    if (!fast.isNone()) {
        QString strictError;
        const kv::PropertyListValue strict =
            kv::plistdetail::readXmlPropertyListStrict(bytes, &strictError, QStringLiteral("fuzz"));
        fuzz::check(!strict.isNone(), "the fast reader reads only what the strict reader reads");
        fuzz::check(identical(fast, strict), "the fast reader reads the strict reader's value");
    }
    // The members of a top-level dictionary made on first use: checked just
    // as strictly, the same depth before they are made, the same value after.
    const kv::PropertyListValue deferred = kv::plistdetail::readXmlPropertyListFast(bytes, true);
    fuzz::check(deferred.isNone() == fast.isNone(), "making members on first use reads the same documents");
    if (!deferred.isNone()) {
        fuzz::check(deferred.depth() == fast.depth(), "members made on first use have the depth read whole");
        fuzz::check(identical(deferred, fast), "members made on first use are the values read whole");
    }

    QString error;
    const kv::PropertyListValue value = kv::plistdetail::readXmlPropertyList(bytes, &error, QStringLiteral("fuzz"));
    fuzz::checkReadValue(value, error, value, "a refused XML property list comes with a reason",
                         "written XML reads back equal");
    return 0;
}
