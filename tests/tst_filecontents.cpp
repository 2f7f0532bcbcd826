// readFileContents: a file comes back byte for byte whether it reports its
// size (a regular file) or not (a pipe, a /proc file), reading stops one byte
// past the limit, and a failed read is told apart from an empty file.

#include "platform/FileContents.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

#include <sys/stat.h>

class TestFileContents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A pipe's writer finds its reader gone when the read stops at a limit.
    void initTestCase() { ::signal(SIGPIPE, SIG_IGN); }

    void read_data()
    {
        QTest::addColumn<QString>("kind"); // "file" or "pipe"
        QTest::addColumn<int>("size");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("skipped"); // read before, from the start
        QTest::addColumn<int>("expected");
        const qint64 none = std::numeric_limits<qint64>::max() - 1;
        for (const char *k : {"file", "pipe"}) {
            const QString kind = QString::fromLatin1(k);
            QTest::addRow("%s, empty", k) << kind << 0 << none << 0 << 0;
            QTest::addRow("%s, more than a piece", k) << kind << 200000 << none << 0 << 200000;
            QTest::addRow("%s, at the limit", k) << kind << 1000 << qint64(1000) << 0 << 1000;
            QTest::addRow("%s, far over the limit", k) << kind << 100000 << qint64(1000) << 0 << 1001;
            QTest::addRow("%s, the rest after a first read", k) << kind << 3000 << none << 1000 << 2000;
        }
        // Large enough for a regular file to be read in two halves at once.
        const int large = 9'000'001;
        QTest::newRow("file, large") << QStringLiteral("file") << large << none << 0 << large;
        QTest::newRow("file, large, the rest after a first read")
            << QStringLiteral("file") << large << none << 4097 << large - 4097;
        QTest::newRow("file, large, over the limit")
            << QStringLiteral("file") << large << qint64(5'000'000) << 0 << 5'000'001;
        QTest::newRow("pipe, large") << QStringLiteral("pipe") << large << none << 0 << large;
    }

    void read()
    {
        QFETCH(QString, kind);
        QFETCH(int, size);
        QFETCH(qint64, limit);
        QFETCH(int, skipped);
        QFETCH(int, expected);
        QByteArray written(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            written[i] = char(i * 7 + i / 251);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file"));
        if (kind == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // A pipe's writer waits for its reader, and stops at a closed one.
        std::thread writer([&] {
            QFile out(path);
            if (out.open(QIODevice::WriteOnly))
                out.write(written);
        });
        if (kind == QLatin1String("file"))
            writer.join();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), kind == QLatin1String("file") ? qint64(size) : 0);
        const QByteArray first = file.read(skipped);
        QByteArray bytes("left over");
        const bool read = kv::readFileContents(file, &bytes, limit);
        file.close();
        if (writer.joinable())
            writer.join();
        QVERIFY(read);
        QCOMPARE(first.size(), skipped);
        QCOMPARE(bytes.size(), expected);
        QVERIFY(bytes == written.mid(skipped, expected));
    }

    // A /proc file reports no size either.
    void procFile()
    {
        QFile status(QStringLiteral("/proc/self/status"));
        QVERIFY(status.open(QIODevice::ReadOnly));
        QByteArray bytes;
        QVERIFY(kv::readFileContents(status, &bytes, 10));
        QCOMPARE(bytes, QByteArray("Name:\ttst_f"));
    }

    // Reading a process's memory from address 0 fails (nothing is mapped there).
    void failedRead()
    {
        QFile memory(QStringLiteral("/proc/self/mem"));
        QVERIFY(memory.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        QByteArray bytes("stale");
        QVERIFY(!kv::readFileContents(memory, &bytes));
        QVERIFY(bytes.isEmpty());
        QCOMPARE(memory.error(), QFileDevice::ReadError);
    }
};

QTEST_MAIN(TestFileContents)
#include "tst_filecontents.moc"
