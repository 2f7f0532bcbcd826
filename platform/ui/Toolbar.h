#pragma once

#include "platform/ui/Action.h"

#include <QIcon>
#include <QList>
#include <QPointer>
#include <QString>
#include <QToolBar>

class QAction;
class QToolButton;

namespace kv::ui {

class ToolbarDelegate;

// One command of a toolbar: an identifier, a label, an image and a
// target/action pair. The item shows a command (a QAction): its own, or one
// the program shares with a menu; triggering the command, from the toolbar's
// button or anywhere else, sends the action with the item as sender. The
// toolbar does not own its items; whoever made them does.
class ToolbarItem : public QObject
{
    Q_OBJECT
public:
    // `command`: the command to show (not owned; it must outlive the item),
    // or none for one of the item's own.
    explicit ToolbarItem(const QString &itemIdentifier, QAction *command = nullptr, QObject *parent = nullptr);
    ~ToolbarItem() override;

    QString itemIdentifier() const { return m_identifier; }

    void setTarget(QObject *target) { m_action.setTarget(target); }
    QObject *target() const { return m_action.target(); }
    // A `void name(QObject *sender)` of the target's class.
    template<class Target>
    void setAction(void (Target::*method)(QObject *sender))
    {
        m_action.setMethod(method);
    }
    const Action &action() const { return m_action; }

    void setLabel(const QString &label);
    QString label() const { return m_label; }
    void setImage(const QIcon &image);
    QIcon image() const { return m_image; }

    // Sends the action to the target with this item as sender; false when
    // the item has no target or action, or the target is of another class.
    bool sendAction();

    // The command the toolbar shows as a button for this item. The item's
    // label is the command's icon text (a shared command keeps its own text
    // for menus).
    QAction *command() const { return m_command; }

private:
    QString m_identifier;
    QString m_label;
    QIcon m_image;
    Action m_action;
    QPointer<QAction> m_command;
};

// A window's toolbar. Its contents come from its delegate: whenever the
// toolbar lays itself out (when the delegate is set, and again when the
// toolbar is attached to a window), it asks for the default item identifiers
// and, for each, the item (willBeInsertedIntoToolbar = true). The flexible
// space (ToolbarFlexibleSpaceItemIdentifier) is supplied by the toolbar itself
// as a spacer that takes the free width. Identifiers the delegate has no item
// for are left out.
class Toolbar : public QToolBar
{
    Q_OBJECT
public:
    explicit Toolbar(const QString &identifier, QWidget *parent = nullptr);
    ~Toolbar() override;

    QString identifier() const { return m_identifier; }

    void setDelegate(ToolbarDelegate *delegate);
    ToolbarDelegate *delegate() const { return m_delegate; }

    // Off: no context menu, the toolbar cannot be moved, floated or hidden.
    void setAllowsUserCustomization(bool allows);
    bool allowsUserCustomization() const { return m_allowsUserCustomization; }

    // 0 default, 1 icon and label, 2 icon only, 3 label only.
    enum DisplayMode {
        DisplayModeDefault = 0,
        DisplayModeIconAndLabel = 1,
        DisplayModeIconOnly = 2,
        DisplayModeLabelOnly = 3
    };
    void setDisplayMode(int mode);
    int displayMode() const { return m_displayMode; }

    // The identifiers shown, left to right (the flexible space included).
    QStringList itemIdentifiers() const;
    // The items shown, left to right (the flexible space is not an item).
    QList<ToolbarItem *> items() const;
    // The button showing `item`, or none when the item is not shown.
    QToolButton *buttonForItem(const ToolbarItem *item) const;
    // The spacer widget standing for the flexible space, or none.
    QWidget *flexibleSpace() const;

    // Asks the delegate again for the identifiers and items.
    void reloadItems();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Entry
    {
        QString identifier;
        QPointer<ToolbarItem> item;
        QAction *spacer = nullptr; // the flexible space's widget action (owned)
    };
    void clearEntries();
    void updateButton(ToolbarItem *item);

    friend class ToolbarItem;
    QString m_identifier;
    ToolbarDelegate *m_delegate = nullptr;
    QList<Entry> m_entries;
    bool m_allowsUserCustomization = true;
    int m_displayMode = DisplayModeDefault;
    QWidget *m_attachedTo = nullptr;
};

} // namespace kv::ui
