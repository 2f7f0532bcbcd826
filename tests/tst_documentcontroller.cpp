#include "platform/ui/DocumentController.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

using kv::ui::DocumentController;

namespace {

const char *const BookmarkNs = "http://www.freedesktop.org/standards/desktop-bookmarks";
const char *const MimeNs = "http://www.freedesktop.org/standards/shared-mime-info";

struct Application
{
    QString name, exec, modified, count;
};

struct Bookmark
{
    QString href, added, modified, visited;
    QStringList mimeTypes;
    QList<Application> applications;
};

// Reads the list the way any desktop reader would: every <bookmark> of the
// root, with its freedesktop metadata.
bool readList(const QString &path, QList<Bookmark> *bookmarks)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader reader(&file);
    bookmarks->clear();
    int depth = 0;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const auto a = reader.attributes();
            if (depth == 1 && reader.name() != u"xbel")
                return false;
            if (depth == 2 && reader.name() == u"bookmark") {
                bookmarks->append({a.value(QLatin1StringView("href")).toString(),
                                   a.value(QLatin1StringView("added")).toString(),
                                   a.value(QLatin1StringView("modified")).toString(),
                                   a.value(QLatin1StringView("visited")).toString(),
                                   {},
                                   {}});
            } else if (depth > 2 && !bookmarks->isEmpty() && reader.name() == u"mime-type"
                       && reader.namespaceUri() == QLatin1StringView(MimeNs)) {
                bookmarks->last().mimeTypes.append(a.value(QLatin1StringView("type")).toString());
            } else if (depth > 2 && !bookmarks->isEmpty() && reader.name() == u"application"
                       && reader.namespaceUri() == QLatin1StringView(BookmarkNs)) {
                bookmarks->last().applications.append({a.value(QLatin1StringView("name")).toString(),
                                                       a.value(QLatin1StringView("exec")).toString(),
                                                       a.value(QLatin1StringView("modified")).toString(),
                                                       a.value(QLatin1StringView("count")).toString()});
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    return !reader.hasError();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// An entry of another program, with things this program does not know about.
const QByteArray ForeignEntry =
    QByteArrayLiteral("  <bookmark href=\"file:///home/u/notes.txt\" added=\"2020-01-02T03:04:05.000006Z\" "
                      "modified=\"2020-01-02T03:04:05.000006Z\" visited=\"2020-01-02T03:04:05.000006Z\">\n"
                      "    <title>Notes</title>\n"
                      "    <!-- a comment that stays -->\n"
                      "    <info>\n"
                      "      <metadata owner=\"http://freedesktop.org\">\n"
                      "        <mime:mime-type type=\"text/plain\"/>\n"
                      "        <bookmark:groups><bookmark:group>Editors</bookmark:group></bookmark:groups>\n"
                      "        <bookmark:applications>\n"
                      "          <bookmark:application name=\"Editor\" exec=\"'editor %u'\" "
                      "modified=\"2020-01-02T03:04:05.000006Z\" count=\"7\"/>\n"
                      "        </bookmark:applications>\n"
                      "      </metadata>\n"
                      "    </info>\n"
                      "  </bookmark>\n");

QByteArray listWith(const QByteArray &entries)
{
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<xbel version=\"1.0\"\n"
                             "      xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\"\n"
                             "      xmlns:mime=\"http://www.freedesktop.org/standards/shared-mime-info\"\n"
                             ">\n")
           + entries + QByteArrayLiteral("</xbel>\n");
}

} // namespace

class TestDocumentController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void listLivesUnderTheDataHome_data();
    void listLivesUnderTheDataHome();
    void firstNoteMakesTheList();
    void noteAgainUpdatesTheEntry();
    void otherEntriesStayIntact();
    void entryOfAnotherProgramGainsThisOne_data();
    void entryOfAnotherProgramGainsThisOne();
    void unreadableListIsLeftAlone();
    void staleLockDoesNotBlock();
    void noLeftoverFiles();
    void recentDocumentsNewestFirst();
    void currentDirectoryFollowsTheLastDocument();

private:
    QTemporaryDir m_dataHome;
    QTemporaryDir m_documents;
    QString listPath() const { return m_dataHome.filePath(QStringLiteral("recently-used.xbel")); }
};

void TestDocumentController::initTestCase()
{
    QVERIFY(m_dataHome.isValid());
    QVERIFY(m_documents.isValid());
    qputenv("XDG_DATA_HOME", m_dataHome.path().toLocal8Bit());
}

void TestDocumentController::init()
{
    qputenv("XDG_DATA_HOME", m_dataHome.path().toLocal8Bit());
    QFile::remove(listPath());
    DocumentController::sharedDocumentController()->setCurrentDirectory(QString());
}

