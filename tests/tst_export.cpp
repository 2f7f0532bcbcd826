#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/DocumentController.h"
#include "platform/ui/SavePanel.h"
#include "platform/ui/Window.h"

#include "SaveSheetDriver.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using kv::PropertyListValue;

namespace {

// Loads a property-list file with Python's plistlib and gives every value
// with its type, the way tagged() below gives ours.
const char *const PlistToJson = R"PY(
import base64, datetime, json, plistlib, sys
def tag(v):
    if isinstance(v, dict): return {"t": "dict", "v": {k: tag(x) for k, x in v.items()}}
    if isinstance(v, list): return {"t": "array", "v": [tag(x) for x in v]}
    if isinstance(v, bool): return {"t": "bool", "v": v}
    if isinstance(v, int): return {"t": "int", "v": str(v)}
    if isinstance(v, float): return {"t": "real", "v": v}
    if isinstance(v, str): return {"t": "string", "v": v}
    if isinstance(v, bytes): return {"t": "data", "v": base64.b64encode(v).decode()}
    if isinstance(v, datetime.datetime): return {"t": "date", "v": v.strftime("%Y-%m-%dT%H:%M:%SZ")}
    raise TypeError(type(v).__name__)
with open(sys.argv[1], "rb") as f:
    value = plistlib.load(f, fmt=plistlib.FMT_XML)
print(json.dumps(tag(value)))
)PY";

QJsonObject tagged(const PropertyListValue &value)
{
    using Kind = PropertyListValue::Kind;
    switch (value.kind()) {
    case Kind::Dictionary: {
        QJsonObject entries;
        for (auto it = value.dictionary().cbegin(); it != value.dictionary().cend(); ++it)
            entries.insert(it.key(), tagged(it.value()));
        return {{"t", "dict"}, {"v", entries}};
    }
    case Kind::Array: {
        QJsonArray elements;
        for (const PropertyListValue &element : value.array())
            elements.append(tagged(element));
        return {{"t", "array"}, {"v", elements}};
    }
    case Kind::Boolean: return {{"t", "bool"}, {"v", value.boolean()}};
    case Kind::Integer:
        return {{"t", "int"},
                {"v", value.isUnsignedInteger() ? QString::number(value.unsignedInteger())
                                                : QString::number(value.integer())}};
    case Kind::Real: return {{"t", "real"}, {"v", value.real()}};
    case Kind::String: return {{"t", "string"}, {"v", value.string()}};
    case Kind::Data: return {{"t", "data"}, {"v", QString::fromLatin1(value.data().toBase64())}};
    case Kind::Date:
        return {{"t", "date"}, {"v", value.date().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"))}};
    case Kind::None: break;
    }
    return {{"t", "none"}};
}

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

PropertyListValue dictionary(std::initializer_list<std::pair<const QString, PropertyListValue>> entries)
{
    return PropertyListValue::fromDictionary(kv::PropertyListDictionary(entries));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void panelSettings();
    void exportsExactlyTheListedKeysTheStoreHolds();
    void emptyListGivesAnEmptyDictionary();
    void nameWithoutExtensionGetsPlist_data();
    void nameWithoutExtensionGetsPlist();
    void cancelWritesNothing();
    void keysAreReadWhenConfirmed();
    void exportingTwiceReplacesTheFileWhole();
    void recentDocumentsGainOneEntry();
    void directoryAtThePathFailsAndWarns();
    void readOnlyDirectoryFailsAndKeepsTheOldFile();
    void noStoreFailsAndWarns();
    void panelWithoutLocationDoesNothing();

private:
    void startController();
    // Opens the export panel, types `name` and saves; false when it could not.
    bool exportAs(const QString &name, bool expectReplaceQuestion = false);
    // The file as Python reads it, compared with `expected`.
    void verifyFile(const QString &path, const PropertyListValue &expected);
    QStringList recentPaths() const;
    QMessageBox *warning() const
    {
        return savesheet::messageBox(m_ui->mainWindow.get(), QStringLiteral("exportFailedWarning"));
    }

    QTemporaryDir m_dataHome;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<kv::StoreEngine> m_engine;
    std::unique_ptr<KVNController> m_controller;
    std::unique_ptr<kv::app::MainInterface> m_ui;
    QString m_python;
};

void TestExport::initTestCase()
{
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", m_dataHome.path().toLocal8Bit());
    m_python = QStandardPaths::findExecutable(QStringLiteral("python3"));
}

void TestExport::init()
{
    QFile::remove(kv::ui::DocumentController::recentDocumentsPath());
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    kv::ui::DocumentController::sharedDocumentController()->setCurrentDirectory(m_dir->path());
    m_engine = std::make_unique<kv::StoreEngine>();
    kv::StoreEngine::setInstance(m_engine.get());
}

void TestExport::cleanup()
{
    m_ui.reset();
    m_controller.reset();
    kv::StoreEngine::setInstance(nullptr);
    m_engine.reset();
    if (m_dir)
        QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

void TestExport::startController()
{
    m_controller = std::make_unique<KVNController>();
    m_ui = kv::app::loadMainInterface(m_controller.get());
    m_controller->store = kv::storeCreate(QStringLiteral("Vaneview"), nullptr, nullptr);
    QVERIFY(m_controller->store);
    m_ui->mainWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_ui->mainWindow.get()));
}

bool TestExport::exportAs(const QString &name, bool expectReplaceQuestion)
{
    m_controller->exportStore(m_controller.get());
    QFileDialog *dialog = savesheet::openDialog(m_ui->mainWindow.get());
    if (!dialog || !savesheet::save(dialog, name))
        return false;
    if (expectReplaceQuestion && !savesheet::answerReplace(dialog, true))
        return false;
    // The panel goes once the event loop runs.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return m_controller->findChildren<kv::ui::SavePanel *>().isEmpty();
}

void TestExport::verifyFile(const QString &path, const PropertyListValue &expected)
{
    QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
    // Our own reader first: the file is one dictionary, value for value.
    QString error;
    const PropertyListValue read = kv::readPropertyListFile(path, &error);
    QVERIFY2(!read.isNone(), qPrintable(error));
    QCOMPARE(QJsonDocument(tagged(read)).toJson(), QJsonDocument(tagged(expected)).toJson());
    if (m_python.isEmpty())
        QSKIP("python3 is not available to check the file independently");
    QProcess python;
    python.start(m_python, {QStringLiteral("-c"), QString::fromUtf8(PlistToJson), path});
    QVERIFY(python.waitForFinished(60000));
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    const QJsonDocument fromPython = QJsonDocument::fromJson(python.readAllStandardOutput());
    QVERIFY(fromPython.isObject());
    QCOMPARE(fromPython.toJson(), QJsonDocument(tagged(expected)).toJson());
}

QStringList TestExport::recentPaths() const
{
    QStringList paths;
    for (const QUrl &url : kv::ui::DocumentController::sharedDocumentController()->recentDocumentURLs())
        paths.append(url.toLocalFile());
    return paths;
}

void TestExport::panelSettings()
{
    startController();
    m_controller->exportStore(nullptr);
    QFileDialog *dialog = savesheet::openDialog(m_ui->mainWindow.get());
    QVERIFY(dialog);
    QCOMPARE(dialog->parentWidget(), m_ui->mainWindow.get());
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(m_dir->path()).canonicalPath());
    QCOMPARE(savesheet::nameEdit(dialog)->text(), QStringLiteral("System Configuration.plist"));
    // A fresh panel each time.
    QVERIFY(savesheet::cancel(dialog));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(m_controller->findChildren<kv::ui::SavePanel *>().isEmpty());
    m_controller->exportStore(nullptr);
    QFileDialog *second = savesheet::openDialog(m_ui->mainWindow.get());
    QVERIFY(second);
    QCOMPARE(savesheet::nameEdit(second)->text(), QStringLiteral("System Configuration.plist"));
    QVERIFY(savesheet::cancel(second));
}

