#pragma once

// What the main window keeps from one run to the next: where it was, how its
// panes were split, which auxiliary windows were open, the find options and
// the selected key. Kept in an INI settings file; a file that cannot be read
// or is damaged only costs the session, never the start.

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

namespace kv::app {

struct SessionState
{
    // The main window's normal rectangle in logical coordinates, and whether
    // it was maximized: what fittedGeometry places the window from, without
    // a widget to read the record into.
    QRect windowRect;
    bool windowMaximized = false;
    // The split between the key browser and the value tree (saveState()).
    QByteArray splitterState;
    bool inspectorOpen = false;
    bool consoleOpen = false;
    bool findMatchCase = false;
    bool findRegularExpression = false;
    bool findInValues = false;
    // The store key that was selected (empty for none).
    QString selectedKey;

    bool operator==(const SessionState &) const = default;
};

class SessionStore
{
public:
    // QSettings' usual file for organization and application "Keyvane" in
    // INI format: Keyvane/Keyvane.ini in the user's configuration folder
    // (~/.config unless XDG_CONFIG_HOME says otherwise).
    static QString defaultPath();

    explicit SessionStore(QString path = defaultPath());
    const QString &path() const { return m_path; }

    // The saved session. No file gives the defaults; so does a file that
    // cannot be read or is damaged, with one system-log line naming it. A
    // value of the wrong type is left at its default, the others are used.
    SessionState load() const;
    // Replaces the saved session (a damaged file is replaced whole). False,
    // with one system-log line naming the file, when it cannot be written.
    bool save(const SessionState &state) const;

private:
    QString m_path;
};

// The main window's rectangle: `saved` when it lies wholly within one of the
// screens' available areas (logical coordinates); otherwise, on a first run
// (empty `saved`), after a screen went away, or when a higher scale factor
// made the logical screen smaller, `preferredSize` shrunk to fit the largest
// available area less a margin, centred in it. With no area at all, the
// preferred size at the origin.
QRect fittedGeometry(const QRect &saved, const QList<QRect> &availableAreas, const QSize &preferredSize);

} // namespace kv::app
