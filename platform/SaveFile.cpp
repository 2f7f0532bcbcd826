#include "platform/SaveFile.h"

#include <QFileInfo>
#include <QSaveFile>

namespace kv {

namespace {

bool failed(QString *error, const QString &path, const QString &reason)
{
    if (error)
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, reason);
    return false;
}

} // namespace

bool saveFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    if (QFileInfo(path).isDir())
        return failed(error, path, QStringLiteral("it is a directory"));
    // QSaveFile writes to a temporary file beside the target, flushes and
    // syncs it on commit and only then renames it over the target; when
    // anything fails before that, the temporary file is removed and the
    // target keeps its old content.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    // Unbuffered, and written until done or refused: a write that stops part
    // of the way (a full disk) is then retried and fails with its reason,
    // which a buffered write loses ("Unknown error").
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failed(error, path, file.errorString());
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + written, bytes.size() - written);
        if (n <= 0)
            break;
        written += n;
    }
    if (written != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return failed(error, path, reason);
    }
    if (!file.commit())
        return failed(error, path, file.errorString());
    return true;
}

} // namespace kv
