#include "app/KVNController.h"

kv::DecomposedKeyList KVNController::storeDecomposedKeysListArray() const { return {}; }
kv::TreeBranch KVNController::buildTreeBranchForColumn(int, const kv::DecomposedKeyList *) const { return {}; }
int KVNController::browserNumberOfRowsInColumn(kv::ui::ColumnBrowser *, int) { return 0; }
void KVNController::browserWillDisplayCell(kv::ui::ColumnBrowser *, kv::ui::BrowserCell *, int, int) {}
bool KVNController::browserSelectCellWithString(kv::ui::ColumnBrowser *, const QString &, int) { return false; }
QString KVNController::browserFormatString(const QString &s, int) const { return s; }
