#include "platform/ui/DocumentController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>

namespace kv::ui {

namespace {

const QString BookmarkNamespace = QStringLiteral("http://www.freedesktop.org/standards/desktop-bookmarks");
const QString MimeNamespace = QStringLiteral("http://www.freedesktop.org/standards/shared-mime-info");
const QString MetadataOwner = QStringLiteral("http://freedesktop.org");
const QString DocumentMimeType = QStringLiteral("application/x-plist");

QString timestamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString indent(int level)
{
    return QString(level * 2, u' ');
}

bool sameDocument(const QUrl &a, const QUrl &b)
{
    if (a.isLocalFile() && b.isLocalFile())
        return QDir::cleanPath(a.toLocalFile()) == QDir::cleanPath(b.toLocalFile());
    return a.adjusted(QUrl::NormalizePathSegments) == b.adjusted(QUrl::NormalizePathSegments);
}

void writeApplication(QXmlStreamWriter &writer, const QString &modified, qint64 count)
{
    writer.writeEmptyElement(BookmarkNamespace, QStringLiteral("application"));
    writer.writeAttribute(QStringLiteral("name"), DocumentController::applicationName());
    writer.writeAttribute(QStringLiteral("exec"), DocumentController::applicationExec());
    writer.writeAttribute(QStringLiteral("modified"), modified);
    writer.writeAttribute(QStringLiteral("count"), QString::number(count));
}

// <bookmark:applications> holding this program, its content at `level` + 1.
void writeApplications(QXmlStreamWriter &writer, const QString &now, int level)
{
    writer.writeStartElement(BookmarkNamespace, QStringLiteral("applications"));
    writer.writeCharacters(u'\n' + indent(level + 1));
    writeApplication(writer, now, 1);
    writer.writeCharacters(u'\n' + indent(level));
    writer.writeEndElement();
}

void writeMetadata(QXmlStreamWriter &writer, const QString &now, int level)
{
    writer.writeStartElement(QStringLiteral("metadata"));
    writer.writeAttribute(QStringLiteral("owner"), MetadataOwner);
    writer.writeCharacters(u'\n' + indent(level + 1));
    writer.writeEmptyElement(MimeNamespace, QStringLiteral("mime-type"));
    writer.writeAttribute(QStringLiteral("type"), DocumentMimeType);
    writer.writeCharacters(u'\n' + indent(level + 1));
    writeApplications(writer, now, level + 1);
    writer.writeCharacters(u'\n' + indent(level));
    writer.writeEndElement();
}

void writeInfo(QXmlStreamWriter &writer, const QString &now, int level)
{
    writer.writeStartElement(QStringLiteral("info"));
    writer.writeCharacters(u'\n' + indent(level + 1));
    writeMetadata(writer, now, level + 1);
    writer.writeCharacters(u'\n' + indent(level));
    writer.writeEndElement();
}

void writeBookmark(QXmlStreamWriter &writer, const QUrl &url, const QString &now, int level)
{
    writer.writeStartElement(QStringLiteral("bookmark"));
    writer.writeAttribute(QStringLiteral("href"), QString::fromUtf8(url.toEncoded()));
    writer.writeAttribute(QStringLiteral("added"), now);
    writer.writeAttribute(QStringLiteral("modified"), now);
    writer.writeAttribute(QStringLiteral("visited"), now);
    writer.writeCharacters(u'\n' + indent(level + 1));
    writeInfo(writer, now, level + 1);
    writer.writeCharacters(u'\n' + indent(level));
    writer.writeEndElement();
}

QByteArray newList(const QUrl &url, const QString &now)
{
    QByteArray out;
    QXmlStreamWriter writer(&out);
    writer.writeStartDocument(QStringLiteral("1.0"));
    writer.writeCharacters(QStringLiteral("\n"));
    writer.writeStartElement(QStringLiteral("xbel"));
    writer.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
    writer.writeNamespace(BookmarkNamespace, QStringLiteral("bookmark"));
    writer.writeNamespace(MimeNamespace, QStringLiteral("mime"));
    writer.writeCharacters(u'\n' + indent(1));
    writeBookmark(writer, url, now, 1);
    writer.writeCharacters(QStringLiteral("\n"));
    writer.writeEndElement();
    writer.writeEndDocument();
    return out;
}

void writeStartElementFrom(QXmlStreamWriter &writer, const QXmlStreamReader &reader,
                           const QXmlStreamAttributes &attributes)
{
    writer.writeStartElement(reader.namespaceUri().toString(), reader.name().toString());
    for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations())
        writer.writeNamespace(declaration.namespaceUri().toString(), declaration.prefix().toString());
    writer.writeAttributes(attributes);
}

QXmlStreamAttributes withAttribute(const QXmlStreamAttributes &attributes, const QString &name, const QString &value)
{
    QXmlStreamAttributes result;
    bool replaced = false;
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.namespaceUri().isEmpty() && attribute.name() == name) {
            result.append(name, value);
            replaced = true;
        } else {
            result.append(attribute);
        }
    }
    if (!replaced)
        result.append(name, value);
    return result;
}

