// The snapshot source: serving a property-list file's top-level dictionary
// as the store, following rewrites of the file (in place, by rename, delete
// and re-create) as one change list of exactly the changed keys, and keeping
// the last good contents when the file turns bad.

#include "app/StoreSources.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/plist/PropertyListFile.h"
#include "tests/BinaryPlistBuilder.h"
#include "tests/StoreTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kv;
using storetest::recordCallout;
using storetest::Recorder;

namespace {

const QString fixture = QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/snapshot.plist");
const QString binaryFixture = QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/snapshot.bplist");

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

QByteArray xmlOf(const PropertyListDictionary &contents)
{
    QString error;
    const QByteArray bytes = writePropertyListXml(PropertyListValue::fromDictionary(contents), &error);
    if (bytes.isEmpty())
        qFatal("cannot make the XML of a test snapshot: %s", qPrintable(error));
    return bytes;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

enum class Rewrite { InPlace, Rename, DeleteAndCreate };

bool rewrite(const QString &path, const QByteArray &bytes, Rewrite how)
{
    switch (how) {
    case Rewrite::InPlace: return writeBytes(path, bytes);
    case Rewrite::Rename: {
        const QString temporary = path + QStringLiteral(".new");
        return writeBytes(temporary, bytes)
               && std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) == 0;
    }
    case Rewrite::DeleteAndCreate: return QFile::remove(path) && writeBytes(path, bytes);
    }
    return false;
}

PropertyListDictionary initialContents()
{
    return {
        {QStringLiteral("Setup:/System"), str(QStringLiteral("workstation"))},
        {QStringLiteral("State:/Network/Global/IPv4"), str(QStringLiteral("eth0"))},
        {QStringLiteral("State:/Network/Interface/eth0/IPv4"), str(QStringLiteral("192.168.1.23"))},
        {QStringLiteral("State:/Network/Interface/lo/IPv4"), str(QStringLiteral("127.0.0.1"))},
    };
}

} // namespace

Q_DECLARE_METATYPE(Rewrite)

