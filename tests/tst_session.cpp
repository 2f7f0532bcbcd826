// The session kept between runs: its settings file and where the window goes.

#include "app/Session.h"
#include "platform/SystemLog.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using kv::app::SessionState;
using kv::app::SessionStore;

namespace {

// Every field as "name=value", so that a failed comparison says which field
// differs.
QStringList fieldsOf(const SessionState &state)
{
    const auto flag = [](bool on) { return on ? QStringLiteral("true") : QStringLiteral("false"); };
    const QRect r = state.windowRect;
    return {
        QStringLiteral("windowRect=%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()),
        QStringLiteral("windowMaximized=") + flag(state.windowMaximized),
        QStringLiteral("splitterState=") + QString::fromLatin1(state.splitterState.toHex()),
        QStringLiteral("inspectorOpen=") + flag(state.inspectorOpen),
        QStringLiteral("consoleOpen=") + flag(state.consoleOpen),
        QStringLiteral("findMatchCase=") + flag(state.findMatchCase),
        QStringLiteral("findRegularExpression=") + flag(state.findRegularExpression),
        QStringLiteral("findInValues=") + flag(state.findInValues),
        QStringLiteral("selectedKey=") + state.selectedKey,
    };
}

// A session with no field at its default.
SessionState everythingSet()
{
    SessionState state;
    state.windowRect = QRect(-1200, 37, 900, 640);
    state.windowMaximized = true;
    state.splitterState = QByteArray("\x00\xff\x00\x00\x00\x01\n\r=[]", 11);
    state.inspectorOpen = true;
    state.consoleOpen = true;
    state.findMatchCase = true;
    state.findRegularExpression = true;
    state.findInValues = true;
    state.selectedKey = QStringLiteral("State:/Network/Interface/eth0/IPv4");
    return state;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultPathIsTheUsualSettingsFile();
    void roundTrip_data();
    void roundTrip();
    void damagedFileGivesDefaultsAndOneLine_data();
    void damagedFileGivesDefaultsAndOneLine();
    void wrongTypesAreIgnoredOneByOne_data();
    void wrongTypesAreIgnoredOneByOne();
    void fittedGeometry_data();
    void fittedGeometry();
};

void TestSession::defaultPathIsTheUsualSettingsFile()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QCOMPARE(SessionStore::defaultPath(), config + QStringLiteral("/Keyvane/Keyvane.ini"));
    QCOMPARE(SessionStore().path(), SessionStore::defaultPath());
}

void TestSession::roundTrip_data()
{
    QTest::addColumn<SessionState>("state");
    QTest::newRow("defaults") << SessionState();
    QTest::newRow("every field set") << everythingSet();
    // Texts that mean something in an INI file, or to QSettings.
    const QStringList awkwardKeys = {
        QStringLiteral("State:/Line\nBreak\r\tTab"),
        QStringLiteral("Setup:/Zürich/東京 😀"),
        QStringLiteral("State:/a, b, c"),
        QStringLiteral("@ByteArray(State:/x)"),
        QStringLiteral("true"),
        QStringLiteral("[Session]\nselectedKey=other"),
        QStringLiteral("  spaced; #comment = \"quoted\" \\backslash  "),
    };
    for (const QString &key : awkwardKeys) {
        SessionState state;
        state.selectedKey = key;
        QTest::newRow(qPrintable(QStringLiteral("key ") + QString(key).replace(u'\n', u'|'))) << state;
    }
}

void TestSession::roundTrip()
{
    QFETCH(SessionState, state);
    // The first save of all: the configuration folder may not exist yet.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config/Keyvane/Keyvane.ini"));
    kv::SystemLogCapture log;
    QCOMPARE(fieldsOf(SessionStore(path).load()), fieldsOf(SessionState())); // no file yet
    QVERIFY(SessionStore(path).save(state));
    QCOMPARE(fieldsOf(SessionStore(path).load()), fieldsOf(state));
    QVERIFY(SessionStore(path).load() == state);
    // Saving again replaces the whole session, not only the fields set.
    QVERIFY(SessionStore(path).save(SessionState()));
    QCOMPARE(fieldsOf(SessionStore(path).load()), fieldsOf(SessionState()));
    QCOMPARE(log.lines(), QStringList());
}

void TestSession::damagedFileGivesDefaultsAndOneLine_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("isFolder");
    // Each file begins with good values: none of them may be taken.
    const QByteArray good = "[Session]\ninspectorOpen=true\nselectedKey=State:/Kept\n[Other]\nleftover=1\n";
    QTest::newRow("group header not closed") << good + "[Other\nx=1\n" << false;
    QTest::newRow("line without a value") << good + "this line has no equals sign\n" << false;
    QTest::newRow("binary bytes") << good + QByteArray("\x00\x01\xff\xfe\x7f[\x00", 7) << false;
    QTest::newRow("far too large") << good + QByteArray(2 * 1024 * 1024, '#') << false;
    QTest::newRow("a folder in its place") << QByteArray() << true;
}

void TestSession::damagedFileGivesDefaultsAndOneLine()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, isFolder);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.ini"));
    if (isFolder)
        QVERIFY(QDir().mkpath(path));
    else
        writeFile(path, contents);
    // Every load tells of it, not only the first one in the process.
    for (int attempt = 0; attempt < 2; ++attempt) {
        kv::SystemLogCapture log;
        QCOMPARE(fieldsOf(SessionStore(path).load()), fieldsOf(SessionState()));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().contains(path), qPrintable(log.lines().first()));
    }
    // The next save replaces a damaged file whole, quietly; a folder cannot
    // be written over, which is told once.
    kv::SystemLogCapture log;
    QCOMPARE(SessionStore(path).save(everythingSet()), !isFolder);
    QCOMPARE(log.lines().size(), isFolder ? 1 : 0);
    if (!isFolder) {
        QCOMPARE(fieldsOf(SessionStore(path).load()), fieldsOf(everythingSet()));
        QVERIFY(!fileBytes(path).contains("leftover"));
    }
}

