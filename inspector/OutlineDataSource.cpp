#include "app/KVNController.h"

int KVNController::outlineViewNumberOfChildrenOfItem(kv::ui::OutlineView *, kv::ui::OutlineItem) { return 0; }
bool KVNController::outlineViewIsItemExpandable(kv::ui::OutlineView *, kv::ui::OutlineItem) { return false; }
kv::ui::OutlineItem KVNController::outlineViewChild(kv::ui::OutlineView *, int, kv::ui::OutlineItem) { return nullptr; }
QString KVNController::outlineViewObjectValueForTableColumn(kv::ui::OutlineView *, kv::ui::TableColumn *, kv::ui::OutlineItem) { return {}; }
bool KVNController::outlineViewShouldEditTableColumn(kv::ui::OutlineView *, kv::ui::TableColumn *, kv::ui::OutlineItem) { return false; }
