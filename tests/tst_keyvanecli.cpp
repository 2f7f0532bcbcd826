// keyvane-cli, run as a separate program over snapshot fixtures: list, show,
// find, export, watch and diff, --help and --version, and its exit statuses.

#include "platform/plist/PropertyListFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <optional>

using namespace kv;

namespace {

const QString program = QStringLiteral(KEYVANE_BINARY_DIR "/app/keyvane-cli");
const QString fixture = QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/snapshot.plist");
const QString binaryFixture = QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/snapshot.bplist");
const QString malformed = QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/malformed.plist");
const QString notDictionary = QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/not-a-dictionary.plist");

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

Run run(const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not finish normally");
        return result;
    }
    result.status = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

PropertyListDictionary fixtureContents()
{
    QString error;
    const PropertyListValue root = readPropertyListFile(fixture, &error);
    if (!root.isDictionary())
        qFatal("cannot read the fixture: %s", qPrintable(error));
    return root.dictionary();
}

QByteArray xmlOf(const PropertyListDictionary &contents)
{
    QString error;
    return writePropertyListXml(PropertyListValue::fromDictionary(contents), &error);
}

// Writes `contents` over the file at `path`; false when it cannot.
bool rewrite(const QString &path, const PropertyListDictionary &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(xmlOf(contents)) > 0;
}

// The program has no way to say it is ready: rewrites the file at `path`
// with `key` set to "user-0", "user-1"… until `watch` prints a line (at
// most 40 times), then gathers what it prints for 300 ms more. What it
// printed, with *rounds the number of rewrites; none when a rewrite failed.
std::optional<QByteArray> rewriteUntilPrinted(QProcess &watch, const QString &path, PropertyListDictionary &contents,
                                              const QString &key, int *rounds)
{
    QByteArray seen;
    int round = 0;
    for (; round < 40 && !seen.contains('\n'); ++round) {
        QTest::qWait(250);
        contents.insert(key, PropertyListValue::fromString(QStringLiteral("user-%1").arg(round)));
        if (!rewrite(path, contents))
            return std::nullopt;
        watch.waitForReadyRead(250);
        seen += watch.readAllStandardOutput();
    }
    QTest::qWait(300);
    *rounds = round;
    return seen + watch.readAllStandardOutput();
}

} // namespace

class TestKeyvaneCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(QFile::exists(program), qPrintable(program + " is not built")); }

    void version()
    {
        const Run r = run({QStringLiteral("--version")});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("keyvane-cli " KEYVANE_VERSION " (build " KEYVANE_BUILD_NUMBER ")\n"));
        QVERIFY(r.err.isEmpty());
    }

    void help_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("long") << "--help";
        QTest::newRow("short") << "-h";
    }

    void help()
    {
        QFETCH(QString, option);
        const Run r = run({option});
        QCOMPARE(r.status, 0);
        QVERIFY(
            r.out.startsWith(QStringLiteral("Usage: keyvane-cli [--snapshot FILE | --etcd URL[,URL...]] COMMAND\n")));
        for (const char *command :
             {"list [--json] [PATTERN]", "show [--json] KEY", "find [--values] [--regex] [--case] [--] TEXT",
              "watch [--json]", "export FILE", "diff [--json] OLD NEW, diff [--json] --store NEW"})
            QVERIFY2(r.out.contains(QLatin1String(command)), command);
        QVERIFY(r.err.isEmpty());
    }

    void list_data()
    {
        QTest::addColumn<QString>("snapshot");
        QTest::addColumn<QStringList>("pattern");
        QTest::addColumn<QStringList>("expected");
        QStringList all = fixtureContents().keys();
        QTest::newRow("all by default") << fixture << QStringList{} << all;
        QTest::newRow("all from binary") << binaryFixture << QStringList{} << all;
        QTest::newRow("all by .*") << fixture << QStringList{".*"} << all;
        QTest::newRow("interfaces' IPv4")
            << fixture << QStringList{"State:/Network/Interface/[^/]+/IPv4"}
            << QStringList{"State:/Network/Interface/eth0/IPv4", "State:/Network/Interface/lo/IPv4"};
        QTest::newRow("whole key only") << fixture << QStringList{"IPv4"} << QStringList{};
        QTest::newRow("setup") << fixture << QStringList{"Setup:.*"}
                               << QStringList{"Setup:/Network/Global/IPv4", "Setup:/System"};
        QTest::newRow("pattern beginning with a dash") << fixture << QStringList{"-.*"} << QStringList{};
    }

    void list()
    {
        QFETCH(QString, snapshot);
        QFETCH(QStringList, pattern);
        QFETCH(QStringList, expected);
        const Run r = run(QStringList{"--snapshot", snapshot, "list"} + pattern);
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(r.out, expected.isEmpty() ? QString() : expected.join('\n') + '\n');
        QVERIFY(r.err.isEmpty());
    }

    // Keys holding line ends and other characters a line cannot show are
    // listed with escapes, one per line, and exported like any other key.
    void unusualKeys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("listed");
        QTest::newRow("line feed") << "State:/Line\nBreak"
                                   << "State:/Line\\nBreak";
        QTest::newRow("carriage return and line feed") << "State:/CRLF\r\n"
                                                       << "State:/CRLF\\r\\n";
        QTest::newRow("tab") << "State:/Tab\there"
                             << "State:/Tab\\there";
        QTest::newRow("backslash") << "State:/Back\\slash"
                                   << "State:/Back\\\\slash";
        QTest::newRow("delete character") << "State:/Del\x7f"
                                          << "State:/Del\\u007F";
        QTest::newRow("line separator") << QStringLiteral("State:/LS\u2028") << "State:/LS\\u2028";
        QTest::newRow("next line") << QStringLiteral("State:/NEL\u0085") << "State:/NEL\\u0085";
        QTest::newRow("plain") << "State:/Plain ü ✓"
                               << "State:/Plain ü ✓";
    }

    void unusualKeys()
    {
        QFETCH(QString, key);
        QFETCH(QString, listed);
        QTemporaryDir dir;
        const QString snapshot = dir.filePath(QStringLiteral("unusual.plist"));
        PropertyListDictionary contents;
        contents.insert(QStringLiteral("State:/A"), PropertyListValue::fromString(QStringLiteral("a")));
        contents.insert(key, PropertyListValue::fromString(QStringLiteral("unusual")));
        QString error;
        QVERIFY2(writePropertyListFile(snapshot, PropertyListValue::fromDictionary(contents), &error),
                 qPrintable(error));

        const Run list = run({"--snapshot", snapshot, "list"});
        QVERIFY2(list.status == 0, qPrintable(list.err));
        QStringList lines{QStringLiteral("State:/A"), listed};
        if (key < QStringLiteral("State:/A"))
            lines.swapItemsAt(0, 1);
        QCOMPARE(list.out, lines.join('\n') + '\n');

        const Run show = run({"--snapshot", snapshot, "show", key});
        QCOMPARE(show.status, 0);
        QCOMPARE(show.out, QStringLiteral("String\nunusual\n"));

        const QString out = dir.filePath(QStringLiteral("export.plist"));
        const Run exported = run({"--snapshot", snapshot, "export", out});
        QVERIFY2(exported.status == 0, qPrintable(exported.err));
        const PropertyListValue read = readPropertyListFile(out, &error);
        QVERIFY2(read.isDictionary(), qPrintable(error));
        QVERIFY(read.dictionary() == contents);
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            return;
        QProcess check;
        check.start(python, {"-c",
                             "import plistlib, sys\n"
                             "d = plistlib.load(open(sys.argv[1], 'rb'))\n"
                             "sys.stdout.buffer.write('\\0'.join(sorted(d)).encode('utf-8', 'surrogatepass'))\n",
                             out});
        QVERIFY(check.waitForFinished(30000));
        QCOMPARE(check.exitCode(), 0);
        QStringList keys = contents.keys();
        std::sort(keys.begin(), keys.end(), [](const QString &a, const QString &b) {
            return a.toUcs4() < b.toUcs4(); // Python sorts by code point
        });
        QCOMPARE(QString::fromUtf8(check.readAllStandardOutput()), keys.join(QChar(0)));
    }

    void show_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("typeName");
        QTest::newRow("dictionary") << "State:/Network/Interface/eth0/Link"
                                    << "Dictionary";
        QTest::newRow("string") << "State:/Users/ConsoleUser"
                                << "String";
        QTest::newRow("with a date") << "State:/Power/Battery0"
                                     << "Dictionary";
    }

    void show()
    {
        QFETCH(QString, key);
        QFETCH(QString, typeName);
        const PropertyListValue value = fixtureContents().value(key);
        QVERIFY(!value.isNone());
        QCOMPARE(value.typeName(), typeName);
        for (const QString &snapshot : {fixture, binaryFixture}) {
            const Run r = run({"--snapshot", snapshot, "show", key});
            QVERIFY2(r.status == 0, qPrintable(r.err));
            QCOMPARE(r.out, typeName + '\n' + value.description() + '\n');
        }
    }

    // find prints the keys holding the text and, with --values, the keys
    // whose value holds it with where; 1 when nothing is found.
    void find_data()
    {
        QTest::addColumn<QString>("snapshot");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        QTest::newRow("in keys") << fixture << QStringList{"eth0"} << 0
                                 << "State:/Network/Interface/eth0/IPv4\n"
                                    "State:/Network/Interface/eth0/Link\n";
        QTest::newRow("from binary") << binaryFixture << QStringList{"eth0/L"} << 0
                                     << "State:/Network/Interface/eth0/Link\n";
        QTest::newRow("case ignored") << fixture << QStringList{"ETH0/LINK"} << 0
                                      << "State:/Network/Interface/eth0/Link\n";
        QTest::newRow("case counted") << fixture << QStringList{"--case", "ETH0"} << 1 << "";
        QTest::newRow("values not searched") << fixture << QStringList{"192.168.1.1"} << 1 << "";
        QTest::newRow("in values") << fixture << QStringList{"--values", "192.168.1.1"} << 0
                                   << QStringLiteral("State:/Network/Global/DNS\tServerAddresses › 0 = 192.168.1.1\n"
                                                     "State:/Network/Global/IPv4\tRouter = 192.168.1.1\n");
        QTest::newRow("a key match wins") << fixture << QStringList{"--values", "wlan0"} << 0
                                          << QStringLiteral("Setup:/Network/Global/IPv4\tServiceOrder › 1 = wlan0\n"
                                                            "State:/Network/Interface\tInterfaces › 2 = wlan0\n"
                                                            "State:/Network/Interface/wlan0/Link\n");
        QTest::newRow("options after the text")
            << fixture << QStringList{"wlan0", "--values", "--case"} << 0
            << QStringLiteral("Setup:/Network/Global/IPv4\tServiceOrder › 1 = wlan0\n"
                              "State:/Network/Interface\tInterfaces › 2 = wlan0\n"
                              "State:/Network/Interface/wlan0/Link\n");
        QTest::newRow("entry name") << fixture << QStringList{"--values", "hostname"} << 0
                                    << "Setup:/System\tHostName = workstation\n";
        QTest::newRow("top-level scalar")
            << fixture << QStringList{"--values", "ALICE"} << 0 << "State:/Users/ConsoleUser\talice\n";
        QTest::newRow("date as shown") << fixture << QStringList{"--values", "2026-01-02 03"} << 0
                                       << "State:/Power/Battery0\tUpdated = 2026-01-02 03:04:05 +0000\n";
        QTest::newRow("data as shown") << fixture << QStringList{"--values", "ac11"} << 0
                                       << "State:/Network/Interface/eth0/Link\tHardwareAddress = <0242ac11 0002>\n";
        QTest::newRow("text beginning with a dash") << fixture << QStringList{"--values", "-61"} << 0
                                                    << "State:/Network/Interface/wlan0/Link\tSignal = -61.5\n";
        QTest::newRow("text after --") << fixture << QStringList{"--", "--values"} << 1 << "";
        QTest::newRow("expression") << fixture << QStringList{"--regex", "/(lo|wlan0)/"} << 0
                                    << "State:/Network/Interface/lo/IPv4\n"
                                       "State:/Network/Interface/wlan0/Link\n";
        QTest::newRow("expression, case counted") << fixture << QStringList{"--regex", "--case", "^state"} << 1 << "";
        QTest::newRow("expression in values") << fixture << QStringList{"--values", "--regex", "^-?\\d+\\.\\d+$"} << 0
                                              << "State:/Network/Interface/wlan0/Link\tSignal = -61.5\n";
        QTest::newRow("nothing found") << fixture << QStringList{"--values", "zzz"} << 1 << "";
        QTest::newRow("empty text") << fixture << QStringList{""} << 1 << "";
    }

    void find()
    {
        QFETCH(QString, snapshot);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const Run r = run(QStringList{"--snapshot", snapshot, "find"} + arguments);
        QVERIFY2(r.status == status, qPrintable(r.err));
        QCOMPARE(r.out, expected);
        QVERIFY(r.err.isEmpty());
    }

    // Keys and entries that a line cannot show are escaped as list escapes them.
    void findEscapes()
    {
        QTemporaryDir dir;
        const QString snapshot = dir.filePath(QStringLiteral("unusual.plist"));
        PropertyListDictionary motd;
        motd.insert(QStringLiteral("Mo\ttd"), PropertyListValue::fromString(QStringLiteral("Hello\nWorld\\")));
        PropertyListDictionary contents;
        contents.insert(QStringLiteral("State:/Line\nBreak"), PropertyListValue::fromDictionary(motd));
        contents.insert(QStringLiteral("State:/Hello"), PropertyListValue::fromString(QStringLiteral("x")));
        QString error;
        QVERIFY2(writePropertyListFile(snapshot, PropertyListValue::fromDictionary(contents), &error),
                 qPrintable(error));
        const Run r = run({"--snapshot", snapshot, "find", "--values", "hello"});
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(r.out, QStringLiteral("State:/Hello\nState:/Line\\nBreak\tMo\\ttd = Hello\\nWorld\\\\\n"));
    }

    void showMissingKey()
    {
        const Run r = run({"--snapshot", fixture, "show", "State:/No/Such/Key"});
        QCOMPARE(r.status, 1);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(r.err.contains(QStringLiteral("State:/No/Such/Key")));
    }

    void errors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("named"); // text the message must hold
        QTest::newRow("no command") << QStringList{"--snapshot", fixture} << "";
        QTest::newRow("unknown command") << QStringList{"--snapshot", fixture, "frobnicate"} << "frobnicate";
        QTest::newRow("unknown option") << QStringList{"--bogus", "list"} << "bogus";
        QTest::newRow("snapshot without file") << QStringList{"--snapshot"} << "snapshot";
        QTest::newRow("list with two patterns") << QStringList{"--snapshot", fixture, "list", "a", "b"} << "list";
        QTest::newRow("show without key") << QStringList{"--snapshot", fixture, "show"} << "show [--json] KEY";
        QTest::newRow("export without file") << QStringList{"--snapshot", fixture, "export"} << "export FILE";
        QTest::newRow("watch with operand") << QStringList{"--snapshot", fixture, "watch", "x"} << "watch";
        QTest::newRow("invalid pattern") << QStringList{"--snapshot", fixture, "list", "State:/("} << "State:/(";
        QTest::newRow("find without text")
            << QStringList{"--snapshot", fixture, "find", "--values"} << "find [--values]";
        QTest::newRow("find with two texts") << QStringList{"--snapshot", fixture, "find", "a", "b"} << "TEXT";
        QTest::newRow("find with an unknown option")
            << QStringList{"--snapshot", fixture, "find", "--valuez", "x"} << "--valuez";
        QTest::newRow("find, invalid expression")
            << QStringList{"--snapshot", fixture, "find", "--regex", "State:/("} << "offset 8";
        QTest::newRow("find, expression ending inside an escape")
            << QStringList{"--snapshot", fixture, "find", "--regex", "eth0\\"} << "offset";
        QTest::newRow("find, malformed snapshot") << QStringList{"--snapshot", malformed, "find", "x"} << malformed;
        QTest::newRow("missing snapshot")
            << QStringList{"--snapshot", QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/none.plist"), "list"}
            << QStringLiteral(KEYVANE_TEST_DATA_DIR "/store/none.plist");
        QTest::newRow("malformed snapshot") << QStringList{"--snapshot", malformed, "list"} << malformed;
        QTest::newRow("malformed snapshot, show")
            << QStringList{"--snapshot", malformed, "show", "Setup:/System"} << malformed;
        QTest::newRow("not a dictionary")
            << QStringList{"--snapshot", notDictionary, "export", "/tmp/x.plist"} << notDictionary;
        QTest::newRow("export where it cannot be written")
            << QStringList{"--snapshot", fixture, "export", "/nonexistent-folder/out.plist"}
            << "/nonexistent-folder/out.plist";
        QTest::newRow("diff, missing file")
            << QStringList{"diff", fixture, "/nonexistent-folder/new.plist"} << "/nonexistent-folder/new.plist";
        QTest::newRow("diff, malformed old file") << QStringList{"diff", malformed, fixture} << malformed;
        QTest::newRow("diff, not a dictionary") << QStringList{"diff", fixture, notDictionary} << notDictionary;
        QTest::newRow("diff, bad file before the store")
            << QStringList{"--snapshot", malformed, "diff", "--store", notDictionary} << notDictionary;
        QTest::newRow("diff, store that cannot be opened")
            << QStringList{"--snapshot", malformed, "diff", "--store", fixture} << malformed;
        QTest::newRow("diff with one file") << QStringList{"diff", fixture} << "diff [--json] OLD NEW";
        QTest::newRow("diff --store with two files")
            << QStringList{"diff", "--store", fixture, fixture} << "diff [--json] OLD NEW";
        QTest::newRow("diff with an unknown option") << QStringList{"diff", "--jsn", fixture, fixture} << "--jsn";
        QTest::newRow("show --json without key") << QStringList{"--snapshot", fixture, "show", "--json"} << "show";
        QTest::newRow("watch with an unknown option")
            << QStringList{"--snapshot", fixture, "watch", "--jsn"} << "watch [--json]";
        QTest::newRow("export to a path with a line break")
            << QStringList{"--snapshot", fixture, "export", "/nonexistent-folder/two\nlines.plist"}
            << "/nonexistent-folder/two\\nlines.plist";
    }

    void errors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, named);
        const Run r = run(arguments);
        QCOMPARE(r.status, 2);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY2(r.err.startsWith(QStringLiteral("keyvane-cli: ")), qPrintable(r.err));
        QVERIFY2(r.err.contains(named), qPrintable(r.err));
    }

    // diff compares two files key by key and value by value; 0 when equal,
    // 1 when not.
    void diff_data()
    {
        QTest::addColumn<QByteArray>("changed"); // the new file's contents (empty: the binary fixture)
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        const PropertyListDictionary original = fixtureContents();
        const QString dns = QStringLiteral("State:/Network/Global/DNS");
        auto withDnsServers = [&](const PropertyListArray &servers) {
            PropertyListDictionary contents = original;
            PropertyListDictionary entries = contents.value(dns).dictionary();
            entries.insert(QStringLiteral("ServerAddresses"), PropertyListValue::fromArray(servers));
            contents.insert(dns, PropertyListValue::fromDictionary(entries));
            return xmlOf(contents);
        };
        auto address = [](const char *text) { return PropertyListValue::fromString(QString::fromLatin1(text)); };

        QTest::newRow("same contents, XML and binary") << QByteArray() << QStringList{} << 0 << "";
        QTest::newRow("same contents, rewritten") << xmlOf(original) << QStringList{} << 0 << "";
        PropertyListDictionary keys = original;
        keys.remove(QStringLiteral("Setup:/System"));
        keys.insert(QStringLiteral("State:/New"), address("x"));
        keys.insert(QStringLiteral("State:/Line\nBreak"), address("y"));
        QTest::newRow("keys added and removed") << xmlOf(keys) << QStringList{} << 1
                                                << "- Setup:/System\n"
                                                   "+ State:/Line\\nBreak\n"
                                                   "+ State:/New\n";
        QTest::newRow("entry changed") << withDnsServers({address("192.168.1.1"), address("1.1.1.1")}) << QStringList{}
                                       << 1
                                       << QStringLiteral(
                                              "~ State:/Network/Global/DNS › ServerAddresses › 1: 9.9.9.9 → 1.1.1.1\n");
        QTest::newRow("entry inserted in front")
            << withDnsServers({address("10.0.0.1"), address("192.168.1.1"), address("9.9.9.9")}) << QStringList{} << 1
            << QStringLiteral("+ State:/Network/Global/DNS › ServerAddresses › 0: 10.0.0.1\n");
        QTest::newRow("entry removed") << withDnsServers({address("9.9.9.9")}) << QStringList{} << 1
                                       << QStringLiteral(
                                              "- State:/Network/Global/DNS › ServerAddresses › 0: 192.168.1.1\n");
        PropertyListDictionary kind = original;
        kind.insert(QStringLiteral("State:/Users/ConsoleUser"), PropertyListValue::fromInteger(501));
        QTest::newRow("value of another kind")
            << xmlOf(kind) << QStringList{} << 1 << QStringLiteral("~ State:/Users/ConsoleUser: alice → 501\n");
        QTest::newRow("as JSON") << xmlOf(keys) << QStringList{"--json"} << 1
                                 << "{\"kind\": \"removed\", \"key\": \"Setup:/System\", \"path\": [], "
                                    "\"old\": {\"HostName\":\"workstation\",\"LocalHostName\":\"workstation\"}, "
                                    "\"new\": null}\n"
                                    "{\"kind\": \"added\", \"key\": \"State:/Line\\nBreak\", \"path\": [], "
                                    "\"old\": null, \"new\": \"y\"}\n"
                                    "{\"kind\": \"added\", \"key\": \"State:/New\", \"path\": [], \"old\": null, "
                                    "\"new\": \"x\"}\n";
        QTest::newRow("entry as JSON") << withDnsServers({address("192.168.1.1"), address("1.1.1.1")})
                                       << QStringList{"--json"} << 1
                                       << "{\"kind\": \"updated\", \"key\": \"State:/Network/Global/DNS\", \"path\": "
                                          "[\"ServerAddresses\",1], \"old\": \"9.9.9.9\", \"new\": \"1.1.1.1\"}\n";
    }

    void diff()
    {
        QFETCH(QByteArray, changed);
        QFETCH(QStringList, options);
        QFETCH(int, status);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QString newer = binaryFixture;
        if (!changed.isEmpty()) {
            newer = dir.filePath(QStringLiteral("new.plist"));
            QFile file(newer);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(changed) == changed.size());
        }
        // Two files; the store against a file; and the store is never opened
        // without --store (a malformed snapshot would fail it).
        const QList<QStringList> forms{
            QStringList{"diff"} + options + QStringList{fixture, newer},
            QStringList{"--snapshot", fixture, "diff"} + options + QStringList{"--store", newer},
            QStringList{"--snapshot", malformed, "diff", fixture} + options + QStringList{newer},
        };
        for (const QStringList &arguments : forms) {
            const Run r = run(arguments);
            QVERIFY2(r.status == status, qPrintable(arguments.join(' ') + ": " + r.err));
            QCOMPARE(r.out, expected);
            QVERIFY(r.err.isEmpty());
        }
    }

    // show and list in JSON.
    void json_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("show a string") << QStringList{"show", "--json", "State:/Users/ConsoleUser"} << "\"alice\"\n";
        QTest::newRow("show, option after the key")
            << QStringList{"show", "State:/Network/Global/DNS", "--json"}
            << "{\"SearchDomains\":[\"example.org\"],\"ServerAddresses\":[\"192.168.1.1\",\"9.9.9.9\"]}\n";
        QTest::newRow("show data and numbers")
            << QStringList{"show", "--json", "State:/Network/Interface/eth0/Link"}
            << "{\"Active\":true,\"HardwareAddress\":{\"$data\":\"AkKsEQAC\"},\"MTU\":1500}\n";
        QTest::newRow("list") << QStringList{"list", "--json", "State:/Network/Interface/[^/]+/IPv4"}
                              << "\"State:/Network/Interface/eth0/IPv4\"\n\"State:/Network/Interface/lo/IPv4\"\n";
        QTest::newRow("list a key named --json") << QStringList{"list", "--json", "--", "--json"} << "";
    }

    void json()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const Run r = run(QStringList{"--snapshot", fixture} + arguments);
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(r.out, expected);
    }

    void exportWritesEveryKey_data()
    {
        QTest::addColumn<QString>("snapshot");
        QTest::newRow("from xml") << fixture;
        QTest::newRow("from binary") << binaryFixture;
    }

    void exportWritesEveryKey()
    {
        QFETCH(QString, snapshot);
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("export.plist"));
        QVERIFY(QFile(out).open(QIODevice::WriteOnly)); // an existing file is replaced
        const Run r = run({"--snapshot", snapshot, "export", out});
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QVERIFY(r.err.isEmpty());
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith("<?xml"));

        // Read back by our reader: the same dictionary as the fixture.
        QString error;
        const PropertyListValue exported = readPropertyListFile(out, &error);
        QVERIFY2(exported.isDictionary(), qPrintable(error));
        QVERIFY(exported.dictionary() == fixtureContents());

        // And by an independent reader, when there is one.
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            return;
        QProcess check;
        check.start(python, {"-c",
                             "import plistlib, sys\n"
                             "a = plistlib.load(open(sys.argv[1], 'rb'))\n"
                             "b = plistlib.load(open(sys.argv[2], 'rb'))\n"
                             "print('same' if a == b and isinstance(a, dict) and len(a) > 0 else 'different')\n",
                             out, fixture});
        QVERIFY(check.waitForFinished(30000));
        QCOMPARE(check.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(check.readAllStandardOutput()).trimmed(), QStringLiteral("same"));
    }

    void watchPrintsChangedKeys_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("interrupted") << int(SIGINT);
        QTest::newRow("terminated") << int(SIGTERM);
        QTest::newRow("hung up") << int(SIGHUP);
    }

    void watchPrintsChangedKeys()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("store.plist"));
        QVERIFY(QFile::copy(fixture, path));
        QProcess watch;
        watch.start(program, {"--snapshot", path, "watch"});
        QVERIFY(watch.waitForStarted());

        const QString key = QStringLiteral("State:/Users/ConsoleUser");
        PropertyListDictionary contents = fixtureContents();
        int rounds = 0;
        const std::optional<QByteArray> printed = rewriteUntilPrinted(watch, path, contents, key, &rounds);
        QVERIFY(printed);
        const QByteArray &seen = *printed;
        QVERIFY2(!seen.isEmpty(), "watch printed nothing");
        const QStringList lines = QString::fromUtf8(seen).split('\n', Qt::SkipEmptyParts);
        for (const QString &line : lines)
            QCOMPARE(line, key); // only the key that changed
        QVERIFY(seen.endsWith('\n'));

        // Another key: removed from the file.
        contents.remove(QStringLiteral("Setup:/System"));
        QVERIFY(rewrite(path, contents));
        QByteArray more;
        QTRY_VERIFY_WITH_TIMEOUT((more += watch.readAllStandardOutput()).contains("Setup:/System\n"), 5000);
        QCOMPARE(more, QByteArray("Setup:/System\n"));

        ::kill(pid_t(watch.processId()), signal);
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        QVERIFY2(watch.readAllStandardError().isEmpty(), "watch wrote to standard error");
    }

    // watch --json: one object per change, with the old and the new value.
    void watchJson()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("store.plist"));
        QVERIFY(QFile::copy(fixture, path));
        QProcess watch;
        watch.start(program, {"--snapshot", path, "watch", "--json"});
        QVERIFY(watch.waitForStarted());

        const QString key = QStringLiteral("State:/Users/ConsoleUser");
        PropertyListDictionary contents = fixtureContents();
        int round = 0;
        const std::optional<QByteArray> printed = rewriteUntilPrinted(watch, path, contents, key, &round);
        QVERIFY(printed);
        const QByteArray &seen = *printed;
        const QStringList lines = QString::fromUtf8(seen).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty(), "watch printed nothing");
        // Each line follows on from the one before: its old value is the
        // value the line before set.
        const QRegularExpression form(QStringLiteral(
            "^\\{\"time\": \"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+00:00\", \"kind\": \"updated\", "
            "\"key\": \"State:/Users/ConsoleUser\", \"old\": \"(alice|user-\\d+)\", \"new\": \"(user-\\d+)\"\\}$"));
        QString before;
        for (const QString &line : lines) {
            const QRegularExpressionMatch match = form.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            if (!before.isEmpty())
                QCOMPARE(match.captured(1), before);
            QVERIFY(match.captured(1) != match.captured(2));
            before = match.captured(2);
        }
        QCOMPARE(before, QStringLiteral("user-%1").arg(round - 1));

        contents.remove(QStringLiteral("Setup:/System"));
        QVERIFY(rewrite(path, contents));
        QByteArray more;
        QTRY_VERIFY_WITH_TIMEOUT((more += watch.readAllStandardOutput()).endsWith('\n'), 5000);
        QVERIFY2(more.contains("\"kind\": \"removed\", \"key\": \"Setup:/System\", \"old\": "
                               "{\"HostName\":\"workstation\",\"LocalHostName\":\"workstation\"}, \"new\": null}\n"),
                 more.constData());
        ::kill(pid_t(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitCode(), 0);
    }
};

QTEST_MAIN(TestKeyvaneCli)
#include "tst_keyvanecli.moc"
