// The desktop's agents in the live source, against python3-dbusmock services
// on a private bus: keys follow the services, a burst of signals makes one
// change list, absent services publish nothing, a restarted service is read
// again and a vanished one takes its keys with it. GNOME's proxy settings
// come from a gsettings stand-in written by the test.

#include "DbusMockBus.h"
#include "tst_livesupport.h"

#include "platform/desktop/DesktopAgents.h"
#include "platform/desktop/GnomeProxy.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

using namespace kv;
using namespace livetest;

namespace {

const QString NetworkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString NetworkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString MockMethod = QStringLiteral("org.freedesktop.DBus.Mock.");

bool isDesktopKey(const QString &key)
{
    return key.startsWith(QLatin1String("Setup:/Network/Service/"))
           || key.startsWith(QLatin1String("State:/Network/Service/")) || key.startsWith(QLatin1String("State:/Users/"))
           || key == QLatin1String("State:/Time") || key == QLatin1String("Setup:/Network/Global/IPv4")
           || key.startsWith(QLatin1String("State:/Power/")) || key == QLatin1String("State:/Network/Global/Proxies")
           || (key.startsWith(QLatin1String("State:/Network/Interface/"))
               && (key.endsWith(QLatin1String("/DNS")) || key.endsWith(QLatin1String("/WiFi"))));
}

// An entry as text: strings as they are, numbers and booleans written out,
// arrays joined with commas, dictionaries as "name=text" joined with "; ".
// "a/b" looks into nested dictionaries; "" is the whole value.
QString entryText(const PropertyListValue &value, const QString &entry)
{
    PropertyListValue found = value;
    for (const QString &part : entry.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        found = found.value(part);
    if (found.isDictionary()) {
        QStringList entries;
        for (auto it = found.dictionary().cbegin(); it != found.dictionary().cend(); ++it)
            entries.append(it.key() + QLatin1Char('=') + entryText(it.value(), QString()));
        return entries.join(QStringLiteral("; "));
    }
    const auto scalar = [](const PropertyListValue &value) {
        switch (value.kind()) {
        case PropertyListValue::Kind::None: return QStringLiteral("<none>");
        case PropertyListValue::Kind::Boolean:
            return value.boolean() ? QStringLiteral("true") : QStringLiteral("false");
        case PropertyListValue::Kind::Integer: return QString::number(value.integer());
        default: return value.string();
        }
    };
    if (!found.isArray())
        return scalar(found);
    QStringList elements;
    for (const PropertyListValue &element : found.array())
        elements.append(scalar(element));
    return elements.join(QLatin1Char(','));
}

QString uuidFor(const QString &name)
{
    return QStringLiteral("5e1f0000-0000-4000-8000-%1")
        .arg(QString::fromLatin1(name.toLatin1().toHex()), 12, QLatin1Char('0'));
}

// Settings of a saved NetworkManager connection, as gdbus text.
QString connectionSettings(const QString &name, int priority, qint64 timestamp)
{
    return QStringLiteral("{'connection': {'id': <'%1'>, 'uuid': <'%2'>, 'type': <'802-3-ethernet'>, "
                          "'autoconnect': <false>, 'autoconnect-priority': <int32 %3>, 'timestamp': <uint64 %4>, "
                          "'interface-name': <'eth0'>}, 'ipv4': {'method': <'auto'>}, 'ipv6': {'method': <'ignore'>}}")
        .arg(name, uuidFor(name))
        .arg(priority)
        .arg(timestamp);
}

// A gsettings stand-in: "list-keys" succeeds for the schemas that have a
// directory under settings/, "get" prints settings/<schema>/<key>, and
// "monitor" prints a line each time changed-<schema> is created.
const char FakeGsettings[] = R"(#!/bin/sh
dir=$(dirname "$0")
case "$1" in
list-keys) test -d "$dir/settings/$2" && ls "$dir/settings/$2" ;;
get) cat "$dir/settings/$2/$3" ;;
monitor)
    while :; do
        if [ -e "$dir/changed-$2" ]; then rm -f "$dir/changed-$2"; echo "$2 changed"; fi
        sleep 0.05
    done ;;
*) exit 1 ;;
esac
)";

const QString ProxySchema = QStringLiteral("org.gnome.system.proxy");

// The schema of a setting given as "key=value" for the main schema or
// "child/key=value" for a child schema (http, https, ftp, socks).
QString schemaOf(const QString &setting)
{
    const QString name = setting.section(QLatin1Char('='), 0, 0);
    return name.contains(QLatin1Char('/')) ? ProxySchema + '.' + name.section('/', 0, 0) : ProxySchema;
}

bool writeSettings(const QString &directory, const QStringList &settings)
{
    for (const QString &setting : settings) {
        const QString folder = directory + QStringLiteral("/settings/") + schemaOf(setting);
        QFile file(folder + '/' + setting.section(QLatin1Char('='), 0, 0).section('/', -1));
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly))
            return false;
        file.write(setting.section(QLatin1Char('='), 1).toUtf8() + '\n');
    }
    return true;
}

} // namespace