void TestDocumentController::listLivesUnderTheDataHome_data()
{
    QTest::addColumn<QByteArray>("dataHome");
    QTest::addColumn<QString>("expected");
    const QString fallback = QDir::home().filePath(QStringLiteral(".local/share/recently-used.xbel"));
    QTest::newRow("set") << QByteArray("/some/where") << "/some/where/recently-used.xbel";
    QTest::newRow("empty") << QByteArray("") << fallback;
    QTest::newRow("relative is ignored") << QByteArray("relative/dir") << fallback;
}

void TestDocumentController::listLivesUnderTheDataHome()
{
    QFETCH(QByteArray, dataHome);
    QFETCH(QString, expected);
    qputenv("XDG_DATA_HOME", dataHome);
    QCOMPARE(DocumentController::recentDocumentsPath(), expected);
}

void TestDocumentController::firstNoteMakesTheList()
{
    const QString file = m_documents.filePath(QStringLiteral("System Configuration.plist"));
    const QUrl url = QUrl::fromLocalFile(file);
    QString error;
    QVERIFY2(DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(url, &error), qPrintable(error));
    QList<Bookmark> list;
    QVERIFY(readList(listPath(), &list));
    QCOMPARE(list.size(), 1);
    const Bookmark &entry = list.first();
    QCOMPARE(QUrl::fromEncoded(entry.href.toUtf8()), url);
    QVERIFY(entry.href.contains(QStringLiteral("System%20Configuration.plist")));
    QVERIFY(!entry.added.isEmpty());
    QCOMPARE(entry.modified, entry.added);
    QCOMPARE(entry.visited, entry.added);
    QVERIFY(QDateTime::fromString(entry.added, Qt::ISODateWithMs).isValid());
    QCOMPARE(entry.mimeTypes, QStringList{QStringLiteral("application/x-plist")});
    QCOMPARE(entry.applications.size(), 1);
    QCOMPARE(entry.applications.first().name, QStringLiteral("Keyvane"));
    QCOMPARE(entry.applications.first().exec, QStringLiteral("'keyvane %u'"));
    QCOMPARE(entry.applications.first().count, QStringLiteral("1"));
    QCOMPARE(entry.applications.first().modified, entry.added);
}

void TestDocumentController::noteAgainUpdatesTheEntry()
{
    auto *documents = DocumentController::sharedDocumentController();
    const QUrl url = QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("a.plist")));
    QVERIFY(documents->noteNewRecentDocumentURL(url));
    QList<Bookmark> first;
    QVERIFY(readList(listPath(), &first));
    QTest::qWait(5);
    QVERIFY(documents->noteNewRecentDocumentURL(url));
    // The same file reached through another spelling of its path.
    QVERIFY(documents->noteNewRecentDocumentURL(
        QUrl::fromLocalFile(m_documents.path() + QStringLiteral("/./sub/../a.plist"))));
    QList<Bookmark> list;
    QVERIFY(readList(listPath(), &list));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().added, first.first().added);
    QVERIFY(list.first().modified > first.first().modified);
    QCOMPARE(list.first().visited, list.first().modified);
    QCOMPARE(list.first().applications.size(), 1);
    QCOMPARE(list.first().applications.first().count, QStringLiteral("3"));
    QCOMPARE(list.first().applications.first().modified, list.first().modified);
}

void TestDocumentController::otherEntriesStayIntact()
{
    writeAll(listPath(), listWith(ForeignEntry));
    const QUrl url = QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("b.plist")));
    QVERIFY(DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(url));
    const QByteArray after = readAll(listPath());
    // The other program's entry is kept byte for byte, comment and all.
    QVERIFY2(after.contains(ForeignEntry), after.constData());
    QList<Bookmark> list;
    QVERIFY(readList(listPath(), &list));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).href, QStringLiteral("file:///home/u/notes.txt"));
    QCOMPARE(list.at(0).applications.first().count, QStringLiteral("7"));
    QCOMPARE(QUrl::fromEncoded(list.at(1).href.toUtf8()), url);
    QCOMPARE(list.at(1).applications.first().name, QStringLiteral("Keyvane"));
}

void TestDocumentController::entryOfAnotherProgramGainsThisOne_data()
{
    QTest::addColumn<QByteArray>("inner");
    QTest::addColumn<int>("applications");
    QTest::newRow("with applications") << QByteArray(
        "<info><metadata owner=\"http://freedesktop.org\"><bookmark:applications>"
        "<bookmark:application name=\"Viewer\" exec=\"viewer\" modified=\"2021-01-01T00:00:00Z\" "
        "count=\"2\"/></bookmark:applications></metadata></info>")
                                       << 2;
    QTest::newRow("metadata without applications")
        << QByteArray("<info><metadata owner=\"http://freedesktop.org\"><mime:mime-type type=\"text/xml\"/>"
                      "</metadata></info>")
        << 1;
    QTest::newRow("info of another owner only")
        << QByteArray("<info><metadata owner=\"http://example.org\"><x/></metadata></info>") << 1;
    QTest::newRow("no info") << QByteArray("<title>t</title>") << 1;
    QTest::newRow("empty element") << QByteArray() << 1;
}

