#include "platform/ui/Toolbar.h"

#include "platform/ui/Delegates.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QToolButton>

namespace kv::ui {

namespace {

// Button texts treat "&" as a mnemonic marker; labels are shown as written.
QString escapedLabel(const QString &label)
{
    QString text = label;
    text.replace(u'&', QStringLiteral("&&"));
    return text;
}

Qt::ToolButtonStyle buttonStyleForDisplayMode(int mode)
{
    switch (mode) {
    case Toolbar::DisplayModeIconAndLabel: return Qt::ToolButtonTextUnderIcon;
    case Toolbar::DisplayModeIconOnly: return Qt::ToolButtonIconOnly;
    case Toolbar::DisplayModeLabelOnly: return Qt::ToolButtonTextOnly;
    default: return Qt::ToolButtonFollowStyle;
    }
}

} // namespace

// --- ToolbarItem --------------------------------------------------------------

ToolbarItem::ToolbarItem(const QString &itemIdentifier, QAction *command, QObject *parent)
    : QObject(parent), m_identifier(itemIdentifier), m_command(command ? command : new QAction(this))
{
    if (m_command->objectName().isEmpty())
        m_command->setObjectName(itemIdentifier);
    connect(m_command, &QAction::triggered, this, [this] { sendAction(); });
}

ToolbarItem::~ToolbarItem() = default;

void ToolbarItem::setLabel(const QString &label)
{
    m_label = label;
    if (m_command->parent() == this)
        m_command->setText(escapedLabel(label));
    m_command->setIconText(escapedLabel(label));
    for (QObject *object : m_command->associatedObjects()) {
        if (auto *toolbar = qobject_cast<Toolbar *>(object))
            toolbar->updateButton(this);
    }
}

void ToolbarItem::setImage(const QIcon &image)
{
    m_image = image;
    m_command->setIcon(image);
}

bool ToolbarItem::sendAction()
{
    return m_action.send(this);
}

// --- Toolbar ------------------------------------------------------------------

Toolbar::Toolbar(const QString &identifier, QWidget *parent) : QToolBar(parent), m_identifier(identifier)
{
    setObjectName(identifier);
    setWindowTitle(tr("Toolbar"));
    setAccessibleName(tr("Toolbar"));
    setToolButtonStyle(buttonStyleForDisplayMode(m_displayMode));
}

Toolbar::~Toolbar()
{
    clearEntries();
}

void Toolbar::setDelegate(ToolbarDelegate *delegate)
{
    m_delegate = delegate;
    reloadItems();
}

void Toolbar::setAllowsUserCustomization(bool allows)
{
    m_allowsUserCustomization = allows;
    setContextMenuPolicy(allows ? Qt::DefaultContextMenu : Qt::PreventContextMenu);
    setMovable(allows);
    setFloatable(allows);
    // The window's own context menu offers to hide toolbars through this action.
    toggleViewAction()->setVisible(allows);
    toggleViewAction()->setEnabled(allows);
}

void Toolbar::setDisplayMode(int mode)
{
    m_displayMode = (mode >= DisplayModeDefault && mode <= DisplayModeLabelOnly) ? mode : DisplayModeDefault;
    setToolButtonStyle(buttonStyleForDisplayMode(m_displayMode));
}

QStringList Toolbar::itemIdentifiers() const
{
    QStringList identifiers;
    for (const Entry &entry : m_entries) {
        if (entry.spacer || entry.item)
            identifiers.append(entry.identifier);
    }
    return identifiers;
}

QList<ToolbarItem *> Toolbar::items() const
{
    QList<ToolbarItem *> list;
    for (const Entry &entry : m_entries) {
        if (entry.item)
            list.append(entry.item);
    }
    return list;
}

QToolButton *Toolbar::buttonForItem(const ToolbarItem *item) const
{
    if (!item)
        return nullptr;
    return qobject_cast<QToolButton *>(widgetForAction(item->command()));
}

QWidget *Toolbar::flexibleSpace() const
{
    for (const Entry &entry : m_entries) {
        if (entry.spacer)
            return widgetForAction(entry.spacer);
    }
    return nullptr;
}

void Toolbar::clearEntries()
{
    for (Entry &entry : m_entries) {
        if (entry.item)
            removeAction(entry.item->command());
        if (entry.spacer) {
            removeAction(entry.spacer);
            delete entry.spacer; // deletes its spacer widget too
        }
    }
    m_entries.clear();
}

void Toolbar::reloadItems()
{
    clearEntries();
    if (!m_delegate)
        return;
    const QStringList identifiers = m_delegate->toolbarDefaultItemIdentifiers(this);
    for (const QString &identifier : identifiers) {
        Entry entry;
        entry.identifier = identifier;
        if (identifier == ToolbarFlexibleSpaceItemIdentifier) {
            auto *spacer = new QWidget(this);
            spacer->setObjectName(QStringLiteral("flexibleSpace"));
            spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
            spacer->setFocusPolicy(Qt::NoFocus);
            entry.spacer = addWidget(spacer);
        } else {
            ToolbarItem *item = m_delegate->toolbarItemForItemIdentifier(this, identifier, true);
            if (!item)
                continue;
            // One button per item: an item already shown is not shown twice.
            if (widgetForAction(item->command()))
                continue;
            entry.item = item;
            addAction(item->command());
            updateButton(item);
        }
        m_entries.append(entry);
    }
}

void Toolbar::updateButton(ToolbarItem *item)
{
    QToolButton *button = buttonForItem(item);
    if (!button)
        return;
    button->setObjectName(item->itemIdentifier());
    button->setAccessibleName(item->label());
    button->setFocusPolicy(Qt::TabFocus);
    // An item carries no tool tip; a button would show its label as one.
    button->installEventFilter(this);
}

bool Toolbar::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ToolTip && qobject_cast<QToolButton *>(watched))
        return true;
    return QToolBar::eventFilter(watched, event);
}

bool Toolbar::event(QEvent *event)
{
    const bool handled = QToolBar::event(event);
    // Attached to a (new) window: lay out again, asking the delegate afresh.
    if (event->type() == QEvent::ParentChange && parentWidget() != m_attachedTo) {
        m_attachedTo = parentWidget();
        if (m_attachedTo && m_delegate)
            reloadItems();
    }
    return handled;
}

} // namespace kv::ui
