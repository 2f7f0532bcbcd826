#pragma once

// The program's commands. Each is one QAction, shared by the menus and the
// toolbar; the toolbar's four items show the Inspector, Console, Export and
// Reload commands, and every item sends one action, toolbarAction, which
// picks the command by the item's identifier.

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

class QAction;
class QObject;

namespace kv::ui {
class Toolbar;
class ToolbarDelegate;
class ToolbarItem;
class Window;
} // namespace kv::ui

namespace kv::commands {

// Who carries the commands out (the application's controller). Each command
// takes the object asking as its sender and does not look at it.
class CommandTarget
{
public:
    virtual ~CommandTarget() = default;
    virtual void showInspector(QObject *sender) = 0;
    virtual void showConsole(QObject *sender) = 0;
    virtual void exportStore(QObject *sender) = 0;
    virtual void reloadKeys(QObject *sender) = 0;
    virtual void menuAboutAction(QObject *sender) = 0;
    // The action of every toolbar item, with the item as sender.
    virtual void toolbarAction(QObject *sender) = 0;
};

// Identifiers of the toolbar and its items.
inline const QString ToolbarIdentifier = QStringLiteral("KVNToolbar");
inline const QString InspectorItem = QStringLiteral("TB_Inspector");
inline const QString ConsoleItem = QStringLiteral("TB_Console");
inline const QString ExportItem = QStringLiteral("TB_Export");
inline const QString ReloadItem = QStringLiteral("TB_Reload");

class Commands
{
public:
    // `owner` is the target as an object: it owns the commands and the
    // toolbar items, is every item's target and the sender of each command
    // the toolbar runs.
    Commands(CommandTarget &target, QObject *owner);
    ~Commands();
    Commands(const Commands &) = delete;
    Commands &operator=(const Commands &) = delete;

    // The command shown by the toolbar item `identifier` (none for others).
    QAction *command(const QString &itemIdentifier) const;
    // The About command (menu only).
    QAction *aboutCommand() const { return m_about; }

    // Builds the toolbar: its four items, made with `makeItem` and kept in
    // `items` by identifier, then the toolbar itself (fixed, icon and label,
    // `delegate` answering its requests), given to `window`.
    void setupToolbar(QMap<QString, ui::ToolbarItem *> &items,
                      const std::function<ui::ToolbarItem *(const QString &identifier, const QString &label)> &makeItem,
                      ui::ToolbarDelegate *delegate, ui::Window *window);
    // A new item for `identifier` showing its command, with `label` and the
    // image named as the identifier, sending toolbarAction to the target. The
    // owner owns it.
    ui::ToolbarItem *toolbarItemForItemIdentifier(const QString &itemIdentifier, const QString &label);
    // The items, left to right, with the flexible space before Reload.
    static QStringList toolbarDefaultItemIdentifiers();
    // Runs the command of the item `sender` (a ToolbarItem), with the owner as
    // the command's sender; anything else does nothing.
    void toolbarAction(QObject *sender);

private:
    CommandTarget &m_target;
    QObject *m_owner;
    QMap<QString, QAction *> m_commands; // by item identifier
    QAction *m_about = nullptr;
};

} // namespace kv::commands
