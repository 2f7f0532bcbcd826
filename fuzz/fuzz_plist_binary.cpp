// Binary property-list reader: any input is either refused with a reason or
// read into a value that is written as XML (or refused with a reason) and
// reads back equal.

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
    return 0;
}
