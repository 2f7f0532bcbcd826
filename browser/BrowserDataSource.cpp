#include "browser/BrowserDataSource.h"

namespace kv::browser {

BrowserDataSource::BrowserDataSource(const QStringList &storeKeysList, QList<TreeBranch> &storeTree)
    : m_keys(storeKeysList), m_tree(storeTree)
{}

DecomposedKeyList BrowserDataSource::storeDecomposedKeysListArray() const
{
    return decomposedStrings(m_keys);
}

TreeBranch BrowserDataSource::buildTreeBranchForColumn(int column, const DecomposedKeyList *keysArray)
{
    return kv::buildTreeBranchForColumn(column, keysArray);
}

int BrowserDataSource::numberOfRowsInColumn(int column, int selectedRowInColumnBefore)
{
    if (column < 0)
        return 0;
    if (column == 0) {
        m_tree.clear();
        const DecomposedKeyList keys = storeDecomposedKeysListArray();
        m_tree.append(buildTreeBranchForColumn(0, &keys));
        return int(m_tree.at(0).names.size());
    }

    // Built from the row selected in the column before, before anything is
    // dropped; a column asked for with no (or no valid) row selected there is
    // empty.
    const DecomposedKeyList *keys = nullptr;
    std::shared_ptr<DecomposedKeyList> parentLeaf; // keeps the input alive while entries are dropped
    if (column - 1 < m_tree.size()) {
        const TreeBranch &parent = m_tree.at(column - 1);
        const int row = selectedRowInColumnBefore;
        if (row >= 0 && row < parent.nodes.size()) {
            parentLeaf = parent.nodes.at(row).leaf;
            keys = parentLeaf.get();
        }
    }
    TreeBranch branch = buildTreeBranchForColumn(column, keys);

    if (column < m_tree.size())
        m_tree.remove(column, m_tree.size() - column);
    // Entry c must stay column c: columns never loaded before are empty.
    while (m_tree.size() < column)
        m_tree.append(TreeBranch());
    m_tree.append(std::move(branch));
    return int(m_tree.at(column).names.size());
}

bool BrowserDataSource::cell(int row, int column, QString *title, bool *leaf) const
{
    const BranchNode *rowNode = node(row, column);
    if (!rowNode || row >= m_tree.at(column).names.size())
        return false;
    *title = browserFormatString(m_tree.at(column).names.at(row), column);
    *leaf = !rowNode->leaf;
    return true;
}

int BrowserDataSource::rowTitled(const QString &title, int column) const
{
    if (column < 0 || column >= m_tree.size())
        return -1;
    const QStringList &names = m_tree.at(column).names;
    for (int i = 0; i < names.size(); ++i) {
        if (title == browserFormatString(names.at(i), column))
            return i;
    }
    return -1;
}

const BranchNode *BrowserDataSource::node(int row, int column) const
{
    if (column < 0 || column >= m_tree.size() || row < 0 || row >= m_tree.at(column).nodes.size())
        return nullptr;
    return &m_tree.at(column).nodes.at(row);
}

QString BrowserDataSource::browserFormatString(const QString &string, int column)
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

QString BrowserDataSource::pathOfKey(const QString &key, const QString &separator)
{
    const DecomposedKeyPtr decomposed = decomposedString(key);
    QString path;
    for (int column = 0; column < decomposed->count(); ++column)
        path += separator + browserFormatString(decomposed->component(column), column);
    return path;
}

} // namespace kv::browser
