#include "app/KVNController.h"

void KVNController::setupToolbar() {}
kv::ui::ToolbarItem *KVNController::toolbarItemForItemIdentifier(const QString &, const QString &) { return nullptr; }
kv::ui::ToolbarItem *KVNController::toolbarItemForItemIdentifier(kv::ui::Toolbar *, const QString &, bool) { return nullptr; }
QStringList KVNController::toolbarDefaultItemIdentifiers(kv::ui::Toolbar *) { return {}; }
QStringList KVNController::toolbarAllowedItemIdentifiers(kv::ui::Toolbar *) { return {}; }
void KVNController::toolbarAction(QObject *) {}
