#include "app/KVNController.h"

#include "platform/ui/Bundle.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/Window.h"

namespace {

const QString ToolbarIdentifier = QStringLiteral("KVNToolbar");
const QString InspectorItem = QStringLiteral("TB_Inspector");
const QString ConsoleItem = QStringLiteral("TB_Console");
const QString ExportItem = QStringLiteral("TB_Export");
const QString ReloadItem = QStringLiteral("TB_Reload");

} // namespace

void KVNController::setupToolbar()
{
    // 1. The toolbar; the controller holds it until a window takes it.
    auto toolbar = std::make_unique<kv::ui::Toolbar>(ToolbarIdentifier);

    // 2.-3. The four items, each labelled from the strings table.
    toolbarItemsDictionary.clear();
    const kv::ui::Bundle &bundle = kv::ui::Bundle::mainBundle();
    const struct
    {
        QString identifier;
        QString labelKey;
    } items[] = {
        {InspectorItem, QStringLiteral("Inspector")},
        {ConsoleItem, QStringLiteral("Console")},
        {ExportItem, QStringLiteral("Export")},
        {ReloadItem, QStringLiteral("Reload")},
    };
    for (const auto &entry : items) {
        const QString label = bundle.localizedStringForKey(entry.labelKey, QString(""), QString());
        kv::ui::ToolbarItem *item = toolbarItemForItemIdentifier(entry.identifier, label);
        toolbarItemsDictionary.insert(entry.identifier, item);
    }

    // 4. Fixed: no customisation, no saved configuration.
    toolbar->setAllowsUserCustomization(false);
    toolbar->setAutosavesConfiguration(false);
    // 5. Icon and label.
    toolbar->setDisplayMode(kv::ui::Toolbar::DisplayModeIconAndLabel);
    // 6. The controller answers the toolbar's requests.
    toolbar->setDelegate(this);
    // 7.-8. The main window takes the toolbar.
    auto *window = kvnBrowser ? qobject_cast<kv::ui::Window *>(kvnBrowser->window()) : nullptr;
    if (window)
        window->setToolbar(toolbar.release());
}

kv::ui::ToolbarItem *KVNController::toolbarItemForItemIdentifier(const QString &itemIdentifier, const QString &label)
{
    // The item is the controller's child: it lives as long as the controller.
    auto *item = new kv::ui::ToolbarItem(itemIdentifier, this);
    item->setTarget(this);
    item->setAction(QByteArrayLiteral("toolbarAction"));
    item->setLabel(label);
    item->setImage(kv::ui::Bundle::mainBundle().imageNamed(itemIdentifier));
    return item;
}

kv::ui::ToolbarItem *KVNController::toolbarItemForItemIdentifier(kv::ui::Toolbar *, const QString &itemIdentifier, bool)
{
    return toolbarItemsDictionary.value(itemIdentifier, nullptr);
}

QStringList KVNController::toolbarDefaultItemIdentifiers(kv::ui::Toolbar *)
{
    return {InspectorItem, ConsoleItem, ExportItem, kv::ui::ToolbarFlexibleSpaceItemIdentifier, ReloadItem};
}

QStringList KVNController::toolbarAllowedItemIdentifiers(kv::ui::Toolbar *toolbar)
{
    return toolbarDefaultItemIdentifiers(toolbar);
}

void KVNController::toolbarAction(QObject *sender)
{
    auto *item = qobject_cast<kv::ui::ToolbarItem *>(sender);
    if (!item)
        return;
    const QString identifier = item->itemIdentifier();
    if (identifier == ConsoleItem)
        showConsole(this);
    else if (identifier == ExportItem)
        exportStore(this);
    else if (identifier == InspectorItem)
        showInspector(this);
    else if (identifier == ReloadItem)
        reloadKeys(this);
}