void TestSession::wrongTypesAreIgnoredOneByOne_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("splitter as plain text") << "splitterState" << QByteArray("not bytes");
    QTest::newRow("rectangle as a size") << "windowRect" << QByteArray("@Size(900 640)");
    QTest::newRow("rectangle missing a number") << "windowRect" << QByteArray("@Rect(1 2 3)");
    QTest::newRow("maximized as a word") << "windowMaximized" << QByteArray("banana");
    QTest::newRow("splitter as a list") << "splitterState" << QByteArray("a, b");
    QTest::newRow("inspector as a number") << "inspectorOpen" << QByteArray("1");
    QTest::newRow("console as yes") << "consoleOpen" << QByteArray("yes");
    QTest::newRow("match case as bytes") << "findMatchCase" << QByteArray("@ByteArray(true)");
    QTest::newRow("regular expression empty") << "findRegularExpression" << QByteArray("");
    QTest::newRow("in values as a rectangle") << "findInValues" << QByteArray("@Rect(0 0 1 1)");
    QTest::newRow("key as a list") << "selectedKey" << QByteArray("State:/a, State:/b");
    QTest::newRow("key as bytes") << "selectedKey" << QByteArray("@ByteArray(State:/x)");
}

void TestSession::wrongTypesAreIgnoredOneByOne()
{
    QFETCH(QString, field);
    QFETCH(QByteArray, line);
    // The file of a saved session with one field edited by hand.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.ini"));
    QVERIFY(SessionStore(path).save(everythingSet()));
    QList<QByteArray> lines = fileBytes(path).split('\n');
    const QByteArray name = field.toUtf8() + '=';
    const auto edited =
        std::find_if(lines.begin(), lines.end(), [&](const QByteArray &l) { return l.startsWith(name); });
    QVERIFY(edited != lines.end());
    *edited = name + line;
    writeFile(path, lines.join('\n'));

    // That field alone falls back to its default.
    QStringList expected = fieldsOf(everythingSet());
    const QStringList defaults = fieldsOf(SessionState());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        if (expected[i].startsWith(field + u'='))
            expected[i] = defaults[i];
    }
    QVERIFY(expected != fieldsOf(everythingSet()));
    kv::SystemLogCapture log;
    QCOMPARE(fieldsOf(SessionStore(path).load()), expected);
    QCOMPARE(log.lines(), QStringList());
}

void TestSession::fittedGeometry_data()
{
    QTest::addColumn<QRect>("saved");
    QTest::addColumn<QList<QRect>>("areas");
    QTest::addColumn<QSize>("preferred");
    QTest::addColumn<QRect>("expected");
    const QSize preferred(900, 640);
    const QRect hd(0, 0, 1920, 1080);
    // Kept where it was.
    QTest::newRow("inside the only screen")
        << QRect(100, 80, 1000, 700) << QList<QRect>{hd} << preferred << QRect(100, 80, 1000, 700);
    QTest::newRow("filling the screen exactly") << hd << QList<QRect>{hd} << preferred << hd;
    QTest::newRow("on a screen left of the first")
        << QRect(-1200, 50, 900, 640) << QList<QRect>{QRect(0, 0, 0, 0), hd, QRect(-1280, 0, 1280, 1024)} << preferred
        << QRect(-1200, 50, 900, 640);
    // Placed afresh: the preferred size, centred in the largest area.
    QTest::newRow("first run") << QRect() << QList<QRect>{QRect(0, 27, 1920, 1053)} << preferred
                               << QRect(510, 233, 900, 640);
    QTest::newRow("its screen went away")
        << QRect(2000, 100, 900, 640) << QList<QRect>{hd} << preferred << QRect(510, 220, 900, 640);
    QTest::newRow("across two screens") << QRect(1500, 100, 900, 640) << QList<QRect>{hd, QRect(1920, 0, 1920, 1080)}
                                        << preferred << QRect(510, 220, 900, 640);
    QTest::newRow("largest of several") << QRect() << QList<QRect>{QRect(0, 0, 1024, 768), QRect(1024, 0, 2560, 1400)}
                                        << preferred << QRect(1854, 380, 900, 640);
    // 1400x900 pixels at a scale factor of 2: a 700x450 logical area, in
    // which the last run's window and the preferred size are both too large.
    QTest::newRow("scale factor 2") << QRect(100, 100, 900, 640) << QList<QRect>{QRect(0, 0, 700, 450)} << preferred
                                    << QRect(32, 32, 636, 386);
    QTest::newRow("tiny screen keeps a smaller margin")
        << QRect() << QList<QRect>{QRect(0, 0, 200, 100)} << preferred << QRect(20, 10, 160, 80);
    QTest::newRow("no screens at all") << QRect(10, 10, 100, 100) << QList<QRect>{} << preferred
                                       << QRect(0, 0, 900, 640);
}

void TestSession::fittedGeometry()
{
    QFETCH(QRect, saved);
    QFETCH(QList<QRect>, areas);
    QFETCH(QSize, preferred);
    QFETCH(QRect, expected);
    QCOMPARE(kv::app::fittedGeometry(saved, areas, preferred), expected);
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