class TestSnapshotSource : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path;
    std::unique_ptr<StoreEngine> engine;
    std::unique_ptr<StoreConnection> store;
    Recorder recorder;

    // Serves `snapshot` through a fresh engine with an attached connection,
    // handing the source `readAhead` when there is one.
    bool serve(const QString &snapshot, QString *error = nullptr,
               std::shared_ptr<SnapshotReadAhead> readAhead = nullptr)
    {
        engine = std::make_unique<StoreEngine>();
        StoreConfiguration configuration(StoreConfiguration::Kind::Snapshot, snapshot);
        configuration.snapshotReadAhead = std::move(readAhead);
        engine->setSources(kv::app::makeStoreSources(configuration));
        StoreEngine::setInstance(engine.get());
        store = storeCreate(QStringLiteral("Vaneview"), recordCallout, &recorder);
        if (!store) {
            if (error)
                *error = storeErrorString(storeError());
            return false;
        }
        const QStringList all{QStringLiteral(".*")};
        if (!storeSetNotificationKeys(store.get(), nullptr, &all))
            return false;
        storeRunLoopAddSource(storeCreateRunLoopSource(store.get(), 0));
        return true;
    }

    // Waits long enough for a debounced reload and its delivery to be over.
    static void settle() { QTest::qWait(SnapshotSource::DebounceMilliseconds * 6); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(dir.isValid());
        path = dir.filePath(QStringLiteral("store.plist"));
        QFile::remove(path);
        QVERIFY(writeBytes(path, xmlOf(initialContents())));
        recorder.lists.clear();
    }

    void cleanup()
    {
        store.reset();
        StoreEngine::setInstance(nullptr);
        engine.reset();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        QDir(path).removeRecursively(); // when a test put a folder there
        QFile::remove(path);
    }

    void servesTopLevelEntries_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("xml") << fixture;
        QTest::newRow("binary") << binaryFixture;
    }

    void servesTopLevelEntries()
    {
        QFETCH(QString, file);
        QVERIFY(serve(file));
        const auto keys = storeCopyKeyList(store.get(), QStringLiteral(".*"));
        QVERIFY(keys);
        QCOMPARE(keys->size(), 11);
        QCOMPARE(keys->first(), QStringLiteral("Setup:/Network/Global/IPv4"));
        QCOMPARE(keys->last(), QStringLiteral("State:/Users/ConsoleUser"));
        QCOMPARE(storeCopyValue(store.get(), QStringLiteral("State:/Users/ConsoleUser")), str("alice"));
        const PropertyListValue link =
            storeCopyValue(store.get(), QStringLiteral("State:/Network/Interface/eth0/Link"));
        QCOMPARE(link.value(QStringLiteral("MTU")).integer(), 1500);
        QVERIFY(link.value(QStringLiteral("Active")).boolean());
        QCOMPARE(link.value(QStringLiteral("HardwareAddress")).data(), QByteArray::fromHex("0242ac110002"));
        const PropertyListValue dns = storeCopyValue(store.get(), QStringLiteral("State:/Network/Global/DNS"));
        QCOMPARE(dns.value(QStringLiteral("ServerAddresses")).at(1), str("9.9.9.9"));
    }

    void xmlAndBinaryServeTheSame()
    {
        PropertyListDictionary xml, binary;
        QString error;
        QVERIFY2(SnapshotSource::readSnapshot(fixture, &xml, &error), qPrintable(error));
        QVERIFY2(SnapshotSource::readSnapshot(binaryFixture, &binary, &error), qPrintable(error));
        QCOMPARE(xml.size(), 11);
        QVERIFY(xml == binary);
    }

    void badFileFailsOpen_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/no-such.plist") << "no such file";
        QTest::newRow("malformed") << QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/malformed.plist") << "";
        QTest::newRow("not a dictionary")
            << QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/not-a-dictionary.plist") << "not a dictionary";
        QTest::newRow("a folder") << QStringLiteral(KEYVANE_TEST_DATA_DIR "/store") << "is a directory";
    }

    void badFileFailsOpen()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!serve(file, &error));
        QCOMPARE(storeError(), int(StoreSourceFailed));
        QVERIFY2(error.startsWith(file + QLatin1Char(':')), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QVERIFY(!error.contains(QLatin1Char('\n')));
    }

    void rewriteReportsExactlyTheChangedKeys_data()
    {
        QTest::addColumn<Rewrite>("how");
        QTest::newRow("in place") << Rewrite::InPlace;
        QTest::newRow("renamed over") << Rewrite::Rename;
        QTest::newRow("deleted and made again") << Rewrite::DeleteAndCreate;
    }

    void rewriteReportsExactlyTheChangedKeys()
    {
        QFETCH(Rewrite, how);
        QVERIFY(serve(path));
        for (int round = 1; round <= 2; ++round) { // the file is still followed after the first rewrite
            PropertyListDictionary next;
            for (const QString &key : engine->keys())
                next.insert(key, engine->value(key));
            next.insert(QStringLiteral("State:/Network/Interface/eth0/IPv4"),
                        str(QStringLiteral("10.0.0.%1").arg(round)));
            next.remove(round == 1 ? QStringLiteral("State:/Network/Interface/lo/IPv4")
                                   : QStringLiteral("Setup:/System"));
            const QString added = QStringLiteral("State:/Network/Interface/wlan%1/IPv4").arg(round);
            next.insert(added, str(QStringLiteral("192.168.2.%1").arg(round)));

            QVERIFY(rewrite(path, xmlOf(next), how));
            QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), round, 5000);
            settle();
            QCOMPARE(recorder.lists.size(), round); // one list, not one per file-system event
            QStringList changed = recorder.lists.last();
            changed.sort();
            QStringList expected{QStringLiteral("State:/Network/Interface/eth0/IPv4"), added,
                                 round == 1 ? QStringLiteral("State:/Network/Interface/lo/IPv4")
                                            : QStringLiteral("Setup:/System")};
            expected.sort();
            QCOMPARE(changed, expected);
            QCOMPARE(engine->keys(), next.keys());
            for (auto it = next.cbegin(); it != next.cend(); ++it)
                QCOMPARE(engine->value(it.key()), it.value());
        }
    }

    // What a read-ahead made serves the first load exactly when the file
    // still holds the bytes it was made of. The read-ahead here is one made
    // earlier, with one key more than its bytes hold, to tell which served.
    void readAheadServesOnlyTheBytesItRead_data()
    {
        QTest::addColumn<QString>("change"); // what happens to the file after the read-ahead
        QTest::addColumn<bool>("served");
        QTest::newRow("unchanged") << "" << true;
        QTest::newRow("rewritten") << "rewrite" << false;
        QTest::newRow("one byte more") << "append" << false;
        QTest::newRow("one byte fewer") << "truncate" << false;
        QTest::newRow("one byte changed") << "change a byte" << false;
        QTest::newRow("a folder in its place") << "folder" << false;
        QTest::newRow("made malformed") << "malformed" << false;
        QTest::newRow("removed") << "remove" << false;
        QTest::newRow("read ahead from another path") << "other path" << false;
    }

    void readAheadServesOnlyTheBytesItRead()
    {
        QFETCH(QString, change);
        QFETCH(bool, served);
        const QString marker = QStringLiteral("State:/Made/Ahead");
        PropertyListDictionary madeAhead = initialContents();
        madeAhead.insert(marker, str(QStringLiteral("yes")));
        const QString aheadPath = change == QLatin1String("other path") ? path + QStringLiteral(".other") : path;
        auto readAhead = std::make_shared<SnapshotReadAhead>(aheadPath, xmlOf(initialContents()), madeAhead);

        PropertyListDictionary now = initialContents();
        now.insert(QStringLiteral("State:/Written/Later"), str(QStringLiteral("after")));
        if (change == QLatin1String("rewrite"))
            QVERIFY(writeBytes(path, xmlOf(now)));
        else if (change == QLatin1String("append"))
            QVERIFY(writeBytes(path, xmlOf(initialContents()) + '\n'));
        else if (change == QLatin1String("truncate"))
            QVERIFY(writeBytes(path, xmlOf(initialContents()).chopped(1)));
        else if (change == QLatin1String("change a byte"))
            QVERIFY(writeBytes(path, xmlOf(initialContents()).replace("127.0.0.1", "127.0.0.2")));
        else if (change == QLatin1String("folder"))
            QVERIFY(QFile::remove(path) && QDir().mkdir(path));
        else if (change == QLatin1String("malformed"))
            QVERIFY(writeBytes(path, "<plist><dict><key>cut"));
        else if (change == QLatin1String("remove"))
            QVERIFY(QFile::remove(path));

        QString error;
        const bool started = serve(path, &error, readAhead);
        // Taken by the source reading its path (served or not), left alone otherwise.
        QCOMPARE(bool(readAhead->take()), change == QLatin1String("other path"));
        if (change == QLatin1String("malformed") || change == QLatin1String("remove")
            || change == QLatin1String("folder")) {
            // The file's own error, as without a read-ahead.
            QVERIFY(!started);
            QVERIFY2(error.startsWith(path + QLatin1Char(':')), qPrintable(error));
            return;
        }
        QVERIFY2(started, qPrintable(error));
        PropertyListDictionary expected = served                               ? madeAhead
                                          : change == QLatin1String("rewrite") ? now
                                                                               : initialContents();
        if (change == QLatin1String("change a byte"))
            expected.insert(QStringLiteral("State:/Network/Interface/lo/IPv4"), str(QStringLiteral("127.0.0.2")));
        QCOMPARE(engine->keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(engine->value(it.key()), it.value());
    }

    // A read on its own thread: the first load serves what it made, and the
    // file is followed from the bytes it read, as after a read of its own.
    void readAheadOnItsThread()
    {
        auto readAhead = std::make_shared<SnapshotReadAhead>(path);
        QVERIFY(serve(path, nullptr, readAhead));
        const PropertyListDictionary initial = initialContents();
        QCOMPARE(engine->keys(), initial.keys());
        for (auto it = initial.cbegin(); it != initial.cend(); ++it)
            QCOMPARE(engine->value(it.key()), it.value());

        settle();
        recorder.lists.clear();
        QVERIFY(writeBytes(path, xmlOf(initialContents()))); // the same bytes: nothing to say
        settle();
        QVERIFY(recorder.lists.isEmpty());
        PropertyListDictionary next = initialContents();
        next.insert(QStringLiteral("State:/Network/Interface/lo/IPv4"), str(QStringLiteral("127.0.0.2")));
        QVERIFY(writeBytes(path, xmlOf(next)));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), 1, 5000);
        QCOMPARE(recorder.lists.first(), QStringList{QStringLiteral("State:/Network/Interface/lo/IPv4")});
    }

    // A file that cannot serve when read ahead gives no result: the source
    // reads it itself, and says why it cannot serve or serves what it finds.
    void readAheadOfABadFileLeavesTheReadToTheSource()
    {
        QVERIFY(writeBytes(path, "<plist><dict><key>cut"));
        auto bad = std::make_shared<SnapshotReadAhead>(path);
        QString error;
        QVERIFY(!serve(path, &error, bad));
        QVERIFY2(error.startsWith(path + QLatin1Char(':')), qPrintable(error));

        auto early = std::make_shared<SnapshotReadAhead>(path);
        QVERIFY(!early->take()); // waits for the read, which found the file bad
        QVERIFY(writeBytes(path, xmlOf(initialContents())));
        QVERIFY(serve(path, &error, early));
        QCOMPARE(engine->keys(), initialContents().keys());
    }

    // A pipe (a shell's <(command)) is not read ahead: its contents can be
    // read only once, and are the source's.
    void pipeIsLeftToTheSource()
    {
        const QString pipe = dir.filePath(QStringLiteral("snapshot.pipe"));
        QFile::remove(pipe);
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        const QByteArray bytes = xmlOf(initialContents());
        std::thread writer([&pipe, &bytes] {
            QFile out(pipe);
            if (out.open(QIODevice::WriteOnly))
                out.write(bytes);
        });
        // Should the pipe have been emptied before the source reads it, the
        // source's reads would wait for a writer for ever: after a while,
        // writers that write nothing come, and the source then fails.
        std::atomic<bool> over{false};
        std::thread watchdog([&pipe, &over] {
            for (int i = 0; !over; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                const int fd = i < 50 ? -1 : ::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            }
        });
        auto readAhead = std::make_shared<SnapshotReadAhead>(pipe);
        QString error;
        const bool served = serve(pipe, &error, readAhead);
        over = true;
        writer.join();
        watchdog.join();
        QFile::remove(pipe);
        QVERIFY2(served, qPrintable(error));
        QCOMPARE(engine->keys(), initialContents().keys());
    }

    // A read-ahead nobody takes is waited for when it goes.
    void untakenReadAheadEndsItsThread()
    {
        for (int i = 0; i < 20; ++i)
            SnapshotReadAhead{path};
        const auto readAhead = std::make_unique<SnapshotReadAhead>(path);
        const auto result = readAhead->take();
        QVERIFY(result);
        QCOMPARE(result->bytes, xmlOf(initialContents()));
        QCOMPARE(result->contents, initialContents());
    }

    void unchangedRewriteReportsNothing()
    {
        QVERIFY(serve(path));
        SystemLogCapture log;
        QVERIFY(writeBytes(path, xmlOf(initialContents())));
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("neighbour.txt")), "other file in the same folder"));
        settle();
        QVERIFY(recorder.lists.isEmpty());
        QVERIFY(log.lines().isEmpty());
    }

    // A rewrite is told apart from the last read by its whole contents: a
    // change of a single byte that keeps the file's size is a change.
    void sameSizeRewriteIsNoticed_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<Rewrite>("how");
        QTest::newRow("first value, in place") << "Setup:/System"
                                               << "workstatioN" << Rewrite::InPlace;
        QTest::newRow("middle value, in place") << "State:/Network/Interface/eth0/IPv4"
                                                << "192.168.1.24" << Rewrite::InPlace;
        QTest::newRow("last value, in place") << "State:/Network/Interface/lo/IPv4"
                                              << "127.0.0.2" << Rewrite::InPlace;
        QTest::newRow("last value, renamed over") << "State:/Network/Interface/lo/IPv4"
                                                  << "127.0.0.2" << Rewrite::Rename;
    }

    void sameSizeRewriteIsNoticed()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(Rewrite, how);
        QVERIFY(serve(path));
        PropertyListDictionary next = initialContents();
        QVERIFY(next.contains(key));
        next.insert(key, str(value));
        const QByteArray before = xmlOf(initialContents());
        const QByteArray after = xmlOf(next);
        QCOMPARE(after.size(), before.size());
        int differing = 0;
        for (qsizetype i = 0; i < after.size(); ++i)
            differing += after[i] != before[i];
        QCOMPARE(differing, 1);

        QVERIFY(rewrite(path, after, how));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), 1, 5000);
        settle();
        QCOMPARE(recorder.lists, QList<QStringList>{QStringList{key}});
        QCOMPARE(storeCopyValue(store.get(), key), str(value));
    }

    // After a binary file's first load has given back the pages holding
    // only its keys, a rewrite is still told apart from the last read: by
    // the bytes kept, and by the keys and objects named in what was given
    // back.
    void rewriteAfterKeysGivenBack_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QStringList>("changed");
        const int middle = bplisttest::TopLevelLayout().entries / 2;
        const auto key = [](int i) { return QString::fromLatin1(bplisttest::topLevelKeyText(i)); };
        QTest::newRow("the same bytes") << QByteArray() << QByteArray() << QStringList();
        QTest::newRow("a key renamed") << bplisttest::topLevelKeyText(middle - 20)
                                       << bplisttest::topLevelKeyText(middle - 20).replace("IPv4", "IPv6")
                                       << QStringList{key(middle - 20), key(middle - 20).replace("IPv4", "IPv6")};
        QTest::newRow("a top-level string among the keys")
            << QByteArray("a string among the keys") << QByteArray("a string among the kEys")
            << QStringList{key(middle + 10)};
        QTest::newRow("an array's string")
            << QByteArray(1, '\x58') + "10.0.0.1" << QByteArray(1, '\x58') + "10.0.0.9" << QStringList{key(1)};
    }

    void rewriteAfterKeysGivenBack()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QStringList, changed);
        const QByteArray before = bplisttest::topLevelFile({.scalarAt = bplisttest::TopLevelLayout().entries / 2 + 10});
        {
            // This layout gives pages back.
            const PropertyListValue read = readPropertyList(QByteArray(before.constData(), before.size()), nullptr, {},
                                                            PropertyListReading::TopLevelOnUse);
            QVERIFY(!releaseUnneededBytes(read.dictionary()).empty());
        }
        QVERIFY(writeBytes(path, before));
        QVERIFY(serve(path));
        QByteArray after = before;
        if (!from.isEmpty()) {
            QCOMPARE(after.count(from), 1);
            after.replace(from, to);
        }
        SystemLogCapture log;
        QVERIFY(rewrite(path, after, Rewrite::Rename));
        if (changed.isEmpty())
            settle();
        else
            QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), 1, 5000);
        settle();
        QCOMPARE(recorder.lists.size(), changed.isEmpty() ? 0 : 1);
        if (!changed.isEmpty()) {
            QStringList listed = recorder.lists.first();
            listed.sort();
            changed.sort();
            QCOMPARE(listed, changed);
        }
        QVERIFY(log.lines().isEmpty());
        const PropertyListValue expected = readPropertyList(after, nullptr);
        QCOMPARE(engine->keys(), expected.dictionary().keys());
        for (auto it = expected.dictionary().cbegin(); it != expected.dictionary().cend(); ++it)
            QCOMPARE(engine->value(it.key()), it.value());
    }

    // A large binary file is read leaving its keys' pages out (the keys read
    // from the file as they are made). Each rewrite after it, and after the
    // rewrites read since, is still told apart by its keys: a key renamed in
    // place, the file's size kept, is a change.
    void rewritesAfterKeysLeftUnread()
    {
        const int entries = 6000;
        const auto key = [](int i) { return QString::fromLatin1(bplisttest::topLevelKeyText(i)); };
        const QByteArray first = bplisttest::topLevelFile({.entries = entries});
        QByteArray second = first;
        second.replace(QByteArray(1, '\x58') + "10.0.0.1", QByteArray(1, '\x58') + "10.0.0.9");
        QByteArray third = second;
        third.replace(bplisttest::topLevelKeyText(4000), bplisttest::topLevelKeyText(4000).replace("IPv4", "IPv6"));
        QCOMPARE(third.size(), first.size());
        QVERIFY(writeBytes(path, first));
        QVERIFY(serve(path));
        const QList<QStringList> expected{{key(1)}, {key(4000), key(4000).replace("IPv4", "IPv6")}};
        int rewrites = 0;
        for (const QByteArray &next : {second, third}) {
            QVERIFY(rewrite(path, next, Rewrite::InPlace));
            ++rewrites;
            QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), rewrites, 5000);
        }
        settle();
        QCOMPARE(recorder.lists.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QStringList listed = recorder.lists[i], wanted = expected[i];
            listed.sort();
            wanted.sort();
            QCOMPARE(listed, wanted);
        }
        const PropertyListValue expectedContents = readPropertyList(third, nullptr);
        QCOMPARE(engine->keys(), expectedContents.dictionary().keys());
    }

    // A rewrite leaves the keys it does not change with the very values they
    // had, still unread; only the changed key gets a new one.
    void rewriteKeepsUnchangedValues_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        PropertyListDictionary contents;
        for (int i = 0; i < 20; ++i)
            contents.insert(QString::fromLatin1(bplisttest::topLevelKeyText(i)),
                            PropertyListValue::fromArray({str("10.0.0." + QString::number(i))}));
        PropertyListDictionary changed = contents;
        changed.insert(QString::fromLatin1(bplisttest::topLevelKeyText(1)), PropertyListValue::fromArray({str("x")}));
        QTest::newRow("xml") << xmlOf(contents) << xmlOf(changed);
        const QByteArray binary = bplisttest::topLevelFile({.entries = 20});
        QTest::newRow("binary") << binary
                                << QByteArray(binary).replace(QByteArray(1, '\x58') + "10.0.0.1",
                                                              QByteArray(1, '\x58') + "10.0.0.9");
    }

    void rewriteKeepsUnchangedValues()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QVERIFY(writeBytes(path, before));
        QVERIFY(serve(path));
        const QString changed = QString::fromLatin1(bplisttest::topLevelKeyText(1));
        const QString unchanged = QString::fromLatin1(bplisttest::topLevelKeyText(2));
        const void *kept = engine->value(unchanged).identity();
        QVERIFY(engine->value(unchanged).unreadDocument());
        QVERIFY(rewrite(path, after, Rewrite::Rename));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), 1, 5000);
        QCOMPARE(recorder.lists.first(), QStringList{changed});
        QCOMPARE(engine->value(unchanged).identity(), kept);
        QVERIFY(engine->value(unchanged).unreadDocument());
        QCOMPARE(engine->value(changed), readPropertyList(after, nullptr).value(changed));
    }

    // A bad file rewritten with the same bytes is the same event (one log
    // line); a bad file rewritten with other bytes of the same size is a new
    // one; the last good bytes coming back publish nothing (nothing changed
    // since the last good contents).
    void badFileComparedByItsBytes()
    {
        QVERIFY(serve(path));
        SystemLogCapture log;
        QVERIFY(writeBytes(path, "<plist><dict><key>one"));
        QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 1, 5000);
        settle();
        QVERIFY(rewrite(path, "<plist><dict><key>one", Rewrite::Rename));
        settle();
        settle();
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(writeBytes(path, "<plist><dict><key>owe"));
        QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 2, 5000);
        settle();
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(writeBytes(path, xmlOf(initialContents())));
        settle();
        settle();
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(recorder.lists.isEmpty());
        QCOMPARE(storeCopyValue(store.get(), QStringLiteral("Setup:/System")), str("workstation"));
    }

    void writeInSeveralStepsIsReadOnce()
    {
        QVERIFY(serve(path));
        SystemLogCapture log;
        PropertyListDictionary next = initialContents();
        next.insert(QStringLiteral("Setup:/System"), str(QStringLiteral("renamed-host")));
        const QByteArray bytes = xmlOf(next);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(bytes.left(bytes.size() / 2)) > 0);
        QVERIFY(file.flush());
        QTest::qWait(10); // well inside the quiet time
        QVERIFY(file.write(bytes.mid(bytes.size() / 2)) > 0);
        file.close();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), 1, 5000);
        settle();
        QCOMPARE(recorder.lists, QList<QStringList>{QStringList{"Setup:/System"}});
        QVERIFY2(log.lines().isEmpty(), qPrintable(log.lines().join('\n')));
    }

    void badRewriteKeepsLastGoodContents_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("reason");
        QTest::newRow("malformed") << "malformed"
                                   << "";
        QTest::newRow("not a dictionary") << "array"
                                          << "not a dictionary";
        QTest::newRow("vanished") << "vanished"
                                  << "no such file";
        QTest::newRow("folder in its place") << "folder"
                                             << "is a directory";
        QTest::newRow("unreadable") << "unreadable"
                                    << "cannot be read";
    }

    void badRewriteKeepsLastGoodContents()
    {
        QFETCH(QString, what);
        QFETCH(QString, reason);
        QVERIFY(serve(path));
        const QStringList keysBefore = engine->keys();
        SystemLogCapture log;

        if (what == QLatin1String("malformed")) {
            QVERIFY(writeBytes(path, "<?xml version=\"1.0\"?><plist><dict><key>Broken"));
        } else if (what == QLatin1String("array")) {
            QVERIFY(writeBytes(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                                     "<array><string>Setup:/System</string></array>\n</plist>\n"));
        } else if (what == QLatin1String("vanished")) {
            QVERIFY(QFile::remove(path));
        } else if (what == QLatin1String("folder")) {
            QVERIFY(QFile::remove(path));
            QVERIFY(QDir().mkdir(path));
        } else if (what == QLatin1String("unreadable")) {
            QVERIFY(writeBytes(path, xmlOf(initialContents()) + " "));
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
            QFile probe(path);
            if (probe.open(QIODevice::ReadOnly))
                QSKIP("running with rights that read any file");
        }
        QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 1, 5000);
        settle();
        QCOMPARE(log.lines().size(), 1); // one line for the event
        const QString line = log.lines().first();
        QVERIFY2(line.startsWith(QStringLiteral("Snapshot ") + path + QLatin1Char(':')), qPrintable(line));
        QVERIFY2(line.endsWith(QStringLiteral("; keeping the last good contents")), qPrintable(line));
        QVERIFY2(line.contains(reason), qPrintable(line));
        QVERIFY(recorder.lists.isEmpty());
        QCOMPARE(engine->keys(), keysBefore);
        QCOMPARE(storeCopyValue(store.get(), QStringLiteral("Setup:/System")), str("workstation"));

        // An unrelated event in the folder does not repeat the line.
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("neighbour.txt")), "touched"));
        settle();
        QCOMPARE(log.lines().size(), 1);

        // The file comes good again: what changed since the last good contents arrives.
        if (what == QLatin1String("folder"))
            QVERIFY(QDir(path).removeRecursively());
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        PropertyListDictionary next = initialContents();
        next.insert(QStringLiteral("Setup:/System"), str(QStringLiteral("recovered")));
        QVERIFY(rewrite(path, xmlOf(next), Rewrite::Rename));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.lists.size(), 1, 5000);
        settle();
        QCOMPARE(recorder.lists, QList<QStringList>{QStringList{"Setup:/System"}});
        QCOMPARE(storeCopyValue(store.get(), QStringLiteral("Setup:/System")), str("recovered"));
        QCOMPARE(log.lines().size(), 1);
    }

    void eachBadEventLogsOnce()
    {
        QVERIFY(serve(path));
        SystemLogCapture log;
        QVERIFY(writeBytes(path, "<plist><dict><key>one"));
        QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 1, 5000);
        settle();
        QVERIFY(writeBytes(path, "<plist><dict><key>two"));
        QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 2, 5000);
        settle();
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(recorder.lists.isEmpty());
    }
};

QTEST_MAIN(TestSnapshotSource)
#include "tst_snapshotsource.moc"