void TestDocumentController::entryOfAnotherProgramGainsThisOne()
{
    QFETCH(QByteArray, inner);
    QFETCH(int, applications);
    const QString file = m_documents.filePath(QStringLiteral("shared.plist"));
    const QByteArray href = QUrl::fromLocalFile(file).toEncoded();
    const QByteArray entry =
        inner.isEmpty() ? "<bookmark href=\"" + href + "\" added=\"2021-01-01T00:00:00Z\"/>\n"
                        : "<bookmark href=\"" + href + "\" added=\"2021-01-01T00:00:00Z\">" + inner + "</bookmark>\n";
    writeAll(listPath(), listWith(entry));
    QVERIFY(DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(QUrl::fromLocalFile(file)));
    QList<Bookmark> list;
    QVERIFY(readList(listPath(), &list));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().added, QStringLiteral("2021-01-01T00:00:00Z"));
    QVERIFY(!list.first().modified.isEmpty());
    QCOMPARE(list.first().applications.size(), applications);
    const Application &mine = list.first().applications.last();
    QCOMPARE(mine.name, QStringLiteral("Keyvane"));
    QCOMPARE(mine.count, QStringLiteral("1"));
    QVERIFY(DocumentController::sharedDocumentController()->recentDocumentURLs().contains(QUrl::fromLocalFile(file)));
}

void TestDocumentController::unreadableListIsLeftAlone()
{
    const QByteArray broken = QByteArrayLiteral("<?xml version=\"1.0\"?>\n<xbel><bookmark href=\"x\">");
    writeAll(listPath(), broken);
    QString error;
    QVERIFY(!DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(
        QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("c.plist"))), &error));
    QVERIFY(error.contains(listPath()));
    QCOMPARE(readAll(listPath()), broken);
}

void TestDocumentController::staleLockDoesNotBlock()
{
    // A lock left behind by a process that is gone.
    {
        QFile lock(listPath() + QStringLiteral(".lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write("999999999\nkeyvane\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    }
    QVERIFY(DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(
        QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("d.plist")))));
    QList<Bookmark> list;
    QVERIFY(readList(listPath(), &list));
    QCOMPARE(list.size(), 1);
}

void TestDocumentController::noLeftoverFiles()
{
    writeAll(listPath(), listWith(ForeignEntry));
    QVERIFY(DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(
        QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("e.plist")))));
    const QStringList entries = QDir(m_dataHome.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(entries, QStringList{QStringLiteral("recently-used.xbel")});
}

void TestDocumentController::recentDocumentsNewestFirst()
{
    auto *documents = DocumentController::sharedDocumentController();
    writeAll(listPath(), listWith(ForeignEntry));
    const QUrl a = QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("a.plist")));
    const QUrl b = QUrl::fromLocalFile(m_documents.filePath(QStringLiteral("b.plist")));
    QVERIFY(documents->noteNewRecentDocumentURL(a));
    QTest::qWait(5);
    QVERIFY(documents->noteNewRecentDocumentURL(b));
    QCOMPARE(documents->recentDocumentURLs(), (QList<QUrl>{b, a})); // the other program's file is not ours
    QTest::qWait(5);
    QVERIFY(documents->noteNewRecentDocumentURL(a));
    QCOMPARE(documents->recentDocumentURLs(), (QList<QUrl>{a, b}));
}

void TestDocumentController::currentDirectoryFollowsTheLastDocument()
{
    auto *documents = DocumentController::sharedDocumentController();
    const QString documentsDir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString expectedDefault =
        (!documentsDir.isEmpty() && QFileInfo(documentsDir).isDir()) ? documentsDir : QDir::homePath();
    QCOMPARE(documents->currentDirectory(), expectedDefault);

    QVERIFY(QDir(m_documents.path()).mkdir(QStringLiteral("exports")));
    const QString dir = m_documents.filePath(QStringLiteral("exports"));
    QVERIFY(documents->noteNewRecentDocumentURL(QUrl::fromLocalFile(dir + QStringLiteral("/f.plist"))));
    QCOMPARE(documents->currentDirectory(), dir);
    // A directory that has gone away is not offered.
    QVERIFY(QDir(dir).removeRecursively());
    QCOMPARE(documents->currentDirectory(), expectedDefault);
}

QTEST_MAIN(TestDocumentController)
#include "tst_documentcontroller.moc"
