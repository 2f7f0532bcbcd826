// Snapshot loading and diffing: the input holds two files, A and B (the first
// two bytes give A's length). The snapshot source serves A, the file is
// rewritten with B and reloaded. Afterwards the store holds exactly B's
// top-level dictionary when B is a good snapshot, else still exactly A's
// (an empty key excepted: the engine refuses it).

#include "fuzz/FuzzSupport.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QString snapshotPath()
{
    static QTemporaryDir *directory = new QTemporaryDir(
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/keyvane-fuzz-XXXXXX") : QString());
    return directory->filePath(QStringLiteral("snapshot.plist"));
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    fuzz::check(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the snapshot file");
    fuzz::check(file.write(bytes) == bytes.size(), "cannot write the snapshot file");
}

// What the store serves of a snapshot: every key but the empty one, which the
// engine refuses (with a log line).
bool storeHolds(const kv::StoreEngine &engine, kv::PropertyListDictionary contents)
{
    contents.remove(QString());
    if (engine.keys() != contents.keys())
        return false;
    for (auto it = contents.cbegin(); it != contents.cend(); ++it) {
        if (!(engine.value(it.key()) == it.value()))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t split = std::min<size_t>(size - 2, size_t(data[0]) | size_t(data[1]) << 8);
    const QByteArray first(reinterpret_cast<const char *>(data) + 2, qsizetype(split));
    const QByteArray second(reinterpret_cast<const char *>(data) + 2 + split, qsizetype(size - 2 - split));

    const QString path = snapshotPath();
    kv::SystemLogCapture log;
    writeFile(path, first);
    kv::StoreEngine engine;
    kv::SnapshotSource source(path);
    QString error;
    kv::PropertyListDictionary firstContents;
    const bool firstGood = kv::SnapshotSource::readSnapshot(path, &firstContents, &error);
    const bool started = source.start(engine, &error);
    fuzz::check(started == firstGood, "the source starts exactly on a good snapshot");
    if (!started) {
        fuzz::check(!error.isEmpty(), "a snapshot that cannot be served comes with a reason");
        return 0;
    }
    fuzz::check(storeHolds(engine, firstContents), "the store holds the first snapshot");

    writeFile(path, second);
    kv::PropertyListDictionary secondContents;
    const bool secondGood = kv::SnapshotSource::readSnapshot(path, &secondContents, &error);
    source.reload();
    QCoreApplication::processEvents();
    if (secondGood) {
        fuzz::check(storeHolds(engine, secondContents), "the store holds the rewritten snapshot");
    } else {
        fuzz::check(storeHolds(engine, firstContents), "a bad rewrite keeps the last good contents");
        fuzz::check(log.lines().size() == 1 + firstContents.contains(QString()), "a bad rewrite is logged once");
    }
    return 0;
}