// Copies `existing` through, updating or adding the entry for `url`.
bool updatedList(const QByteArray &existing, const QUrl &url, const QString &now, QByteArray *out, QString *error)
{
    QXmlStreamReader reader(existing);
    QXmlStreamWriter writer(out);
    int depth = 0;
    bool sawRoot = false;
    bool bookmarkFound = false;
    bool inTarget = false;        // inside the bookmark for `url`
    bool applicationDone = false; // this program is recorded in that bookmark
    int infoDepth = -1, metadataDepth = -1, applicationsDepth = -1;

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::Invalid)
            break;
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = reader.name();
            const QStringView ns = reader.namespaceUri();
            if (depth == 0) {
                if (name != u"xbel" || !ns.isEmpty()) {
                    if (error)
                        *error = QStringLiteral("not a recently-used list");
                    return false;
                }
                sawRoot = true;
                writer.writeCurrentToken(reader);
            } else if (depth == 1 && name == u"bookmark" && ns.isEmpty() && !bookmarkFound
                       && sameDocument(QUrl::fromEncoded(reader.attributes().value(QLatin1StringView("href")).toUtf8()),
                                       url)) {
                bookmarkFound = true;
                inTarget = true;
                QXmlStreamAttributes attributes = reader.attributes();
                attributes = withAttribute(attributes, QStringLiteral("modified"), now);
                attributes = withAttribute(attributes, QStringLiteral("visited"), now);
                if (!attributes.hasAttribute(QStringLiteral("added")))
                    attributes = withAttribute(attributes, QStringLiteral("added"), now);
                writeStartElementFrom(writer, reader, attributes);
            } else if (inTarget && depth == 2 && name == u"info" && ns.isEmpty()) {
                infoDepth = depth;
                writer.writeCurrentToken(reader);
            } else if (inTarget && infoDepth == 2 && depth == 3 && name == u"metadata" && ns.isEmpty()
                       && reader.attributes().value(QLatin1StringView("owner")) == MetadataOwner) {
                metadataDepth = depth;
                writer.writeCurrentToken(reader);
            } else if (inTarget && metadataDepth == 3 && depth == 4 && name == u"applications"
                       && ns == BookmarkNamespace) {
                applicationsDepth = depth;
                writer.writeCurrentToken(reader);
            } else if (inTarget && applicationsDepth == 4 && depth == 5 && name == u"application"
                       && ns == BookmarkNamespace && !applicationDone
                       && reader.attributes().value(QLatin1StringView("name"))
                              == DocumentController::applicationName()) {
                applicationDone = true;
                bool ok = false;
                qint64 count = reader.attributes().value(QLatin1StringView("count")).toLongLong(&ok);
                if (!ok || count < 0)
                    count = 0;
                QXmlStreamAttributes attributes = reader.attributes();
                attributes = withAttribute(attributes, QStringLiteral("modified"), now);
                attributes = withAttribute(attributes, QStringLiteral("count"), QString::number(count + 1));
                writeStartElementFrom(writer, reader, attributes);
            } else {
                writer.writeCurrentToken(reader);
            }
            ++depth;
            continue;
        }
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            if (inTarget && !applicationDone) {
                // Add what the entry lacks, at the innermost level it has.
                if (depth == applicationsDepth) {
                    writer.writeCharacters(indent(1));
                    writeApplication(writer, now, 1);
                    writer.writeCharacters(u'\n' + indent(depth));
                    applicationDone = true;
                } else if (depth == metadataDepth) {
                    writer.writeCharacters(indent(1));
                    writeApplications(writer, now, depth + 1);
                    writer.writeCharacters(u'\n' + indent(depth));
                    applicationDone = true;
                } else if (depth == infoDepth) {
                    writer.writeCharacters(indent(1));
                    writeMetadata(writer, now, depth + 1);
                    writer.writeCharacters(u'\n' + indent(depth));
                    applicationDone = true;
                } else if (depth == 1) {
                    writer.writeCharacters(indent(1));
                    writeInfo(writer, now, depth + 1);
                    writer.writeCharacters(u'\n' + indent(depth));
                    applicationDone = true;
                }
            }
            if (depth == applicationsDepth)
                applicationsDepth = -1;
            if (depth == metadataDepth)
                metadataDepth = -1;
            if (depth == infoDepth)
                infoDepth = -1;
            if (inTarget && depth == 1)
                inTarget = false;
            if (depth == 0 && !bookmarkFound) {
                writer.writeCharacters(indent(1));
                writeBookmark(writer, url, now, 1);
                writer.writeCharacters(QStringLiteral("\n"));
                bookmarkFound = true;
            }
            writer.writeCurrentToken(reader);
            continue;
        }
        writer.writeCurrentToken(reader);
    }
    if (reader.hasError() || !sawRoot) {
        if (error)
            *error = reader.hasError()
                         ? QStringLiteral("line %1: %2").arg(reader.lineNumber()).arg(reader.errorString())
                         : QStringLiteral("not a recently-used list");
        return false;
    }
    return true;
}

} // namespace

