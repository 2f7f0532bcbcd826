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
    if (value.isNone()) {
        fuzz::check(!error.isEmpty(), "a refused binary property list comes with a reason");
        return 0;
    }
    fuzz::check(value.depth() <= kv::PropertyListMaximumDepth, "value deeper than the limit accepted");
    (void)value.description();
    QString writeError;
    const QByteArray written = kv::writePropertyListXml(value, &writeError);
    if (written.isEmpty()) {
        // Refused (a character XML cannot carry, say): said so, and why.
        fuzz::check(!writeError.isEmpty(), "a refused XML write comes with a reason");
        return 0;
    }
    QString readError;
    const kv::PropertyListValue again = kv::readPropertyList(written, &readError);
    fuzz::check(!again.isNone(), "written XML reads back");
    fuzz::check(again == fuzz::asXmlCarriesIt(value), "written XML reads back equal (dates to the second)");
    return 0;
}
