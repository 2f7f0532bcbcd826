// The command line both programs share: the store's options, the window
// toolkit's own options taken out before the program's are parsed, and
// whether a window could be shown at all.

#include "app/CommandLine.h"

#include <QTemporaryDir>
#include <QTest>

using kv::StoreConfiguration;

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storeConfiguration_data()
    {
        QTest::addColumn<QStringList>("arguments"); // after the program's name
        QTest::addColumn<QString>("snapshot");      // the file served, empty for the live store
        QTest::addColumn<bool>("valid");
        QTest::newRow("none") << QStringList{} << QString() << true;
        QTest::newRow("separate value") << QStringList{"--snapshot", "/tmp/s.plist"} << "/tmp/s.plist" << true;
        QTest::newRow("joined value") << QStringList{"--snapshot=/tmp/s.plist"} << "/tmp/s.plist" << true;
        QTest::newRow("among Qt options")
            << QStringList{"-platform", "offscreen", "--snapshot", "s.plist", "-style", "x"} << "s.plist" << true;
        QTest::newRow("the last one") << QStringList{"--snapshot=a.plist", "--snapshot", "b.plist"} << "b.plist"
                                      << true;
        QTest::newRow("a value that looks like an option")
            << QStringList{"--snapshot", "--version"} << "--version" << true;
        QTest::newRow("no value at the end") << QStringList{"--snapshot"} << QString() << false;
        QTest::newRow("empty joined value") << QStringList{"--snapshot="} << QString() << false;
        QTest::newRow("after --") << QStringList{"--", "--snapshot", "a.plist"} << QString() << true;
        QTest::newRow("before --") << QStringList{"--snapshot", "a.plist", "--", "--snapshot=b.plist"} << "a.plist"
                                   << true;
        QTest::newRow("single dash") << QStringList{"-snapshot", "a.plist"} << QString() << false;
        QTest::newRow("longer name") << QStringList{"--snapshots=a.plist"} << QString() << false;
        QTest::newRow("non-ASCII name") << QStringList{"--snapshot", "/tmp/\u00e9t\u00e9.plist"}
                                        << "/tmp/\u00e9t\u00e9.plist" << true;
    }

    // As the window parses it: the toolkit's options out, then the store's.
    void storeConfiguration()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, snapshot);
        QFETCH(bool, valid);
        QCommandLineParser parser;
        kv::app::addStoreOptions(parser);
        StoreConfiguration configuration;
        QString error;
        const bool parsed = parser.parse(kv::app::withoutToolkitOptions(QStringList{"keyvane"} + arguments));
        QCOMPARE(parsed && kv::app::storeConfigurationFrom(parser, &configuration, &error), valid);
        if (!valid) {
            QVERIFY(!parser.errorText().isEmpty() || !error.isEmpty());
            return;
        }
        QCOMPARE(configuration.kind,
                 snapshot.isEmpty() ? StoreConfiguration::Kind::LiveSystem : StoreConfiguration::Kind::Snapshot);
        QCOMPARE(configuration.snapshotPath, snapshot);
    }

    void toolkitOptionsTakenOut_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("value apart") << QStringList{"-platform", "offscreen", "--snapshot", "a"}
                                     << QStringList{"--snapshot", "a"};
        QTest::newRow("two dashes") << QStringList{"--platform", "xcb", "-v"} << QStringList{"-v"};
        QTest::newRow("value joined") << QStringList{"-style=fusion", "--stylesheet=a.qss", "x"} << QStringList{"x"};
        QTest::newRow("flags") << QStringList{"-reverse", "--help", "-nograb"} << QStringList{"--help"};
        QTest::newRow("display and title")
            << QStringList{"-display", ":1", "-title", "t", "-geometry", "10x10"} << QStringList{};
        QTest::newRow("value missing at the end") << QStringList{"--version", "-style"} << QStringList{"--version"};
        QTest::newRow("nothing after --") << QStringList{"--", "-platform", "x"} << QStringList{"--", "-platform", "x"};
        QTest::newRow("a flag with a value is not a flag") << QStringList{"-reverse=1"} << QStringList{"-reverse=1"};
        QTest::newRow("the program's own")
            << QStringList{"--snapshot=a", "-h", "--bogus"} << QStringList{"--snapshot=a", "-h", "--bogus"};
    }

    void toolkitOptionsTakenOut()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, left);
        QCOMPARE(kv::app::withoutToolkitOptions(QStringList{"keyvane"} + arguments), QStringList{"keyvane"} + left);
    }

    void displayUnavailable_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM
        QTest::addColumn<QString>("display");  // DISPLAY
        QTest::addColumn<QString>("wayland");  // WAYLAND_DISPLAY
        QTest::addColumn<QString>("reason");   // empty: a display is there
        const QString none =
            QStringLiteral("no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not set)");
        QTest::newRow("nothing set") << QStringList{} << ""
                                     << ""
                                     << "" << none;
        QTest::newRow("X display") << QStringList{} << ""
                                   << ":0"
                                   << ""
                                   << "";
        QTest::newRow("Wayland display") << QStringList{} << ""
                                         << ""
                                         << "wayland-1"
                                         << "";
        QTest::newRow("offscreen by variable") << QStringList{} << "offscreen"
                                               << ""
                                               << ""
                                               << "";
        QTest::newRow("offscreen by option") << QStringList{"-platform", "offscreen"} << "xcb"
                                             << ""
                                             << ""
                                             << "";
        QTest::newRow("option over variable") << QStringList{"--platform=xcb"} << "offscreen"
                                              << ""
                                              << ""
                                              << "no display to show the window on (DISPLAY is not set)";
        QTest::newRow("xcb by variable") << QStringList{} << "xcb"
                                         << ""
                                         << "wayland-0"
                                         << "no display to show the window on (DISPLAY is not set)";
        QTest::newRow("display option") << QStringList{"-display", ":3"} << "xcb"
                                        << ""
                                        << ""
                                        << "";
        QTest::newRow("wayland by variable") << QStringList{} << "wayland"
                                             << ":0"
                                             << ""
                                             << "no display to show the window on (WAYLAND_DISPLAY is not set)";
        QTest::newRow("a list falls through") << QStringList{} << "wayland;offscreen"
                                              << ""
                                              << ""
                                              << "";
        QTest::newRow("platform with options") << QStringList{} << "vnc:size=800x600"
                                               << ""
                                               << ""
                                               << "";
    }

    void displayUnavailable()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, platform);
        QFETCH(QString, display);
        QFETCH(QString, wayland);
        QFETCH(QString, reason);
        QTemporaryDir runtime; // holds no Wayland socket
        const auto environment = [&](const char *name) -> QString {
            const QByteArray variable(name);
            if (variable == "QT_QPA_PLATFORM")
                return platform;
            if (variable == "DISPLAY")
                return display;
            if (variable == "WAYLAND_DISPLAY")
                return wayland;
            if (variable == "XDG_RUNTIME_DIR")
                return runtime.path();
            return QString();
        };
        QCOMPARE(kv::app::displayUnavailableReason(QStringList{"keyvane"} + arguments, environment), reason);
    }
};

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
