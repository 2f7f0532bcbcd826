#pragma once

// Copy in the main window. Edit ▸ Copy copies what the focused widget shows:
// the selected browser row's key (an intermediate row's path prefix), the
// value tree's current value, the chosen find result's key, or the selected
// text of the key field, the inspector and the console. The browser and the
// value tree offer their copy commands in context menus too.

#include "platform/ui/Delegates.h"

#include <QObject>
#include <QPoint>
#include <QString>

class KVNController;
class QAction;

namespace kv::app {

struct MainInterface;

class EditCommands : public QObject
{
    Q_OBJECT
public:
    EditCommands(KVNController *controller, MainInterface *ui, QObject *parent = nullptr);

    QAction *copyAction() const { return m_copy; }
    // Copies what the focused widget shows (nothing when it shows nothing).
    void copy();

    // The key of a browser row, or for an intermediate row the path prefix
    // that leads to it ("State:/Network"); empty for no such row.
    QString browserRowKey(int row, int column) const;
    // The selected browser row's key (see browserRowKey).
    QString selectedBrowserKey() const;
    // Where a value tree item sits: the shown key, then the entry names down
    // to it ("State:/…/IPv4 › Addresses › 0").
    QString entryPath(ui::OutlineItem item) const;

    void copyValue(ui::OutlineItem item);
    void copyEntryPath(ui::OutlineItem item);
    // A warning (and a system-log line) when the value cannot be written.
    void copyAsPropertyList(ui::OutlineItem item);

private:
    void showBrowserMenu(int row, int column, const QPoint &globalPos);
    void showValueMenu(ui::OutlineItem item, const QPoint &globalPos);

    KVNController *m_controller;
    MainInterface *m_ui;
    QAction *m_copy;
};

} // namespace kv::app
