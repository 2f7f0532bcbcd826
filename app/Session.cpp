#include "app/Session.h"

#include "platform/SystemLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

namespace kv::app {

namespace {

const QString Group = QStringLiteral("Session");

// Room left between a placed window and the edges of its screen's available
// area, so that it does not look stuck to them: at most this much, and at
// most a tenth of the area on small screens.
constexpr int WindowMargin = 32;

// A session file larger than this is not one of ours.
constexpr qint64 MaximumFileSize = 1024 * 1024;

// Each reader takes the value only when it has the expected type; anything
// else (a hand edit, another version's value) leaves the default.
void readBytes(const QSettings &settings, const QString &name, QByteArray *into)
{
    const QVariant value = settings.value(name);
    if (value.typeId() == QMetaType::QByteArray)
        *into = value.toByteArray();
}

void readRect(const QSettings &settings, const QString &name, QRect *into)
{
    const QVariant value = settings.value(name);
    if (value.typeId() == QMetaType::QRect)
        *into = value.toRect();
}

// INI files hold booleans as the words true and false. QVariant::toBool
// would take any other word for true, so nothing else is accepted.
void readBool(const QSettings &settings, const QString &name, bool *into)
{
    const QVariant value = settings.value(name);
    if (value.typeId() == QMetaType::Bool) {
        *into = value.toBool();
    } else if (value.typeId() == QMetaType::QString) {
        const QString word = value.toString();
        if (word == QLatin1String("true"))
            *into = true;
        else if (word == QLatin1String("false"))
            *into = false;
    }
}

void readString(const QSettings &settings, const QString &name, QString *into)
{
    const QVariant value = settings.value(name);
    if (value.typeId() == QMetaType::QString)
        *into = value.toString();
}

// Whether QSettings parsed the whole file without finding damage. It parses
// the groups of an INI file one at a time as they are first asked for, and
// only then tells of damage inside them: have it parse every group.
bool isWhole(const QSettings &settings)
{
    settings.allKeys();
    return settings.status() == QSettings::NoError;
}

} // namespace

QString SessionStore::defaultPath()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Keyvane"), QStringLiteral("Keyvane"))
        .fileName();
}

SessionStore::SessionStore(QString path) : m_path(std::move(path))
{}

SessionState SessionStore::load() const
{
    SessionState state;
    const QFileInfo info(m_path);
    // No file yet (the first run): nothing to report.
    if (!info.exists())
        return state;
    const auto cannotRead = [&] {
        systemLog(QStringLiteral("Session file %1 cannot be read; the window opens as on a first run").arg(m_path));
        return state;
    };
    const auto damaged = [&] {
        systemLog(QStringLiteral("Session file %1 is damaged; the window opens as on a first run").arg(m_path));
        return state;
    };
    QFile file(m_path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return cannotRead();
    // Our own file holds a few kilobytes; anything far larger is not one.
    if (file.size() > MaximumFileSize)
        return damaged();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return cannotRead();

    // QSettings keeps what it parsed of a file for the life of the process
    // and tells of damage only the first time it parses it: read from a copy
    // under a new name, so that every load parses afresh (the file itself
    // when no copy can be made).
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/keyvane-session-XXXXXX.ini"));
    const bool copied = copy.open() && copy.write(bytes) == bytes.size() && copy.flush();
    QSettings settings(copied ? copy.fileName() : m_path, QSettings::IniFormat);
    if (!isWhole(settings))
        return damaged(); // what could be parsed of it is not trusted either
    settings.beginGroup(Group);
    readRect(settings, QStringLiteral("windowRect"), &state.windowRect);
    readBool(settings, QStringLiteral("windowMaximized"), &state.windowMaximized);
    readBytes(settings, QStringLiteral("splitterState"), &state.splitterState);
    readBool(settings, QStringLiteral("inspectorOpen"), &state.inspectorOpen);
    readBool(settings, QStringLiteral("consoleOpen"), &state.consoleOpen);
    readBool(settings, QStringLiteral("findMatchCase"), &state.findMatchCase);
    readBool(settings, QStringLiteral("findRegularExpression"), &state.findRegularExpression);
    readBool(settings, QStringLiteral("findInValues"), &state.findInValues);
    readString(settings, QStringLiteral("selectedKey"), &state.selectedKey);
    return state;
}

bool SessionStore::save(const SessionState &state) const
{
    // A damaged file, or one far too large to be ours, is replaced whole:
    // QSettings would write back what it could parse of it and go on
    // reporting the damage after writing. Loading has told of it already.
    const QFileInfo info(m_path);
    if (info.isFile() && (info.size() > MaximumFileSize || !isWhole(QSettings(m_path, QSettings::IniFormat))))
        QFile::remove(m_path);
    QSettings settings(m_path, QSettings::IniFormat);
    settings.remove(Group);
    settings.beginGroup(Group);
    settings.setValue(QStringLiteral("windowRect"), state.windowRect);
    settings.setValue(QStringLiteral("windowMaximized"), state.windowMaximized);
    settings.setValue(QStringLiteral("splitterState"), state.splitterState);
    settings.setValue(QStringLiteral("inspectorOpen"), state.inspectorOpen);
    settings.setValue(QStringLiteral("consoleOpen"), state.consoleOpen);
    settings.setValue(QStringLiteral("findMatchCase"), state.findMatchCase);
    settings.setValue(QStringLiteral("findRegularExpression"), state.findRegularExpression);
    settings.setValue(QStringLiteral("findInValues"), state.findInValues);
    settings.setValue(QStringLiteral("selectedKey"), state.selectedKey);
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        systemLog(QStringLiteral("Session file %1 cannot be written; this session is not kept").arg(m_path));
        return false;
    }
    return true;
}

QRect fittedGeometry(const QRect &saved, const QList<QRect> &availableAreas, const QSize &preferredSize)
{
    if (saved.isValid()) {
        for (const QRect &area : availableAreas) {
            if (area.contains(saved))
                return saved;
        }
    }
    const QRect *largest = nullptr;
    for (const QRect &area : availableAreas) {
        if (area.isEmpty())
            continue;
        if (!largest || qint64(area.width()) * area.height() > qint64(largest->width()) * largest->height())
            largest = &area;
    }
    if (!largest)
        return QRect(QPoint(0, 0), preferredSize);
    const int marginX = qMin(WindowMargin, largest->width() / 10);
    const int marginY = qMin(WindowMargin, largest->height() / 10);
    const QSize room(largest->width() - 2 * marginX, largest->height() - 2 * marginY);
    const QSize size = preferredSize.boundedTo(room).expandedTo(QSize(1, 1));
    return QRect(QPoint(largest->x() + (largest->width() - size.width()) / 2,
                        largest->y() + (largest->height() - size.height()) / 2),
                 size);
}

} // namespace kv::app
