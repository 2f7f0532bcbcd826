// Faults around files. The snapshot file vanishing, being truncated in the
// middle of a write, replaced by a directory, or losing read permission while
// the store serves it: the store keeps its last good contents, each event
// gives one system-log line, and a good file is followed again afterwards.
// Export into a read-only directory, onto a directory, onto a full file
// system: the old file is untouched, no temporary file remains, and the
// failure is reported with a reason.

#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using kv::PropertyListDictionary;
using kv::PropertyListValue;

namespace {

PropertyListDictionary contents(int generation, int keys = 20)
{
    PropertyListDictionary dictionary;
    for (int i = 0; i < keys; ++i)
        dictionary.insert(QStringLiteral("State:/Network/Service/S%1/IPv4").arg(i),
                          PropertyListValue::fromDictionary(
                              {{QStringLiteral("Router"),
                                PropertyListValue::fromString(QStringLiteral("10.%1.0.%2").arg(generation).arg(i))}}));
    return dictionary;
}

QByteArray xmlOf(const PropertyListDictionary &dictionary)
{
    QString error;
    const QByteArray xml = kv::writePropertyListXml(PropertyListValue::fromDictionary(dictionary), &error);
    Q_ASSERT(!xml.isEmpty());
    return xml;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool storeHolds(const kv::StoreEngine &engine, const PropertyListDictionary &dictionary)
{
    if (engine.keys() != dictionary.keys())
        return false;
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        if (!(engine.value(it.key()) == it.value()))
            return false;
    }
    return true;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void snapshotFault_data();
    void snapshotFault();
    void snapshotFaultsInARow();
    void exportIntoReadOnlyFolder();
    void exportOntoFolder();
    void exportOntoFullFileSystem();
    void exportOntoFullTmpfs();
};

enum class Fault { Vanish, Truncate, Directory, Unreadable };
Q_DECLARE_METATYPE(Fault)

void TestFaults::snapshotFault_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("vanishes") << Fault::Vanish;
    QTest::newRow("truncated mid-write") << Fault::Truncate;
    QTest::newRow("replaced by a directory") << Fault::Directory;
    QTest::newRow("loses read permission") << Fault::Unreadable;
}

// Followed through the file watcher, as the program does.
void TestFaults::snapshotFault()
{
    QFETCH(Fault, fault);
    if (fault == Fault::Unreadable && geteuid() == 0)
        QSKIP("root reads files without read permission");

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("snapshot.plist"));
    const PropertyListDictionary good = contents(1);
    QVERIFY(writeBytes(path, xmlOf(good)));

    kv::StoreEngine engine;
    kv::SnapshotSource source(path);
    QString error;
    QVERIFY2(source.start(engine, &error), qPrintable(error));
    QVERIFY(storeHolds(engine, good));

    kv::SystemLogCapture log;
    QSignalSpy reloaded(&source, &kv::SnapshotSource::reloaded);
    switch (fault) {
    case Fault::Vanish: QVERIFY(QFile::remove(path)); break;
    case Fault::Truncate: {
        const QByteArray next = xmlOf(contents(2));
        QVERIFY(writeBytes(path, next.left(next.size() / 2)));
        break;
    }
    case Fault::Directory:
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
        break;
    case Fault::Unreadable:
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        // Touch it so that the watcher notices.
        QVERIFY(QFile(path).open(QIODevice::Append));
        break;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!log.lines().isEmpty(), 5000);
    // More notifications of the same state add no line.
    source.reload();
    QTest::qWait(3 * kv::SnapshotSource::DebounceMilliseconds);
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().contains(QStringLiteral("keeping the last good contents")),
             qPrintable(log.lines().first()));
    QVERIFY(storeHolds(engine, good));

    // A good file again is followed again.
    if (fault == Fault::Directory)
        QVERIFY(QDir().rmdir(path));
    if (fault == Fault::Unreadable)
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const PropertyListDictionary next = contents(3);
    QVERIFY(writeBytes(path, xmlOf(next)));
    QTRY_VERIFY_WITH_TIMEOUT(storeHolds(engine, next), 5000);
    QCOMPARE(log.lines().size(), 1);
}

