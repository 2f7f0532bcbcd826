// The controller as the key browser's delegate: it builds each column when the
// browser loads it, keeping storeTree at one branch per loaded column, and
// makes the titles the user sees from the raw component names.

#include "app/KVNController.h"

#include "platform/ui/ColumnBrowser.h"

kv::DecomposedKeyList KVNController::storeDecomposedKeysListArray() const
{
    return kv::decomposedStrings(storeKeysList);
}

kv::TreeBranch KVNController::buildTreeBranchForColumn(int column, const kv::DecomposedKeyList *keysArray) const
{
    return kv::buildTreeBranchForColumn(column, keysArray);
}

int KVNController::browserNumberOfRowsInColumn(kv::ui::ColumnBrowser *browser, int column)
{
    if (column < 0)
        return 0;
    if (column == 0) {
        storeTree.clear();
        const kv::DecomposedKeyList keys = storeDecomposedKeysListArray();
        storeTree.append(buildTreeBranchForColumn(0, &keys));
        return int(storeTree.at(0).names.size());
    }

    // Built from the row selected in the column before; a column asked for
    // with no (or no valid) row selected there is empty.
    const kv::ui::ColumnBrowser *asked = kvnBrowser ? kvnBrowser : browser;
    const int row = asked ? asked->selectedRowInColumn(column - 1) : -1;
    const kv::DecomposedKeyList *keys = nullptr;
    std::shared_ptr<kv::DecomposedKeyList> parentLeaf; // keeps the input alive while entries are dropped
    if (column - 1 < storeTree.size()) {
        const kv::TreeBranch &parent = storeTree.at(column - 1);
        if (row >= 0 && row < parent.nodes.size()) {
            parentLeaf = parent.nodes.at(row).leaf;
            keys = parentLeaf.get();
        }
    }
    kv::TreeBranch branch = buildTreeBranchForColumn(column, keys);

    if (column < storeTree.size())
        storeTree.remove(column, storeTree.size() - column);
    // Entry c must stay column c: columns never loaded before are empty.
    while (storeTree.size() < column)
        storeTree.append(kv::TreeBranch());
    storeTree.append(std::move(branch));
    return int(storeTree.at(column).names.size());
}

void KVNController::browserWillDisplayCell(kv::ui::ColumnBrowser *, kv::ui::BrowserCell *cell, int row, int column)
{
    if (!cell || column < 0 || column >= storeTree.size())
        return;
    const kv::TreeBranch &branch = storeTree.at(column);
    if (row < 0 || row >= branch.names.size() || row >= branch.nodes.size())
        return;
    cell->setTitle(browserFormatString(branch.names.at(row), column));
    cell->setLeaf(!branch.nodes.at(row).leaf);
}

bool KVNController::browserSelectCellWithString(kv::ui::ColumnBrowser *browser, const QString &title, int column)
{
    if (column < 0 || column >= storeTree.size())
        return false;
    const QStringList names = storeTree.at(column).names; // selecting may reload deeper entries
    for (int i = 0; i < names.size(); ++i) {
        if (title == browserFormatString(names.at(i), column)) {
            if (browser)
                browser->selectRow(i, column);
            return true;
        }
    }
    return false;
}

QString KVNController::browserFormatString(const QString &string, int column) const
{
    QString title = string;
    if (title.size() > 1) {
        if (column == 0) {
            if (title.endsWith(u':'))
                title.chop(1);
        } else if (title.startsWith(u'/')) {
            title.remove(0, 1);
        }
    }
    return title;
}