class TestDesktopAgents : public QObject
{
    Q_OBJECT

    std::unique_ptr<DbusMockBus> m_bus;
    std::unique_ptr<SystemLogCapture> m_log; // the absent services' lines

    LiveSystemOptions options(const QProcessEnvironment &environment = QProcessEnvironment())
    {
        LiveSystemOptions options;
        options.resolverConfigurationPath.clear();
        options.powerSupplyRoot.clear();
        options.hostNameEventPath.clear();
        options.domainNameEventPath.clear();
        options.desktop.busAddress = m_bus->address();
        options.desktop.environment = environment;
        options.desktop.resolvedLinkStatePath.clear();
        options.desktop.gsettingsProgram.clear();
        // The WiFi keys here are NetworkManager's alone.
        options.useNl80211 = false;
        // Long enough for a test's burst of gdbus calls to make one reading, on
        // a busy machine too.
        options.desktop.settleMilliseconds = 500;
        options.desktop.appearanceMilliseconds = 50;
        return options;
    }

    static QList<QStringList> desktopLists(const LiveFixture &fixture)
    {
        QList<QStringList> lists;
        for (const QStringList &list : fixture.changeLists()) {
            if (std::any_of(list.cbegin(), list.cend(), isDesktopKey))
                lists.append(list);
        }
        return lists;
    }

    // Runs the calls ("path method args..." lists) on the service.
    void drive(const QString &service, const QList<QStringList> &calls)
    {
        for (const QStringList &call : calls) {
            const QString result = m_bus->call(service, call.at(0), call.at(1), call.mid(2));
            QVERIFY2(!result.startsWith(QLatin1String("error:")), qPrintable(call.join(' ') + ": " + result));
        }
    }

    // A gsettings stand-in holding the settings (see writeSettings()).
    QString fakeGsettings(const QStringList &settings)
    {
        m_gsettings = std::make_unique<QTemporaryDir>();
        const QString program = m_gsettings->filePath(QStringLiteral("gsettings"));
        QFile script(program);
        if (!m_gsettings->isValid() || !script.open(QIODevice::WriteOnly) || script.write(FakeGsettings) < 0
            || !script.setPermissions(script.permissions() | QFile::ExeOwner)
            || !writeSettings(m_gsettings->path(), settings))
            return QString();
        return program;
    }

    std::unique_ptr<QTemporaryDir> m_gsettings;

private Q_SLOTS:
    void initTestCase()
    {
        if (!DbusMockBus::haveTools())
            QSKIP("dbus-daemon, gdbus or python3-dbusmock is missing (scripts/keyvane deps installs them)");
    }

    void init()
    {
        m_log = std::make_unique<SystemLogCapture>();
        m_bus = std::make_unique<DbusMockBus>();
        QVERIFY2(m_bus->isValid(), qPrintable(m_bus->error()));
    }

    void cleanup()
    {
        m_gsettings.reset();
        m_bus.reset();
        m_log.reset();
    }