void TestExport::exportsExactlyTheListedKeysTheStoreHolds()
{
    const PropertyListValue ipv4 = dictionary({
        {QStringLiteral("Addresses"), PropertyListValue::fromArray({str("192.0.2.7"), str("198.51.100.1")})},
        {QStringLiteral("PrefixLength"), PropertyListValue::fromInteger(24)},
        {QStringLiteral("Router"), str("192.0.2.1")},
    });
    const PropertyListValue mixed = dictionary({
        {QStringLiteral("Text"), str(QStringLiteral("<a & b> \"quoted\" ünïcødé ✓"))},
        {QStringLiteral("Negative"), PropertyListValue::fromInteger(-42)},
        {QStringLiteral("Big"), PropertyListValue::fromInteger(Q_INT64_C(4611686018427387904))},
        {QStringLiteral("Huge"), PropertyListValue::fromUnsignedInteger(Q_UINT64_C(18446744073709551615))},
        {QStringLiteral("Real"), PropertyListValue::fromReal(0.1)},
        {QStringLiteral("Tiny"), PropertyListValue::fromReal(-2.5e-300)},
        {QStringLiteral("Yes"), PropertyListValue::fromBoolean(true)},
        {QStringLiteral("No"), PropertyListValue::fromBoolean(false)},
        {QStringLiteral("Bytes"), PropertyListValue::fromData(QByteArray("\x00\x01\xfe\xff tail", 9))},
        {QStringLiteral("When"),
         PropertyListValue::fromDate(QDateTime(QDate(2024, 2, 29), QTime(13, 14, 15), Qt::UTC))},
        {QStringLiteral("Nested"),
         PropertyListValue::fromArray(
             {dictionary({{QStringLiteral("Deep"), PropertyListValue::fromArray({})}}), dictionary({})})},
    });
    m_engine->setValue(QStringLiteral("State:/Network/Global/IPv4"), ipv4);
    m_engine->setValue(QStringLiteral("State:/Mixed"), mixed);
    m_engine->setValue(QStringLiteral("Setup:/Plain"), str("plain"));
    m_engine->setValue(QStringLiteral("Setup:/NotYetListed"), str("new"));
    m_engine->setValue(QStringLiteral("State:/Line\nBreak\r\n"), str("key with line ends"));
    startController();
    // One listed key is gone from the store; one stored key is not listed yet.
    m_controller->storeKeysList = {QStringLiteral("Setup:/Gone"), QStringLiteral("Setup:/Plain"),
                                   QStringLiteral("State:/Line\nBreak\r\n"), QStringLiteral("State:/Mixed"),
                                   QStringLiteral("State:/Network/Global/IPv4")};
    QVERIFY(exportAs(QStringLiteral("snapshot")));
    QVERIFY(!warning());
    verifyFile(m_dir->filePath(QStringLiteral("snapshot.plist")),
               dictionary({{QStringLiteral("Setup:/Plain"), str("plain")},
                           {QStringLiteral("State:/Line\nBreak\r\n"), str("key with line ends")},
                           {QStringLiteral("State:/Mixed"), mixed},
                           {QStringLiteral("State:/Network/Global/IPv4"), ipv4}}));
}

