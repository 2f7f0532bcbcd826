// Reading the resolver configuration and the power supplies' sysfs tree, and
// the value of the host's names.

#include "platform/live/SystemFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kv;
using namespace kv::live;

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

QStringList strings(const PropertyListValue &value)
{
    QStringList result;
    for (const PropertyListValue &element : value.array())
        result.append(element.string());
    return result;
}

} // namespace

class TestLiveSystemFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesResolverConfiguration_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QStringList>("search");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QStringList>("options");

        QTest::newRow("plain") << QByteArray(
            "nameserver 192.0.2.53\nnameserver 2001:db8::53\nsearch example.org lab.example.org\n")
                               << QStringList{"192.0.2.53", "2001:db8::53"}
                               << QStringList{"example.org", "lab.example.org"} << "" << QStringList{};
        QTest::newRow("comments and blanks")
            << QByteArray("# generated\n\n; old style\nnameserver 192.0.2.1 # office\n   \nnameserver\t198.51.100.1\n")
            << QStringList{"192.0.2.1", "198.51.100.1"} << QStringList{} << "" << QStringList{};
        QTest::newRow("domain line") << QByteArray("domain corp.example\nnameserver 192.0.2.1\n")
                                     << QStringList{"192.0.2.1"} << QStringList{"corp.example"} << "corp.example"
                                     << QStringList{};
        QTest::newRow("last of search and domain wins")
            << QByteArray("domain a.example\nsearch b.example c.example\n") << QStringList{}
            << QStringList{"b.example", "c.example"} << "" << QStringList{};
        QTest::newRow("search then domain") << QByteArray("search b.example\ndomain a.example\n") << QStringList{}
                                            << QStringList{"a.example"} << "a.example" << QStringList{};
        QTest::newRow("options") << QByteArray("nameserver 127.0.0.53\noptions edns0 trust-ad\noptions ndots:2\n")
                                 << QStringList{"127.0.0.53"} << QStringList{} << ""
                                 << QStringList{"edns0", "trust-ad", "ndots:2"};
        QTest::newRow("keyword without value")
            << QByteArray("nameserver\nsearch\n") << QStringList{} << QStringList{} << "" << QStringList{};
        QTest::newRow("crlf line ends") << QByteArray("nameserver 192.0.2.7\r\nsearch x.example\r\n")
                                        << QStringList{"192.0.2.7"} << QStringList{"x.example"} << "" << QStringList{};
        QTest::newRow("empty") << QByteArray() << QStringList{} << QStringList{} << "" << QStringList{};
    }

    void parsesResolverConfiguration()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, servers);
        QFETCH(QStringList, search);
        QFETCH(QString, domain);
        QFETCH(QStringList, options);
        const ResolverConfiguration configuration = parseResolverConfiguration(text);
        QCOMPARE(configuration.servers, servers);
        QCOMPARE(configuration.searchDomains, search);
        QCOMPARE(configuration.domainName, domain);
        QCOMPARE(configuration.options, options);

        const PropertyListValue value = resolverValue(configuration);
        if (servers.isEmpty() && search.isEmpty()) {
            QVERIFY(value.isNone());
        } else {
            QCOMPARE(strings(value.value("ServerAddresses")), servers);
            QCOMPARE(strings(value.value("SearchDomains")), search);
            QCOMPARE(value.value("DomainName").string(), domain);
            QCOMPARE(value.value("DomainName").isNone(), domain.isEmpty());
            QCOMPARE(value.value("Options").isNone(), options.isEmpty());
        }
    }

    void recognisesStub()
    {
        QVERIFY(isStubConfiguration(parseResolverConfiguration("nameserver 127.0.0.53\n")));
        QVERIFY(!isStubConfiguration(parseResolverConfiguration("nameserver 127.0.0.53\nnameserver 192.0.2.1\n")));
        QVERIFY(!isStubConfiguration(parseResolverConfiguration("search a.example\n")));
    }

    void followsSymlinksToStub()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString etc = root.filePath("etc");
        const QString run = root.filePath("run/resolve");
        writeFile(run + "/stub-resolv.conf", "nameserver 127.0.0.53\noptions edns0\nsearch home.example\n");
        writeFile(run + "/resolv.conf", "nameserver 192.0.2.53\nnameserver 192.0.2.54\nsearch home.example\n");
        QDir().mkpath(etc);
        QVERIFY(QFile::link(run + "/stub-resolv.conf", etc + "/resolv.conf"));

        ResolverLocation location;
        ResolverConfiguration configuration =
            readResolverConfiguration(etc + "/resolv.conf", run + "/resolv.conf", &location);
        QCOMPARE(configuration.servers, QStringList({"192.0.2.53", "192.0.2.54"}));
        QCOMPARE(configuration.searchDomains, QStringList({"home.example"}));
        QCOMPARE(location.readPath, QFileInfo(run + "/resolv.conf").canonicalFilePath());
        QVERIFY(location.watchedDirectories.contains(QFileInfo(etc).canonicalFilePath())
                || location.watchedDirectories.contains(etc));
        QVERIFY(location.watchedDirectories.contains(QFileInfo(run).canonicalFilePath())
                || location.watchedDirectories.contains(run));

        // Without the upstream file the stub's own content is used.
        QVERIFY(QFile::remove(run + "/resolv.conf"));
        configuration = readResolverConfiguration(etc + "/resolv.conf", run + "/resolv.conf", &location);
        QCOMPARE(configuration.servers, QStringList({"127.0.0.53"}));

        // A dangling link means no configuration at all.
        QVERIFY(QFile::remove(run + "/stub-resolv.conf"));
        configuration = readResolverConfiguration(etc + "/resolv.conf", run + "/resolv.conf", &location);
        QVERIFY(configuration.isEmpty());
        QVERIFY(location.readPath.isEmpty());
    }

    void readsPowerSupplies()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString supplies = root.filePath("power_supply");
        writeFile(supplies + "/AC/type", "Mains\n");
        writeFile(supplies + "/AC/online", "1\n");
        writeFile(supplies + "/BAT0/type", "Battery\n");
        writeFile(supplies + "/BAT0/status", "Discharging\n");
        writeFile(supplies + "/BAT0/capacity", "87\n");
        writeFile(supplies + "/BAT0/present", "1\n");
        writeFile(supplies + "/BAT0/online", "garbage\n");
        QDir().mkpath(supplies + "/empty"); // no known files: no key

        const KeyValues keys = powerSupplyKeys(supplies);
        QCOMPARE(keys.keys(), QStringList({"State:/Power/AC", "State:/Power/BAT0"}));
        const PropertyListValue ac = keys.value("State:/Power/AC");
        QCOMPARE(ac.value("Type").string(), QStringLiteral("Mains"));
        QCOMPARE(ac.value("Online").kind(), PropertyListValue::Kind::Boolean);
        QCOMPARE(ac.value("Online").boolean(), true);
        QVERIFY(ac.value("Capacity").isNone());
        const PropertyListValue battery = keys.value("State:/Power/BAT0");
        QCOMPARE(battery.value("Status").string(), QStringLiteral("Discharging"));
        QCOMPARE(battery.value("Capacity").kind(), PropertyListValue::Kind::Integer);
        QCOMPARE(battery.value("Capacity").integer(), 87);
        QCOMPARE(battery.value("Present").boolean(), true);
        QVERIFY(battery.value("Online").isNone()); // unreadable number left out

        QVERIFY(powerSupplyKeys(root.filePath("missing")).isEmpty());
    }

    void followsSymlinkedSupplyFolders()
    {
        // In sysfs the entries of the class folder are links to device folders.
        QTemporaryDir root;
        const QString devices = root.filePath("devices/adapter");
        writeFile(devices + "/type", "USB\n");
        writeFile(devices + "/online", "0\n");
        QDir().mkpath(root.filePath("class"));
        QVERIFY(QFile::link(devices, root.filePath("class/usb0")));
        const KeyValues keys = powerSupplyKeys(root.filePath("class"));
        QCOMPARE(keys.value("State:/Power/usb0").value("Type").string(), QStringLiteral("USB"));
        QCOMPARE(keys.value("State:/Power/usb0").value("Online").boolean(), false);
    }

    void makesSystemValue_data()
    {
        QTest::addColumn<QString>("hostName");
        QTest::addColumn<QString>("domainName");
        QTest::addColumn<QStringList>("entries");

        QTest::newRow("no domain") << "workstation"
                                   << "" << QStringList{"HostName=workstation"};
        QTest::newRow("kernel's unset domain") << "workstation"
                                               << "(none)" << QStringList{"HostName=workstation"};
        QTest::newRow("nis domain") << "node7"
                                    << "nis.example" << QStringList{"DomainName=nis.example", "HostName=node7"};
    }

    void makesSystemValue()
    {
        QFETCH(QString, hostName);
        QFETCH(QString, domainName);
        QFETCH(QStringList, entries);
        const PropertyListValue value = systemValue(hostName, domainName);
        QStringList actual;
        for (auto it = value.dictionary().cbegin(); it != value.dictionary().cend(); ++it)
            actual.append(it.key() + QLatin1Char('=') + it.value().string());
        QCOMPARE(actual, entries);
    }
};

QTEST_MAIN(TestLiveSystemFiles)
#include "tst_livesystemfiles.moc"