DocumentController *DocumentController::sharedDocumentController()
{
    static DocumentController controller;
    return &controller;
}

QString DocumentController::currentDirectory() const
{
    if (!m_currentDirectory.isEmpty() && QFileInfo(m_currentDirectory).isDir())
        return m_currentDirectory;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    return QDir::homePath();
}

QString DocumentController::recentDocumentsPath()
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome))
        dataHome = QDir::home().filePath(QStringLiteral(".local/share"));
    return QDir(dataHome).filePath(QStringLiteral("recently-used.xbel"));
}

bool DocumentController::noteNewRecentDocumentURL(const QUrl &url, QString *error)
{
    if (!url.isValid() || url.isEmpty()) {
        if (error)
            *error = QStringLiteral("no document");
        return false;
    }
    if (url.isLocalFile())
        m_currentDirectory = QFileInfo(url.toLocalFile()).absolutePath();

    const QString path = recentDocumentsPath();
    const QString now = timestamp(QDateTime::currentDateTimeUtc());
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (error)
            *error = QStringLiteral("%1: cannot make the directory").arg(path);
        return false;
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(5000)) {
        if (error)
            *error = QStringLiteral("%1: the list is locked").arg(path);
        return false;
    }

    QByteArray existing;
    QFile in(path);
    if (in.exists()) {
        if (!in.open(QIODevice::ReadOnly)) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(path, in.errorString());
            return false;
        }
        existing = in.readAll();
        in.close();
    }

    QByteArray content;
    if (existing.trimmed().isEmpty()) {
        content = newList(url, now);
    } else {
        QString reason;
        if (!updatedList(existing, url, now, &content, &reason)) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(path, reason);
            return false;
        }
    }

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

QList<QUrl> DocumentController::recentDocumentURLs() const
{
    QFile file(recentDocumentsPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QXmlStreamReader reader(&file);
    struct Entry
    {
        QUrl url;
        QDateTime modified;
    };
    QList<Entry> entries;
    QUrl current;
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (depth == 2 && reader.name() == u"bookmark" && reader.namespaceUri().isEmpty()) {
                current = QUrl::fromEncoded(reader.attributes().value(QLatin1StringView("href")).toUtf8());
            } else if (current.isValid() && reader.name() == u"application"
                       && reader.namespaceUri() == BookmarkNamespace
                       && reader.attributes().value(QLatin1StringView("name")) == applicationName()) {
                const QDateTime modified = QDateTime::fromString(
                    reader.attributes().value(QLatin1StringView("modified")).toString(), Qt::ISODateWithMs);
                entries.append({current, modified});
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == 2)
                current = QUrl();
            --depth;
        }
    }
    if (reader.hasError())
        return {};
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry &a, const Entry &b) { return a.modified > b.modified; });
    QList<QUrl> urls;
    for (const Entry &entry : entries)
        urls.append(entry.url);
    return urls;
}

} // namespace kv::ui