void TestExport::emptyListGivesAnEmptyDictionary()
{
    m_engine->setValue(QStringLiteral("Setup:/Plain"), str("plain"));
    startController();
    m_controller->storeKeysList.clear();
    QVERIFY(exportAs(QStringLiteral("empty")));
    verifyFile(m_dir->filePath(QStringLiteral("empty.plist")), PropertyListValue::fromDictionary({}));
}

void TestExport::nameWithoutExtensionGetsPlist_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::newRow("bare name") << "System Configuration"
                               << "System Configuration.plist";
    QTest::newRow("with extension") << "config.plist"
                                    << "config.plist";
    QTest::newRow("other extension") << "config.xml"
                                     << "config.xml.plist";
}

void TestExport::nameWithoutExtensionGetsPlist()
{
    QFETCH(QString, typed);
    QFETCH(QString, written);
    m_engine->setValue(QStringLiteral("Setup:/A"), str("a"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    QVERIFY(exportAs(typed));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{written});
    verifyFile(m_dir->filePath(written), dictionary({{QStringLiteral("Setup:/A"), str("a")}}));
}

void TestExport::cancelWritesNothing()
{
    m_engine->setValue(QStringLiteral("Setup:/A"), str("a"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    kv::SystemLogCapture log;
    m_controller->exportStore(m_controller.get());
    QFileDialog *dialog = savesheet::openDialog(m_ui->mainWindow.get());
    QVERIFY(dialog);
    savesheet::nameEdit(dialog)->setText(QStringLiteral("cancelled"));
    QVERIFY(savesheet::cancel(dialog));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(QDir(m_dir->path()).isEmpty());
    QVERIFY(!QFileInfo::exists(kv::ui::DocumentController::recentDocumentsPath()));
    QVERIFY(!warning());
    QVERIFY(log.lines().isEmpty());
    QVERIFY(m_controller->findChildren<kv::ui::SavePanel *>().isEmpty());
}

void TestExport::keysAreReadWhenConfirmed()
{
    m_engine->setValue(QStringLiteral("Setup:/A"), str("old"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    m_controller->exportStore(m_controller.get());
    QFileDialog *dialog = savesheet::openDialog(m_ui->mainWindow.get());
    QVERIFY(dialog);
    // Changes while the panel is up are in the file.
    m_engine->setValue(QStringLiteral("Setup:/A"), str("new"));
    m_engine->setValue(QStringLiteral("Setup:/B"), str("b"));
    m_controller->storeKeysList.append(QStringLiteral("Setup:/B"));
    QVERIFY(savesheet::save(dialog, QStringLiteral("late")));
    verifyFile(m_dir->filePath(QStringLiteral("late.plist")),
               dictionary({{QStringLiteral("Setup:/A"), str("new")}, {QStringLiteral("Setup:/B"), str("b")}}));
}

void TestExport::exportingTwiceReplacesTheFileWhole()
{
    m_engine->setValue(QStringLiteral("Setup:/A"), str(QString(4000, u'a')));
    m_engine->setValue(QStringLiteral("Setup:/B"), str("b"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A"), QStringLiteral("Setup:/B")};
    QVERIFY(exportAs(QStringLiteral("twice")));
    const QString path = m_dir->filePath(QStringLiteral("twice.plist"));
    const qint64 firstSize = QFileInfo(path).size();

    m_engine->removeValue(QStringLiteral("Setup:/A"));
    m_engine->setValue(QStringLiteral("Setup:/B"), str("changed"));
    QVERIFY(exportAs(QStringLiteral("twice"), true));
    QVERIFY(QFileInfo(path).size() < firstSize);
    verifyFile(path, dictionary({{QStringLiteral("Setup:/B"), str("changed")}}));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("twice.plist")});
}

void TestExport::recentDocumentsGainOneEntry()
{
    m_engine->setValue(QStringLiteral("Setup:/A"), str("a"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("out")));
    kv::ui::DocumentController::sharedDocumentController()->setCurrentDirectory(m_dir->filePath(QStringLiteral("out")));
    const QString path = m_dir->filePath(QStringLiteral("out/recent.plist"));
    QVERIFY(exportAs(QStringLiteral("recent")));
    QCOMPARE(recentPaths(), QStringList{path});
    // The folder is where the next export starts.
    QCOMPARE(kv::ui::DocumentController::sharedDocumentController()->currentDirectory(),
             m_dir->filePath(QStringLiteral("out")));
    QVERIFY(exportAs(QStringLiteral("recent"), true));
    QCOMPARE(recentPaths(), QStringList{path});
    QCOMPARE(readAll(kv::ui::DocumentController::recentDocumentsPath()).count("<bookmark "), 1);
    QVERIFY(readAll(kv::ui::DocumentController::recentDocumentsPath()).contains("count=\"2\""));
}

void TestExport::directoryAtThePathFailsAndWarns()
{
    m_engine->setValue(QStringLiteral("Setup:/A"), str("a"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("taken.plist")));
    const QString path = m_dir->filePath(QStringLiteral("taken.plist"));
    kv::SystemLogCapture log;
    QVERIFY(exportAs(QStringLiteral("taken")));
    QVERIFY(QFileInfo(path).isDir());
    QVERIFY(QDir(path).isEmpty());
    QVERIFY(recentPaths().isEmpty());
    QMessageBox *box = warning();
    QVERIFY(box);
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QVERIFY(box->text().contains(path));
    // The reason is the writer's own.
    QString expected;
    QVERIFY(!kv::writePropertyListFile(path, dictionary({{QStringLiteral("Setup:/A"), str("a")}}), &expected));
    QVERIFY(!expected.isEmpty());
    QCOMPARE(box->informativeText(), expected);
    QCOMPARE(log.lines().size(), 1);
    QVERIFY(log.lines().first().contains(path));
    QVERIFY(!log.lines().first().contains(u'\n'));
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    QVERIFY(!warning());
}

void TestExport::readOnlyDirectoryFailsAndKeepsTheOldFile()
{
    if (geteuid() == 0)
        QSKIP("permissions do not stop root");
    m_engine->setValue(QStringLiteral("Setup:/A"), str("a"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    const QString path = m_dir->filePath(QStringLiteral("old.plist"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("old contents");
    }
    QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
    kv::SystemLogCapture log;
    QVERIFY(exportAs(QStringLiteral("old"), true));
    QCOMPARE(readAll(path), QByteArray("old contents"));
    QVERIFY(recentPaths().isEmpty());
    QVERIFY(warning());
    QVERIFY(warning()->text().contains(path));
    QCOMPARE(log.lines().size(), 1);
}

void TestExport::noStoreFailsAndWarns()
{
    startController();
    m_controller->store.reset();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    kv::SystemLogCapture log;
    QVERIFY(exportAs(QStringLiteral("nostore")));
    QVERIFY(QDir(m_dir->path()).isEmpty());
    QVERIFY(recentPaths().isEmpty());
    QVERIFY(warning());
    QVERIFY(warning()->informativeText().contains(QStringLiteral("the configuration store is not available")));
    QCOMPARE(log.lines().size(), 1);
    QVERIFY(log.lines().first().contains(QStringLiteral("the configuration store is not available")));
}

void TestExport::panelWithoutLocationDoesNothing()
{
    m_engine->setValue(QStringLiteral("Setup:/A"), str("a"));
    startController();
    m_controller->storeKeysList = {QStringLiteral("Setup:/A")};
    kv::SystemLogCapture log;
    QPointer<kv::ui::SavePanel> panel = new kv::ui::SavePanel(m_controller.get());
    m_controller->didEnd(panel, kv::ui::SavePanel::OK, nullptr);
    QVERIFY(!warning());
    QVERIFY(log.lines().isEmpty());
    QVERIFY(recentPaths().isEmpty());
    // Released all the same.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!panel);
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
