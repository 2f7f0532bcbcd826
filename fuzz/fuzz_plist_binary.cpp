// Binary property-list reader: any input is either refused with a reason or
// read into a value that is written as XML (or refused with a reason) and
// reads back equal. Read with the top-level members made on first use, it is
// refused with the same reason or read as the same value.

#include "fuzz/FuzzSupport.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/plist/PropertyListReaders_p.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const kv::PropertyListValue value = kv::plistdetail::readBinaryPropertyList(bytes, &error, QStringLiteral("fuzz"));
    fuzz::checkReadValue(value, error, value.isNone() ? value : fuzz::asXmlCarriesIt(value),
                         "a refused binary property list comes with a reason",
                         "written XML reads back equal (dates to the second)");
    QString lazyError;
    const kv::PropertyListValue lazy = kv::plistdetail::readBinaryPropertyList(
        bytes, &lazyError, QStringLiteral("fuzz"), kv::PropertyListReading::TopLevelOnUse);
    fuzz::check(lazyError == error, "read either way, a refused list gives the same reason");
    fuzz::check(lazy.depth() == value.depth() && lazy == value, "read either way, the value is the same");
    return 0;
}
