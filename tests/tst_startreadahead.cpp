// What the program reads ahead while the window system is set up: the
// snapshot file named on the raw command line, and the font configuration.

#include "app/ApplicationMain.h"
#include "platform/dynamicstore/SnapshotSource.h"
#include "platform/ui/Application.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QString>
#include <QStringList>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// What happened before the application object was made (see main below).
bool snapshotReadBeforeTheApplication = false;
QStringList messagesMakingTheApplication;

} // namespace

class TestStartReadAhead : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void snapshotArgument_data()
    {
        QTest::addColumn<QStringList>("arguments"); // after the program's name
        QTest::addColumn<QString>("file");
        QTest::newRow("none") << QStringList{} << QString();
        QTest::newRow("separate value") << QStringList{"--snapshot", "/tmp/s.plist"} << "/tmp/s.plist";
        QTest::newRow("joined value") << QStringList{"--snapshot=/tmp/s.plist"} << "/tmp/s.plist";
        QTest::newRow("among Qt options")
            << QStringList{"-platform", "offscreen", "--snapshot", "s.plist", "-style", "x"} << "s.plist";
        QTest::newRow("the last one") << QStringList{"--snapshot=a.plist", "--snapshot", "b.plist"} << "b.plist";
        QTest::newRow("a value that looks like an option") << QStringList{"--snapshot", "--version"} << "--version";
        QTest::newRow("no value at the end") << QStringList{"--snapshot"} << QString();
        QTest::newRow("empty joined value") << QStringList{"--snapshot="} << QString();
        QTest::newRow("after --") << QStringList{"--", "--snapshot", "a.plist"} << QString();
        QTest::newRow("before --") << QStringList{"--snapshot", "a.plist", "--", "--snapshot=b.plist"} << "a.plist";
        QTest::newRow("single dash") << QStringList{"-snapshot", "a.plist"} << QString();
        QTest::newRow("longer name") << QStringList{"--snapshots=a.plist", "--snapshotx", "b.plist"} << QString();
        QTest::newRow("non-ASCII name") << QStringList{"--snapshot", "/tmp/\u00e9t\u00e9.plist"}
                                        << "/tmp/\u00e9t\u00e9.plist";
    }

    void snapshotArgument()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        std::vector<QByteArray> bytes{QByteArrayLiteral("keyvane")};
        for (const QString &argument : arguments)
            bytes.push_back(argument.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &argument : bytes)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        QCOMPARE(::snapshotArgument(int(bytes.size()), argv.data()), file);
    }

    // A snapshot read ahead before the application object exists (as the
    // program does) leaves the main thread Qt's main thread, although the
    // reading thread makes Qt objects of its own.
    void snapshotReadBeforeTheApplicationObject()
    {
        QVERIFY(snapshotReadBeforeTheApplication);
        QVERIFY2(messagesMakingTheApplication.isEmpty(), qPrintable(messagesMakingTheApplication.join(u'\n')));
    }

    // Read ahead or not, waited for or not, the application's fonts are the
    // same afterwards.
    void fontConfigurationReadAhead()
    {
        const QStringList families = QFontDatabase::families();
        const int height = QFontMetrics(QFontDatabase::systemFont(QFontDatabase::FixedFont)).height();
        QVERIFY(!families.isEmpty());
        QVERIFY(height > 0);
        for (int i = 0; i < 8; ++i) {
            kv::ui::FontConfigurationReadAhead readAhead;
            if (i % 2 == 0) {
                readAhead.wait();
                readAhead.wait(); // waiting again is harmless
            }
        } // the others are waited for as they go
        QCOMPARE(QFontDatabase::families(), families);
        QCOMPARE(QFontMetrics(QFontDatabase::systemFont(QFontDatabase::FixedFont)).height(), height);
    }
};

int main(int argc, char **argv)
{
    // Nothing of Qt's runs on this thread before the read-ahead is made. The
    // snapshot is large enough that the reading thread, having opened the
    // file, is still at work while the application object is made.
    char path[] = "/tmp/tst_startreadahead-XXXXXX";
    const int fd = ::mkstemp(path);
    FILE *file = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (!file)
        return 1;
    std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n", file);
    for (int i = 0; i < 50000; ++i)
        std::fprintf(file, "<key>State:/A/%06d</key><dict><key>Value</key><string>%d</string></dict>\n", i, i);
    std::fputs("</dict></plist>\n", file);
    std::fclose(file);

    auto readAhead = std::make_unique<kv::SnapshotReadAhead>(QString::fromLocal8Bit(path));
    ::usleep(2000); // the reading thread opens the file
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
            if (!message.startsWith(QLatin1String("QStandardPaths:")))
                messagesMakingTheApplication.append(message);
        });
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    const auto result = readAhead->take();
    snapshotReadBeforeTheApplication = result && result->contents.size() == 50000;
    readAhead.reset();
    ::unlink(path);

    TestStartReadAhead test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_startreadahead.moc"
