// What the program reads ahead while the window system is set up: the
// snapshot file named on the command line, and the font configuration.

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
