#pragma once

// The key browser's columns, built on demand: storeTree holds one TreeBranch
// per loaded column (column 0 from every listed key, a deeper column from
// the keys below the row selected in the column before), and the titles the
// user sees are made from the rows' raw component names.

#include "browser/ColumnTree.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace kv::browser {

class BrowserDataSource
{
public:
    // The key list the columns are built from and the column tree they are
    // kept in: the owner's, which this reads and writes.
    BrowserDataSource(const QStringList &storeKeysList, QList<TreeBranch> &storeTree);

    // The DecomposedKey of every listed key, in list order.
    DecomposedKeyList storeDecomposedKeysListArray() const;
    // A column's rows from a list of DecomposedKeys (see buildTreeBranchForColumn).
    static TreeBranch buildTreeBranchForColumn(int column, const DecomposedKeyList *keysArray);

    // Loads `column` into storeTree and returns its number of rows. Column 0
    // is built from every listed key and replaces the whole tree; a deeper
    // column from the row `selectedRowInColumnBefore` of the column before
    // (none, or no such row, gives an empty column), replacing that column
    // and those after it. The columns before are not touched.
    int numberOfRowsInColumn(int column, int selectedRowInColumnBefore);
    // The title of a loaded row and whether it is a leaf (leads no further);
    // false when there is no such row.
    bool cell(int row, int column, QString *title, bool *leaf) const;
    // The first row of a loaded column whose title is `title` (exactly,
    // case-sensitive), or -1.
    int rowTitled(const QString &title, int column) const;
    // The node of a loaded row, or none.
    const BranchNode *node(int row, int column) const;

    // The title of a row's name: column 0 drops a trailing ":", deeper
    // columns a leading "/", and a one-character name stays as it is.
    static QString browserFormatString(const QString &string, int column);

    // The browser path that leads to `key`'s row: the titles of its
    // components, each after `separator`; empty for a key with no row (an
    // empty, blank or ":"-first key). Where a column holds two rows of the
    // same title, the path leads to the first.
    static QString pathOfKey(const QString &key, const QString &separator);

private:
    const QStringList &m_keys;
    QList<TreeBranch> &m_tree;
};

} // namespace kv::browser
