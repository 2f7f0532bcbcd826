// readFileContents: a file comes back byte for byte whether it reports its
// size or not, reading stops one byte past the limit, and a failed read is
// told apart from an empty file.

#include "platform/FileContents.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <sys/stat.h>

class TestFileContents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void regularFiles_data();
    void regularFiles();
    void filesWithoutSize();
    void failedRead();
};

namespace {

QByteArray patterned(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

} // namespace

void TestFileContents::regularFiles_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("skipped"); // read before, from the start
    QTest::addColumn<qsizetype>("expected");

    const qint64 none = std::numeric_limits<qint64>::max() - 1;
    QTest::newRow("empty") << qsizetype(0) << none << qint64(0) << qsizetype(0);
    QTest::newRow("one byte") << qsizetype(1) << none << qint64(0) << qsizetype(1);
    QTest::newRow("more than a piece") << qsizetype(200000) << none << qint64(0) << qsizetype(200000);
    QTest::newRow("at the limit") << qsizetype(1000) << qint64(1000) << qint64(0) << qsizetype(1000);
    QTest::newRow("one over the limit") << qsizetype(1001) << qint64(1000) << qint64(0) << qsizetype(1001);
    QTest::newRow("far over the limit: limit + 1") << qsizetype(5000) << qint64(1000) << qint64(0) << qsizetype(1001);
    QTest::newRow("the rest after a first read") << qsizetype(3000) << none << qint64(1000) << qsizetype(2000);
}

void TestFileContents::regularFiles()
{
    QFETCH(qsizetype, size);
    QFETCH(qint64, limit);
    QFETCH(qint64, skipped);
    QFETCH(qsizetype, expected);

    QTemporaryDir dir;
    const QByteArray written = patterned(size);
    QFile out(dir.filePath(QStringLiteral("file")));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(written), qint64(size));
    out.close();

    QFile file(out.fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.read(skipped).size(), skipped);
    QByteArray bytes("left over");
    QVERIFY(kv::readFileContents(file, &bytes, limit));
    QCOMPARE(bytes.size(), expected);
    QVERIFY(bytes == written.mid(skipped, expected));
}

// A pipe and a /proc file report no size: their contents come in pieces.
void TestFileContents::filesWithoutSize()
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QByteArray written = patterned(300000);
    std::thread writer([&] {
        QFile out(fifo);
        if (out.open(QIODevice::WriteOnly))
            out.write(written);
    });
    QFile pipe(fifo);
    const bool opened = pipe.open(QIODevice::ReadOnly);
    QByteArray bytes;
    const bool read = opened && kv::readFileContents(pipe, &bytes);
    writer.join();
    QVERIFY(read);
    QCOMPARE(bytes.size(), written.size());
    QVERIFY(bytes == written);

    QFile status(QStringLiteral("/proc/self/status"));
    QVERIFY(status.open(QIODevice::ReadOnly));
    QCOMPARE(status.size(), qint64(0));
    QVERIFY(kv::readFileContents(status, &bytes, 10));
    QCOMPARE(bytes.size(), 11);
    QVERIFY(bytes.startsWith("Name:"));
}

// Reading a process's memory from address 0 fails (nothing is mapped there).
void TestFileContents::failedRead()
{
    QFile memory(QStringLiteral("/proc/self/mem"));
    QVERIFY(memory.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QByteArray bytes("stale");
    QVERIFY(!kv::readFileContents(memory, &bytes));
    QVERIFY(bytes.isEmpty());
    QCOMPARE(memory.error(), QFileDevice::ReadError);
}

QTEST_MAIN(TestFileContents)
#include "tst_filecontents.moc"
