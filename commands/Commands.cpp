#include "commands/Commands.h"

#include "platform/ProgramInfo.h"
#include "platform/ui/Bundle.h"
#include "platform/ui/Delegates.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/Window.h"

#include <QAction>
#include <QKeySequence>

#include <memory>

namespace kv::commands {

Commands::Commands(CommandTarget &target, QObject *owner) : m_target(target), m_owner(owner)
{
    // The menus' texts; the toolbar shows each item's label instead.
    const struct
    {
        QString identifier;
        QString text;
        QKeySequence shortcut;
    } commands[] = {
        {InspectorItem, QObject::tr("&Inspector"), QKeySequence()},
        {ConsoleItem, QObject::tr("&Console"), QKeySequence()},
        {ExportItem, QObject::tr("&Export…"), QKeySequence(Qt::CTRL | Qt::Key_E)},
        {ReloadItem, QObject::tr("&Reload"), QKeySequence(QKeySequence::Refresh)},
    };
    for (const auto &entry : commands) {
        auto *action = new QAction(entry.text, owner);
        action->setObjectName(entry.identifier);
        action->setShortcut(entry.shortcut);
        m_commands.insert(entry.identifier, action);
    }
    m_about = new QAction(QObject::tr("&About %1").arg(ProgramName), owner);
    m_about->setMenuRole(QAction::AboutRole);
    QObject::connect(m_about, &QAction::triggered, owner, [this] { m_target.menuAboutAction(m_owner); });
}

Commands::~Commands() = default;

QAction *Commands::command(const QString &itemIdentifier) const
{
    return m_commands.value(itemIdentifier, nullptr);
}

void Commands::setupToolbar(
    QMap<QString, ui::ToolbarItem *> &items,
    const std::function<ui::ToolbarItem *(const QString &identifier, const QString &label)> &makeItem,
    ui::ToolbarDelegate *delegate, ui::Window *window)
{
    // The window takes the toolbar; until then it is held here.
    auto toolbar = std::make_unique<ui::Toolbar>(ToolbarIdentifier);

    // The four items, each labelled from the strings table, all made before
    // the toolbar can ask for them.
    items.clear();
    const ui::Bundle &bundle = ui::Bundle::mainBundle();
    const struct
    {
        QString identifier;
        QString labelKey;
    } labelled[] = {
        {InspectorItem, QStringLiteral("Inspector")},
        {ConsoleItem, QStringLiteral("Console")},
        {ExportItem, QStringLiteral("Export")},
        {ReloadItem, QStringLiteral("Reload")},
    };
    for (const auto &entry : labelled) {
        const QString label = bundle.localizedStringForKey(entry.labelKey, QString(""), QString());
        items.insert(entry.identifier, makeItem(entry.identifier, label));
    }

    // Fixed: the user cannot change it, and it looks the same every time.
    toolbar->setAllowsUserCustomization(false);
    toolbar->setDisplayMode(ui::Toolbar::DisplayModeIconAndLabel);
    toolbar->setDelegate(delegate);
    if (window)
        window->setToolbar(toolbar.release());
}

ui::ToolbarItem *Commands::toolbarItemForItemIdentifier(const QString &itemIdentifier, const QString &label)
{
    // The owner's child: the item lives as long as the owner.
    auto *item = new ui::ToolbarItem(itemIdentifier, command(itemIdentifier), m_owner);
    item->setTarget(m_owner);
    item->setAction(&CommandTarget::toolbarAction);
    item->setLabel(label);
    item->setImage(ui::Bundle::mainBundle().imageNamed(itemIdentifier));
    return item;
}

QStringList Commands::toolbarDefaultItemIdentifiers()
{
    return {InspectorItem, ConsoleItem, ExportItem, ui::ToolbarFlexibleSpaceItemIdentifier, ReloadItem};
}

void Commands::toolbarAction(QObject *sender)
{
    auto *item = qobject_cast<ui::ToolbarItem *>(sender);
    if (!item)
        return;
    const QString identifier = item->itemIdentifier();
    if (identifier == ConsoleItem)
        m_target.showConsole(m_owner);
    else if (identifier == ExportItem)
        m_target.exportStore(m_owner);
    else if (identifier == InspectorItem)
        m_target.showInspector(m_owner);
    else if (identifier == ReloadItem)
        m_target.reloadKeys(m_owner);
}

} // namespace kv::commands
