#pragma once

#include "platform/ProgramInfo.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

namespace kv::ui {

// The application's documents: the directory a save panel starts in and the
// desktop's list of recently used files (the freedesktop.org
// recently-used.xbel shared by every desktop program).
class DocumentController
{
public:
    static DocumentController *sharedDocumentController();

    // The directory of the last document noted, else the user's documents
    // directory if it exists, else the home directory.
    QString currentDirectory() const;
    void setCurrentDirectory(const QString &directory) { m_currentDirectory = directory; }

    // Adds a local file to the recently used files as used by this program
    // now, and makes its directory the current directory. An entry already
    // there for the file is updated (times, use count), never duplicated;
    // every other entry is kept as it is. The list is locked while it is
    // changed and rewritten atomically. False (with *error when given) when
    // the list could not be read or written; an unreadable list is left alone.
    bool noteNewRecentDocumentURL(const QUrl &url, QString *error = nullptr);

    // The files this program noted, most recently noted first.
    QList<QUrl> recentDocumentURLs() const;

    // $XDG_DATA_HOME/recently-used.xbel ($XDG_DATA_HOME defaults to
    // ~/.local/share; a relative value is ignored).
    static QString recentDocumentsPath();

    // How this program appears in the list.
    static QString applicationName() { return ProgramName; }
    static QString applicationExec() { return QStringLiteral("'keyvane %u'"); }

private:
    DocumentController() = default;
    QString m_currentDirectory;
};

} // namespace kv::ui