    // GNOME's settings (see writeSettings()) are left out when there are none.
    void proxies_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("expected");
        const QStringList none;
        QTest::newRow("lower case") << QStringList{"http_proxy=http://proxy:3128"} << none << "HTTPProxy"
                                    << "http://proxy:3128";
        QTest::newRow("upper case") << QStringList{"HTTPS_PROXY=http://secure:8080"} << none << "HTTPSProxy"
                                    << "http://secure:8080";
        QTest::newRow("lower case wins") << QStringList{"HTTP_PROXY=http://upper:1", "http_proxy=http://lower:2"}
                                         << none << "HTTPProxy"
                                         << "http://lower:2";
        QTest::newRow("exceptions") << QStringList{"all_proxy=socks5://s:1080", "NO_PROXY= localhost, .example.com,,"}
                                    << none << "ExceptionsList"
                                    << "localhost,.example.com";
        QTest::newRow("exceptions alone") << QStringList{"no_proxy=localhost"} << none << "ExceptionsList"
                                          << "";
        QTest::newRow("nothing set") << QStringList{"PATH=/usr/bin"} << none << "HTTPProxy"
                                     << "";
        QTest::newRow("GNOME manual") << none
                                      << QStringList{"mode='manual'", "http/host='gw'", "http/port=3128",
                                                     "ignore-hosts=['localhost', '*.lan']"}
                                      << ""
                                      << "ExceptionsList=localhost,*.lan; GNOMEMode=manual; HTTPProxy=gw:3128";
        QTest::newRow("environment wins over GNOME")
            << QStringList{"http_proxy=http://env:1", "no_proxy=localhost"}
            << QStringList{"mode='manual'",    "http/host='gw'",        "http/port=3128",
                           "https/host='sec'", "https/port=uint32 443", "ignore-hosts=['localhost', '10.0.0.0/8']"}
            << ""
            << "ExceptionsList=localhost,10.0.0.0/8; GNOMEMode=manual; HTTPProxy=http://env:1; HTTPSProxy=sec:443";
        QTest::newRow("GNOME SOCKS host without port")
            << none << QStringList{"mode='manual'", "socks/host='s'", "socks/port=0", "ignore-hosts=@as []"} << ""
            << "AllProxy=s; GNOMEMode=manual";
        QTest::newRow("GNOME auto") << none
                                    << QStringList{"mode='auto'", "autoconfig-url='http://wpad/wpad.dat'",
                                                   "http/host='unused'", "http/port=8080"}
                                    << ""
                                    << "AutoConfigURL=http://wpad/wpad.dat; GNOMEMode=auto";
        QTest::newRow("GNOME none") << none << QStringList{"mode='none'", "http/host='unused'", "ignore-hosts=['x']"}
                                    << ""
                                    << "";
    }

    void proxies()
    {
        QFETCH(QStringList, environment);
        QFETCH(QStringList, settings);
        QFETCH(QString, entry);
        QFETCH(QString, expected);
        QProcessEnvironment variables;
        for (const QString &assignment : environment)
            variables.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
        LiveSystemOptions liveOptions = options(variables);
        if (!settings.isEmpty()) {
            liveOptions.desktop.gsettingsProgram = fakeGsettings(settings);
            QVERIFY(!liveOptions.desktop.gsettingsProgram.isEmpty());
        }
        LiveFixture fixture(liveOptions);
        QVERIFY(fixture.isConnected());
        const PropertyListValue proxies = fixture.value("State:/Network/Global/Proxies");
        if (expected.isEmpty())
            QVERIFY2(!proxies, qPrintable(proxies.description()));
        else
            QCOMPARE(entryText(proxies, entry), expected);
    }

    void settingText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("string") << "'proxy.example'\n"
                                << "proxy.example";
        QTest::newRow("escapes") << R"('a\'b\\c')"
                                 << R"(a'b\c)";
        QTest::newRow("unterminated string") << "'abc"
                                             << "<none>";
        QTest::newRow("escape at the end") << R"('abc\)"
                                           << "<none>";
        QTest::newRow("short unicode escape") << R"('\u00')"
                                              << "<none>";
        QTest::newRow("typed number") << "uint32 8080"
                                      << "8080";
        QTest::newRow("array") << "['localhost', '127.0.0.0/8', '::1']"
                               << "localhost,127.0.0.0/8,::1";
        QTest::newRow("empty typed array") << "@as []"
                                           << "";
        QTest::newRow("other array type") << "@ai []"
                                          << "<none>";
        QTest::newRow("unclosed array") << "['a', 'b'"
                                        << "<none>";
        QTest::newRow("trailing text") << "'a' b"
                                       << "<none>";
        QTest::newRow("bare word") << "manual"
                                   << "<none>";
    }

    void settingText()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(entryText(desktop::parseSettingText(text), QString()), expected);
    }

    // Each change is written and announced by its schema's monitor, 100 ms
    // apart: within the settling time, so the whole burst is one reading.
    void gnomeProxyChange_data()
    {
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one schema") << QStringList{"http/host='next'"} << "GNOMEMode=manual; HTTPProxy=next:1";
        QTest::newRow("burst over schemas")
            << QStringList{"http/host='next'", "autoconfig-url='http://pac/'", "mode='auto'"}
            << "AutoConfigURL=http://pac/; GNOMEMode=auto";
    }

    void gnomeProxyChange()
    {
        QFETCH(QStringList, changes);
        QFETCH(QString, expected);
        LiveSystemOptions liveOptions = options();
        liveOptions.desktop.gsettingsProgram = fakeGsettings({"mode='manual'", "http/host='first'", "http/port=1"});
        QVERIFY(!liveOptions.desktop.gsettingsProgram.isEmpty());
        LiveFixture fixture(liveOptions);
        QVERIFY(fixture.isConnected());
        QCOMPARE(entryText(fixture.value("State:/Network/Global/Proxies"), "HTTPProxy"), "first:1");
        QTest::qWait(300); // the monitors are running
        fixture.clearChangeLists();
        for (const QString &change : changes) {
            QVERIFY(writeSettings(m_gsettings->path(), {change}));
            QFile touched(m_gsettings->filePath("changed-" + schemaOf(change)));
            QVERIFY(touched.open(QIODevice::WriteOnly));
            QTest::qWait(100);
        }
        QTRY_COMPARE_WITH_TIMEOUT(entryText(fixture.value("State:/Network/Global/Proxies"), QString()), expected, 5000);
        QTest::qWait(2 * liveOptions.desktop.settleMilliseconds);
        QCOMPARE(desktopLists(fixture).size(), 1);
    }

    void absentServices_data()
    {
        QTest::addColumn<bool>("busRunning");
        QTest::addColumn<QString>("gsettings");
        QTest::addColumn<QStringList>("logged");
        const QStringList services{"org.freedesktop.NetworkManager", "org.freedesktop.login1",
                                   "org.freedesktop.timedate1", "org.freedesktop.UPower", "org.freedesktop.resolve1"};
        QTest::newRow("bus without services") << true << "" << services;
        QTest::newRow("no bus") << false << "" << QStringList{"cannot connect to the system bus"};
        // GNOME's proxy settings are optional: their absence goes unlogged.
        QTest::newRow("no GNOME proxy schema") << true << "schema absent" << services;
        QTest::newRow("no gsettings command") << true << "/nonexistent/gsettings" << services;
    }

    void absentServices()
    {
        QFETCH(bool, busRunning);
        QFETCH(QString, gsettings);
        QFETCH(QStringList, logged);
        LiveSystemOptions settings = options();
        if (!busRunning)
            settings.desktop.busAddress = QStringLiteral("unix:path=/nonexistent/keyvane-test-bus");
        settings.desktop.gsettingsProgram = gsettings == "schema absent" ? fakeGsettings({}) : gsettings;
        SystemLogCapture log;
        LiveFixture fixture(settings);
        QVERIFY(fixture.isConnected());
        QTest::qWait(400);
        const QStringList keys = fixture.engine().keys();
        QVERIFY2(std::none_of(keys.cbegin(), keys.cend(), isDesktopKey), qPrintable(keys.join(' ')));
        QCOMPARE(log.lines().size(), logged.size());
        for (qsizetype i = 0; i < logged.size(); ++i)
            QVERIFY2(log.lines().at(i).contains(logged.at(i)), qPrintable(log.lines().at(i)));
    }

    void followsService_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("mockTemplate");
        QTest::addColumn<QList<QStringList>>("calls");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("expected");
        const QString time = QStringLiteral("/org/freedesktop/timedate1");
        const QString login = QStringLiteral("/org/freedesktop/login1");
        const QString power = QStringLiteral("/org/freedesktop/UPower");
        const QString resolve = QStringLiteral("/org/freedesktop/resolve1");
        const QString resolvedTemplate = QStringLiteral(KEYVANE_SOURCE_DIR "/tests/dbusmock_resolved.py");
        QTest::newRow("time zone") << "org.freedesktop.timedate1"
                                   << "timedated"
                                   << QList<QStringList>{{time, "org.freedesktop.timedate1.SetTimezone", "Europe/Paris",
                                                          "false"}}
                                   << "State:/Time"
                                   << "TimeZone"
                                   << "Europe/Paris";
        QTest::newRow("NTP off") << "org.freedesktop.timedate1"
                                 << "timedated"
                                 << QList<QStringList>{{time, "org.freedesktop.timedate1.SetNTP", "false", "false"}}
                                 << "State:/Time"
                                 << "NTPSynchronized"
                                 << "false";
        QTest::newRow("console user") << "org.freedesktop.login1"
                                      << "logind"
                                      << QList<QStringList>{{login, MockMethod + "AddSession", "c1", "seat0",
                                                             "uint32 1000", "alice", "true"}}
                                      << "State:/Users/ConsoleUser"
                                      << "Name"
                                      << "alice";
        QTest::newRow("user switch")
            << "org.freedesktop.login1"
            << "logind"
            << QList<QStringList>{{login, MockMethod + "AddSession", "c1", "seat0", "uint32 1000", "alice", "true"},
                                  {login, MockMethod + "AddSession", "c2", "seat0", "uint32 1001", "bob", "true"}}
            << "State:/Users/ConsoleUser"
            << "SessionID"
            << "c2";
        QTest::newRow("sessions") << "org.freedesktop.login1"
                                  << "logind"
                                  << QList<QStringList>{{login, MockMethod + "AddSession", "c7", "seat0", "uint32 1002",
                                                         "carol", "false"}}
                                  << "State:/Users/Sessions"
                                  << "c7/UID"
                                  << "1002";
        QTest::newRow("battery") << "org.freedesktop.UPower"
                                 << "upower"
                                 << QList<QStringList>{{power, MockMethod + "AddDischargingBattery", "mock_BAT0", "Bat",
                                                        "42.0", "int64 3600"}}
                                 << "State:/Power/mock_BAT0"
                                 << "TimeToEmpty"
                                 << "3600";
        QTest::newRow("unplugged") << "org.freedesktop.UPower"
                                   << "upower"
                                   << QList<QStringList>{{power, MockMethod + "AddAC", "mock_AC", "Mains"},
                                                         {power, MockMethod + "SetDeviceProperties",
                                                          power + "/devices/mock_AC", "{'Online': <false>}"}}
                                   << "State:/Power/mock_AC"
                                   << "Online"
                                   << "false";
        QTest::newRow("saved connection")
            << NetworkManager << "networkmanager"
            << QList<QStringList>{{NetworkManagerPath + "/Settings",
                                   "org.freedesktop.NetworkManager.Settings.AddConnection",
                                   connectionSettings("Office", 3, 0)}}
            << "Setup:/Network/Service/" + uuidFor("Office") << "AutoConnectPriority"
            << "3";
        QTest::newRow("link DNS") << "org.freedesktop.resolve1" << resolvedTemplate
                                  << QList<QStringList>{{resolve, "org.freedesktop.resolve1.Manager.SetLinkDNS", "1",
                                                         "[(2, [byte 192, 0, 2, 53]), (10, [byte 0x20, 0x01, 0x0d, "
                                                         "0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x35])]"}}
                                  << "State:/Network/Interface/lo/DNS"
                                  << "ServerAddresses"
                                  << "192.0.2.53,2001:db8::35";
        QTest::newRow("link domains") << "org.freedesktop.resolve1" << resolvedTemplate
                                      << QList<QStringList>{{resolve, "org.freedesktop.resolve1.Manager.SetLinkDomains",
                                                             "1", "[('corp.example', false), ('internal', true)]"}}
                                      << "State:/Network/Interface/lo/DNS"
                                      << "RoutingDomains"
                                      << "internal";
    }

    void followsService()
    {
        QFETCH(QString, service);
        QFETCH(QString, mockTemplate);
        QFETCH(QList<QStringList>, calls);
        QFETCH(QString, key);
        QFETCH(QString, entry);
        QFETCH(QString, expected);
        QVERIFY(m_bus->startMock(service, mockTemplate));
        LiveFixture fixture(options());
        QVERIFY(fixture.isConnected());
        QTest::qWait(100);
        fixture.clearChangeLists();
        drive(service, calls);
        QTRY_COMPARE_WITH_TIMEOUT(entryText(fixture.value(key), entry), expected, 5000);
        // The whole burst, however many signals it sent, as one change list.
        QTest::qWait(2 * options().desktop.settleMilliseconds);
        QCOMPARE(desktopLists(fixture).size(), 1);
        QVERIFY(desktopLists(fixture).constFirst().contains(key));
    }

    void restartAndVanish_data()
    {
        QTest::addColumn<QString>("firstZone");
        QTest::addColumn<QString>("secondZone");
        QTest::newRow("zone changes across a restart") << "Europe/Oslo"
                                                       << "Asia/Tokyo";
        QTest::newRow("same zone after a restart") << "America/Lima"
                                                   << "America/Lima";
    }

    void restartAndVanish()
    {
        QFETCH(QString, firstZone);
        QFETCH(QString, secondZone);
        const QString service = QStringLiteral("org.freedesktop.timedate1");
        const auto parameters = [](const QString &zone) { return QStringLiteral("{\"Timezone\": \"%1\"}").arg(zone); };
        QVERIFY(m_bus->startMock(service, "timedated", parameters(firstZone)));
        LiveFixture fixture(options());
        QCOMPARE(entryText(fixture.value("State:/Time"), "TimeZone"), firstZone); // read at start

        fixture.clearChangeLists();
        QVERIFY(m_bus->stopMock(service));
        QTRY_VERIFY(!fixture.value("State:/Time"));
        QCOMPARE(desktopLists(fixture), QList<QStringList>{{"State:/Time"}});

        const int readings = fixture.source().desktopReadings();
        QVERIFY(m_bus->startMock(service, "timedated", parameters(secondZone)));
        QTRY_COMPARE(entryText(fixture.value("State:/Time"), "TimeZone"), secondZone);
        QCOMPARE(fixture.source().desktopReadings(), readings + 1);
    }

    void mergesWithSysfs_data()
    {
        // The sysfs supply BAT0 (none when its capacity is -1) and the UPower
        // battery with the native path BAT0, while UPower runs and after.
        QTest::addColumn<int>("sysfsCapacity");
        QTest::addColumn<QString>("withUPower");
        QTest::addColumn<QString>("withoutUPower");
        QTest::newRow("sysfs entries kept, UPower's added")
            << 87 << "Capacity=87; Present=true; Status=Charging; TimeToEmpty=3600; Type=Battery"
            << "Capacity=87; Present=true; Status=Charging; Type=Battery";
        QTest::newRow("UPower alone") << -1
                                      << "Capacity=42; Present=true; Status=Discharging; TimeToEmpty=3600; Type=Battery"
                                      << "<none>";
    }

    void mergesWithSysfs()
    {
        QFETCH(int, sysfsCapacity);
        QFETCH(QString, withUPower);
        QFETCH(QString, withoutUPower);
        QTemporaryDir root;
        LiveSystemOptions settings = options();
        settings.powerSupplyRoot = root.path();
        if (sysfsCapacity >= 0) {
            QVERIFY(QDir(root.path()).mkpath("BAT0"));
            for (const auto &[name, content] : {std::pair{"type", QByteArray("Battery")},
                                                {"status", "Charging"},
                                                {"present", "1"},
                                                {"capacity", QByteArray::number(sysfsCapacity)}}) {
                QFile file(root.filePath(QStringLiteral("BAT0/") + name));
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content + '\n') > 0);
            }
        }
        const QString service = QStringLiteral("org.freedesktop.UPower");
        const QString device = QStringLiteral("/org/freedesktop/UPower/devices/mock_BAT0");
        QVERIFY(m_bus->startMock(service, "upower"));
        LiveFixture fixture(settings);
        drive(service, {{"/org/freedesktop/UPower", MockMethod + "AddDischargingBattery", "mock_BAT0", "Bat", "42.0",
                         "int64 3600"},
                        {device, MockMethod + "AddProperty", "org.freedesktop.UPower.Device", "NativePath",
                         "<'/sys/devices/LNXSYSTM:00/PNP0C0A:00/power_supply/BAT0'>"}});
        QTRY_COMPARE(entryText(fixture.value("State:/Power/BAT0"), ""), withUPower);
        QVERIFY(!fixture.value("State:/Power/mock_BAT0"));
        QVERIFY(m_bus->stopMock(service));
        QTRY_COMPARE(entryText(fixture.value("State:/Power/BAT0"), ""), withoutUPower);
    }

    void linkStateFiles_data()
    {
        // resolved's state file of link 1 (lo) while resolved is not on the bus.
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<QString>("expected");
        QTest::newRow("servers and domains") << QByteArray("# comment\nSERVERS=192.0.2.53 2001:db8::53\nDOMAINS=lan\n")
                                             << "SearchDomains=lan; ServerAddresses=192.0.2.53,2001:db8::53";
        QTest::newRow("servers") << QByteArray("LLMNR=yes\nSERVERS=192.0.2.54\n") << "ServerAddresses=192.0.2.54";
        QTest::newRow("neither") << QByteArray("LLMNR=yes\n") << "<none>";
    }

    void linkStateFiles()
    {
        QFETCH(QByteArray, state);
        QFETCH(QString, expected);
        QTemporaryDir folder;
        LiveSystemOptions settings = options();
        settings.desktop.resolvedLinkStatePath = folder.path();
        LiveFixture fixture(settings);
        QCOMPARE(entryText(fixture.value("State:/Network/Interface/lo/DNS"), ""), QStringLiteral("<none>"));
        // Written after the start: followed as the folder changes.
        QFile file(folder.filePath("1"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(state) == state.size());
        file.close();
        QFile(folder.filePath("not-a-link")).open(QIODevice::WriteOnly);
        QTRY_COMPARE(entryText(fixture.value("State:/Network/Interface/lo/DNS"), ""), expected);
        // Rewritten in place.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("SERVERS=203.0.113.9\n") > 0);
        file.close();
        QTRY_COMPARE(entryText(fixture.value("State:/Network/Interface/lo/DNS"), ""),
                     QStringLiteral("ServerAddresses=203.0.113.9"));
        // resolved on the bus takes over.
        QVERIFY(m_bus->startMock("org.freedesktop.resolve1", KEYVANE_SOURCE_DIR "/tests/dbusmock_resolved.py",
                                 R"({"DNS": [[1, 2, [198, 51, 100, 1]]]})"));
        QTRY_COMPARE(entryText(fixture.value("State:/Network/Interface/lo/DNS"), ""),
                     QStringLiteral("ServerAddresses=198.51.100.1"));
    }

    void serviceOrder_data()
    {
        // Connections as "name:priority:last activation:activated as nth (-1 not active)".
        QTest::addColumn<QStringList>("connections");
        QTest::addColumn<QString>("expected");
        QTest::newRow("by priority") << QStringList{"A:0:0:-1", "B:10:0:-1", "C:5:0:-1"} << "B,C,A";
        QTest::newRow("active before inactive") << QStringList{"A:0:100:-1", "B:0:0:0", "C:0:200:-1"} << "B,C,A";
        QTest::newRow("in activation order") << QStringList{"A:0:0:1", "B:0:0:0"} << "B,A";
        QTest::newRow("priority before activation") << QStringList{"A:1:0:-1", "B:0:0:0"} << "A,B";
    }

    void serviceOrder()
    {
        QFETCH(QStringList, connections);
        QFETCH(QString, expected);
        QVERIFY(m_bus->startMock(NetworkManager, "networkmanager"));
        drive(NetworkManager,
              {{NetworkManagerPath, MockMethod + "AddEthernetDevice", "mock_eth0", "eth0", "uint32 100"}});
        QMap<int, QString> activation;
        for (const QString &connection : connections) {
            const QStringList fields = connection.split(':');
            const QString path =
                m_bus->call(NetworkManager, NetworkManagerPath + "/Settings",
                            "org.freedesktop.NetworkManager.Settings.AddConnection",
                            {connectionSettings(fields[0], fields[1].toInt(), fields[2].toLongLong())});
            QVERIFY2(path.startsWith("(objectpath '"), qPrintable(path));
            if (fields[3].toInt() >= 0)
                activation.insert(fields[3].toInt(), path.section('\'', 1, 1));
        }
        for (const QString &path : std::as_const(activation))
            drive(NetworkManager, {{NetworkManagerPath, MockMethod + "AddActiveConnection",
                                    "['" + NetworkManagerPath + "/Devices/mock_eth0']", path, "/",
                                    "a" + path.section('/', -1), "uint32 2"}});
        LiveFixture fixture(options());
        QStringList order;
        for (const QString &name : expected.split(','))
            order.append(uuidFor(name));
        QCOMPARE(strings(fixture.value("Setup:/Network/Global/IPv4").value("ServiceOrder")), order);
    }

    // Associates wlan0 with an access point whose RSN flags are `security`;
    // the fixture must be running.
    void associate(uint security)
    {
        const QString ap = QStringLiteral("org.freedesktop.NetworkManager.AccessPoint");
        const auto flags = [](uint value) { return "<uint32 " + QString::number(value) + ">"; };
        const QString device = NetworkManagerPath + "/Devices/mock_wlan0";
        const QString point = NetworkManagerPath + "/AccessPoint/ap0";
        drive(
            NetworkManager,
            {{NetworkManagerPath, MockMethod + "AddWiFiDevice", "mock_wlan0", "wlan0", "uint32 100"},
             {NetworkManagerPath, MockMethod + "AddAccessPoint", device, "ap0", "HomeNet", "00:11:22:AA:BB:CC",
              "uint32 2", "uint32 5180", "uint32 54000", "byte 80", "uint32 256"},
             {NetworkManagerPath, MockMethod + "AddWiFiConnection", device, "wconn", "HomeNet", "wpa-psk"},
             {NetworkManagerPath, MockMethod + "AddActiveConnection", "['" + device + "']",
              NetworkManagerPath + "/Settings/wconn", point, "w0", "uint32 2"},
             {device, MockMethod + "AddProperty", "org.freedesktop.NetworkManager.Device.Wireless", "ActiveAccessPoint",
              "<objectpath '/'>"},
             {NetworkManagerPath, MockMethod + "SetProperty", point, ap, "RsnFlags", flags(security)},
             {NetworkManagerPath, MockMethod + "SetProperty", point, ap, "WpaFlags", flags(0)},
             {NetworkManagerPath, MockMethod + "SetProperty", point, ap, "Flags", flags(security ? 1 : 0)},
             {NetworkManagerPath, MockMethod + "SetProperty", device, "org.freedesktop.NetworkManager.Device.Wireless",
              "ActiveAccessPoint", "<objectpath '" + point + "'>"}});
    }

    void wifi_data()
    {
        QTest::addColumn<uint>("security");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("expected");
        QTest::newRow("personal") << 0x100u << ""
                                  << "BSSID=00:11:22:aa:bb:cc; Bitrate=5; Frequency=5180; SSID=HomeNet; "
                                     "Security=WPA2-Personal; SignalLevel=-60; SignalStrength=80";
        QTest::newRow("enterprise") << 0x200u << "Security"
                                    << "WPA2-Enterprise";
        QTest::newRow("SAE") << 0x500u << "Security"
                             << "WPA3-Personal";
        QTest::newRow("open") << 0u << "Security"
                              << "None";
    }

    void wifi()
    {
        QFETCH(uint, security);
        QFETCH(QString, entry);
        QFETCH(QString, expected);
        QVERIFY(m_bus->startMock(NetworkManager, "networkmanager"));
        LiveFixture fixture(options());
        associate(security);
        QTRY_COMPARE_WITH_TIMEOUT(entryText(fixture.value("State:/Network/Interface/wlan0/WiFi"), entry), expected,
                                  5000);
    }

    void signalStrength_data()
    {
        QTest::addColumn<int>("interval");
        QTest::newRow("one second") << 1000;
        QTest::newRow("two seconds") << 2000;
    }

    void signalStrength()
    {
        QFETCH(int, interval);
        QVERIFY(m_bus->startMock(NetworkManager, "networkmanager"));
        LiveSystemOptions settings = options();
        settings.desktop.signalStrengthMilliseconds = interval;
        LiveFixture fixture(settings);
        associate(0);
        const QString key = QStringLiteral("State:/Network/Interface/wlan0/WiFi");
        QTRY_COMPARE(entryText(fixture.value(key), "SignalStrength"), QStringLiteral("80"));
        QTest::qWait(2 * settings.desktop.settleMilliseconds);
        const int readings = fixture.source().desktopReadings();
        QElapsedTimer clock;
        clock.start();
        for (const int strength : {70, 60, 50})
            drive(NetworkManager,
                  {{NetworkManagerPath, MockMethod + "SetProperty", NetworkManagerPath + "/AccessPoint/ap0",
                    "org.freedesktop.NetworkManager.AccessPoint", "Strength",
                    "<byte " + QString::number(strength) + ">"}});
        QTRY_COMPARE_WITH_TIMEOUT(entryText(fixture.value(key), "SignalStrength"), QStringLiteral("50"), 3 * interval);
        // Not before the interval, and the three changes in one reading.
        QVERIFY2(clock.elapsed() >= interval - 50, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(fixture.source().desktopReadings(), readings + 1);
    }

    void activeService_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("expected");
        const QString state = "State:/Network/Service/" + uuidFor("Home") + "/";
        QTest::newRow("IPv4") << state + "IPv4"
                              << ""
                              << "Addresses=192.0.2.10,192.0.2.11; InterfaceName=eth0; PrefixLengths=24,32; "
                                 "Router=192.0.2.1";
        QTest::newRow("DNS") << state + "DNS"
                             << ""
                             << "SearchDomains=home.example; ServerAddresses=192.0.2.53,198.51.100.53";
        QTest::newRow("DHCP lease") << state + "DHCP"
                                    << ""
                                    << "dhcp_lease_time=3600";
        QTest::newRow("primary service") << "State:/Network/Global/IPv4"
                                         << "PrimaryService" << uuidFor("Home");
        QTest::newRow("saved") << "Setup:/Network/Service/" + uuidFor("Home") << ""
                               << "AutoConnect=false; AutoConnectPriority=0; IPv4Method=auto; IPv6Method=ignore; "
                                  "Interface=eth0; Name=Home; Type=802-3-ethernet";
    }

    void activeService()
    {
        QFETCH(QString, key);
        QFETCH(QString, entry);
        QFETCH(QString, expected);
        QVERIFY(m_bus->startMock(NetworkManager, "networkmanager"));
        LiveFixture fixture(options());
        const PropertyListValue routeBefore = fixture.value("State:/Network/Global/IPv4");
        QTest::qWait(100);
        fixture.clearChangeLists();
        const QString active = NetworkManagerPath + "/ActiveConnection/home";
        const QString add = MockMethod + "AddObject";
        drive(
            NetworkManager,
            {{NetworkManagerPath, MockMethod + "AddEthernetDevice", "mock_eth0", "eth0", "uint32 100"},
             {NetworkManagerPath + "/Settings", "org.freedesktop.NetworkManager.Settings.AddConnection",
              connectionSettings("Home", 0, 0)},
             {NetworkManagerPath, add, NetworkManagerPath + "/IP4Config/7", "org.freedesktop.NetworkManager.IP4Config",
              "{'AddressData': <[{'address': <'192.0.2.10'>, 'prefix': <uint32 24>}, {'address': <'192.0.2.11'>, "
              "'prefix': <uint32 32>}]>, 'Gateway': <'192.0.2.1'>, 'Nameservers': <[uint32 0x350200c0, uint32 "
              "0x356433c6]>, "
              "'Searches': <['home.example']>}",
              "@a(ssss) []"},
             {NetworkManagerPath, add, NetworkManagerPath + "/DHCP4Config/7",
              "org.freedesktop.NetworkManager.DHCP4Config", "{'Options': <{'dhcp_lease_time': <'3600'>}>}",
              "@a(ssss) []"},
             {NetworkManagerPath, MockMethod + "AddActiveConnection",
              "['" + NetworkManagerPath + "/Devices/mock_eth0']", NetworkManagerPath + "/Settings/0", "/", "home",
              "uint32 2"},
             {active, MockMethod + "AddProperty", "org.freedesktop.NetworkManager.Connection.Active", "Ip4Config",
              "<objectpath '" + NetworkManagerPath + "/IP4Config/7'>"},
             {active, MockMethod + "AddProperty", "org.freedesktop.NetworkManager.Connection.Active", "Dhcp4Config",
              "<objectpath '" + NetworkManagerPath + "/DHCP4Config/7'>"},
             {NetworkManagerPath, MockMethod + "AddProperty", "org.freedesktop.NetworkManager", "PrimaryConnection",
              "<objectpath '" + active + "'>"}});
        QTRY_COMPARE_WITH_TIMEOUT(entryText(fixture.value(key), entry), expected, 5000);
        QTest::qWait(2 * options().desktop.settleMilliseconds);
        QCOMPARE(desktopLists(fixture).size(), 1);
        // The primary service joins what the kernel's routes say.
        const PropertyListValue route = fixture.value("State:/Network/Global/IPv4");
        for (const QString &name : {QStringLiteral("PrimaryInterface"), QStringLiteral("Router")})
            QCOMPARE(route.value(name), routeBefore.value(name));

        // NetworkManager's keys go with it, in one change list; the route's stay.
        fixture.clearChangeLists();
        QVERIFY(m_bus->stopMock(NetworkManager));
        QTRY_VERIFY(!fixture.value("Setup:/Network/Global/IPv4"));
        QCOMPARE(fixture.value("State:/Network/Global/IPv4"), routeBefore);
        if (key != QLatin1String("State:/Network/Global/IPv4"))
            QVERIFY(!fixture.value(key));
        // The store holds the change at once; its change list is delivered
        // from the event loop after.
        QTest::qWait(2 * options().desktop.settleMilliseconds);
        QCOMPARE(desktopLists(fixture).size(), 1);
    }
};

QTEST_MAIN(TestDesktopAgents)
#include "tst_desktopagents.moc"
