#include "platform/plist/PropertyListFile.h"

#include "platform/FileContents.h"
#include "platform/SaveFile.h"

#include "platform/plist/PropertyListReaders_p.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1) + QLatin1String(" MiB");
}

} // namespace

namespace plistdetail {

PropertyListValue readXmlPropertyList(const QByteArray &bytes, QString *error, const QString &source,
                                      PropertyListReading reading)
{
    // The fast reader takes the documents it reads in full; everything else,
    // errors included, is read by the strict reader, which gives the same
    // value for any document both read and every error message.
    PropertyListValue value = readXmlPropertyListFast(bytes, reading == PropertyListReading::TopLevelOnUse);
    if (!value.isNone())
        return value;
    return readXmlPropertyListStrict(bytes, error, source);
}

} // namespace plistdetail

PropertyListValue readPropertyList(const QByteArray &bytes, QString *error, const QString &sourceName,
                                   PropertyListReading reading)
{
    return readPropertyList(bytes, error, sourceName, reading, nullptr);
}

PropertyListValue readPropertyList(const QByteArray &bytes, QString *error, const QString &sourceName,
                                   PropertyListReading reading, UnreadBytes *unread)
{
    const QString source = sourceName.isEmpty() ? QStringLiteral("property list") : sourceName;
    if (bytes.isEmpty()) {
        setError(error, source + QLatin1String(": the input is empty, not a property list"));
        return {};
    }
    if (bytes.size() > PropertyListMaximumInputSize) {
        setError(error, source
                            + QStringLiteral(": the input is %1, more than the %2 a property list may have")
                                  .arg(mebibytes(bytes.size()), mebibytes(PropertyListMaximumInputSize)));
        return {};
    }
    QString message;
    PropertyListValue value;
    if (bytes.startsWith("bplist"))
        value = plistdetail::readBinaryPropertyList(bytes, &message, source, reading, unread);
    else if (!unread || unread->empty() || plistdetail::readUnreadBytes(bytes, unread, source, &message))
        value = plistdetail::readXmlPropertyList(bytes, &message, source, reading);
    if (value.isNone())
        setError(error, message);
    return value;
}

ByteRanges releaseUnneededBytes(const PropertyListDictionary &contents)
{
    // The values of one read share one document: the first one unread names it.
    for (const PropertyListValue &value : contents) {
        const PropertyListValue::DeferredDocument *document = value.unreadDocument();
        if (!document)
            continue;
        // Bytes the document does not own (raw data) are not its to give back.
        if (!const_cast<QByteArray &>(document->bytes).data_ptr().d_ptr())
            return {};
        ByteRanges released;
        // The ranges are whole pages inside the document's bytes, which have
        // not moved since it was read (nothing changes them).
        char *bytes = const_cast<char *>(document->bytes.constData());
        for (const auto &[begin, end] : std::exchange(document->unneeded, {})) {
            if (::madvise(bytes + begin, size_t(end - begin), MADV_DONTNEED) == 0)
                released.emplace_back(begin, end);
        }
        return released;
    }
    return {};
}

PropertyListValue readPropertyListFile(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (info.isDir()) {
        setError(error, QStringLiteral("cannot read \"%1\": it is a directory").arg(path));
        return {};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString()));
        return {};
    }
    // Refuse oversized files before reading them into memory. A size of 0
    // may be a special file that does not report its size; the read below is
    // then bounded instead.
    const qint64 size = file.size();
    if (size > PropertyListMaximumInputSize) {
        setError(error, QStringLiteral("cannot read \"%1\": the file is %2, more than the %3 a property list may have")
                            .arg(path, mebibytes(size), mebibytes(PropertyListMaximumInputSize)));
        return {};
    }
    QByteArray bytes;
    if (!readFileContents(file, &bytes, PropertyListMaximumInputSize)) {
        setError(error, QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString()));
        return {};
    }
    return readPropertyList(bytes, error, path);
}

bool readPropertyListFileContents(QFile &file, QByteArray *bytes, qint64 limit, UnreadBytes *unread)
{
    *unread = {};
    const int fd = file.handle();
    struct stat status;
    if (file.pos() == 0 && fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= limit) {
        const qint64 size = status.st_size;
        const auto [keysBegin, keysEnd] = plistdetail::binaryTopLevelKeyBytes(fd, size);
        if (keysBegin < keysEnd) {
            QByteArray read(size, Qt::Uninitialized);
            // The whole pages of memory the keys' bytes would fill.
            static const quintptr pageSize = quintptr(::sysconf(_SC_PAGESIZE));
            const quintptr data = quintptr(read.constData());
            const qint64 begin = qint64((data + quintptr(keysBegin) + pageSize - 1) / pageSize * pageSize - data);
            const qint64 end = qint64((data + quintptr(keysEnd)) / pageSize * pageSize - data);
            constexpr qint64 LeastPages = 16; // fewer are read with the rest
            if (end - begin >= LeastPages * qint64(pageSize)) {
                UniqueFd reopened(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
                if (reopened.isValid() && readFileLeavingOut(file, read.data(), size, begin, end) && file.seek(size)) {
                    *bytes = std::move(read);
                    *unread = {qsizetype(begin), qsizetype(end), std::make_shared<const UniqueFd>(std::move(reopened))};
                    return true;
                }
                if (!file.seek(0))
                    return false;
            }
        }
    }
    return readFileContents(file, bytes, limit);
}

QByteArray writePropertyListXml(const PropertyListValue &value, QString *error)
{
    return plistdetail::writeXmlPropertyList(value, error);
}

bool writePropertyListFile(const QString &path, const PropertyListValue &value, QString *error)
{
    QString why;
    const QByteArray text = writePropertyListXml(value, &why);
    if (text.isEmpty()) {
        setError(error, QStringLiteral("cannot write \"%1\": %2").arg(path, why));
        return false;
    }
    return saveFileAtomically(path, text, error);
}

} // namespace kv
