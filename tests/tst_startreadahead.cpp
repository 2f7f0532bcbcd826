// What the program reads ahead while the window system is set up: the
// snapshot file named on the raw command line, and the font configuration.

#include "app/ApplicationMain.h"
#include "platform/ui/Application.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QString>
#include <QStringList>
#include <QTest>

#include <vector>

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
        QTest::newRow("among Qt options") << QStringList{"-platform", "offscreen", "--snapshot", "s.plist", "-style", "x"}
                                          << "s.plist";
        QTest::newRow("the last one") << QStringList{"--snapshot=a.plist", "--snapshot", "b.plist"} << "b.plist";
        QTest::newRow("a value that looks like an option") << QStringList{"--snapshot", "--version"} << "--version";
        QTest::newRow("no value at the end") << QStringList{"--snapshot"} << QString();
        QTest::newRow("empty joined value") << QStringList{"--snapshot="} << QString();
        QTest::newRow("after --") << QStringList{"--", "--snapshot", "a.plist"} << QString();
        QTest::newRow("before --") << QStringList{"--snapshot", "a.plist", "--", "--snapshot=b.plist"} << "a.plist";
        QTest::newRow("single dash") << QStringList{"-snapshot", "a.plist"} << QString();
        QTest::newRow("longer name") << QStringList{"--snapshots=a.plist", "--snapshotx", "b.plist"} << QString();
        QTest::newRow("non-ASCII name") << QStringList{"--snapshot", "/tmp/\u00e9t\u00e9.plist"} << "/tmp/\u00e9t\u00e9.plist";
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

QTEST_MAIN(TestStartReadAhead)
#include "tst_startreadahead.moc"