// One line per event when the faults follow one another.
void TestFaults::snapshotFaultsInARow()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("snapshot.plist"));
    const PropertyListDictionary good = contents(1);
    QVERIFY(writeBytes(path, xmlOf(good)));
    kv::StoreEngine engine;
    kv::SnapshotSource source(path);
    QString error;
    QVERIFY2(source.start(engine, &error), qPrintable(error));

    kv::SystemLogCapture log;
    QVERIFY(QFile::remove(path));
    source.reload();
    QCOMPARE(log.lines().size(), 1);
    const QByteArray next = xmlOf(contents(2));
    QVERIFY(writeBytes(path, next.left(next.size() / 3)));
    source.reload();
    QCOMPARE(log.lines().size(), 2);
    QVERIFY(writeBytes(path, next.left(next.size() / 3 * 2)));
    source.reload();
    QCOMPARE(log.lines().size(), 3);
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkdir(path));
    source.reload();
    source.reload();
    QCOMPARE(log.lines().size(), 4);
    QVERIFY(log.lines().at(0).contains(QStringLiteral("no such file")));
    QVERIFY(log.lines().at(3).contains(QStringLiteral("directory")));
    QVERIFY(storeHolds(engine, good));
    QTest::qWait(3 * kv::SnapshotSource::DebounceMilliseconds); // watcher events of the above add nothing
    QCOMPARE(log.lines().size(), 4);
}

void TestFaults::exportIntoReadOnlyFolder()
{
    if (geteuid() == 0)
        QSKIP("root writes into read-only folders");
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("export.plist"));
    QVERIFY(writeBytes(path, "old contents"));
    QVERIFY(QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QString error;
    const bool written = kv::writePropertyListFile(path, PropertyListValue::fromDictionary(contents(1)), &error);
    QVERIFY(
        QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(!written);
    QVERIFY(error.contains(path));
    QCOMPARE(readBytes(path), QByteArray("old contents"));
    QCOMPARE(entriesOf(folder.path()), QStringList{QStringLiteral("export.plist")});
}

void TestFaults::exportOntoFolder()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("export.plist"));
    QVERIFY(QDir().mkdir(path));
    QVERIFY(writeBytes(path + QStringLiteral("/inside"), "kept"));
    QString error;
    QVERIFY(!kv::writePropertyListFile(path, PropertyListValue::fromDictionary(contents(1)), &error));
    QVERIFY2(error.contains(QStringLiteral("directory")), qPrintable(error));
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(readBytes(path + QStringLiteral("/inside")), QByteArray("kept"));
    QCOMPARE(entriesOf(folder.path()), QStringList{QStringLiteral("export.plist")});
}

// A file-size limit in a child process stands in for a full file system: the
// write fails part of the way through.
void TestFaults::exportOntoFullFileSystem()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("export.plist"));
    const QByteArray old = xmlOf(contents(0, 2));
    QVERIFY(writeBytes(path, old));
    const PropertyListValue large = PropertyListValue::fromDictionary(contents(1, 5000));

    int channel[2];
    QVERIFY(pipe(channel) == 0);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(channel[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(3);
        QString error;
        const bool written = kv::writePropertyListFile(path, large, &error);
        const QByteArray reason = error.toUtf8();
        if (::write(channel[1], reason.constData(), size_t(reason.size())) < 0)
            _exit(4);
        _exit(written ? 0 : 1);
    }
    ::close(channel[1]);
    QByteArray reason;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        reason.append(buffer, qsizetype(n));
    ::close(channel[0]);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 1); // false: not written
    QVERIFY2(reason.contains(path.toUtf8()), reason.constData());
    QVERIFY2(reason.contains("too large"), reason.constData()); // says why
    qInfo("reported: %s", reason.constData());
    QCOMPARE(readBytes(path), old);
    QCOMPARE(entriesOf(folder.path()), QStringList{QStringLiteral("export.plist")});
}

// A really full file system: a 64 KiB tmpfs (where mounting is permitted).
void TestFaults::exportOntoFullTmpfs()
{
    QTemporaryDir folder;
    const QByteArray mountPoint = QFile::encodeName(folder.path());
    if (mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a tmpfs here");
    struct Unmount
    {
        QByteArray point;
        ~Unmount() { umount(point.constData()); }
    } unmount{mountPoint};

    const QString path = folder.filePath(QStringLiteral("export.plist"));
    const QByteArray old = xmlOf(contents(0, 2));
    QVERIFY(writeBytes(path, old));
    QString error;
    QVERIFY(!kv::writePropertyListFile(path, PropertyListValue::fromDictionary(contents(1, 5000)), &error));
    qInfo("reported: %s", qPrintable(error));
    QVERIFY2(error.contains(path), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("No space left")), qPrintable(error));
    QCOMPARE(readBytes(path), old);
    QCOMPARE(entriesOf(folder.path()), QStringList{QStringLiteral("export.plist")});
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
