#pragma once

// The key browser's columns, built on demand: storeTree holds one TreeBranch
// per loaded column (column 0 from every listed key, a deeper column from
// the keys below the row selected in the column before), and the titles the
// user sees are made from the rows' raw component names.

#include "browser/ColumnTree.h"
#include "browser/SortedListEdit.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kv::browser {

class BrowserDataSource
{
public:
    // The key list the columns are built from and the column tree they are
    // kept in: the owner's, which this reads and writes.
    BrowserDataSource(const QStringList &storeKeysList, QList<TreeBranch> &storeTree);

    // The DecomposedKey of every listed key, in list order. They are kept
    // from one load of column 0 to the next (see applyKeyListEdit).
    DecomposedKeyList storeDecomposedKeysListArray() const;
    // A column's rows from a list of DecomposedKeys (see buildTreeBranchForColumn).
    static TreeBranch buildTreeBranchForColumn(int column, const DecomposedKeyList *keysArray);

    // Loads `column` into storeTree and returns its number of rows. Column 0
    // is built from every listed key and replaces the whole tree; a deeper
    // column from the row `selectedRowInColumnBefore` of the column before
    // (none, or no such row, gives an empty column), replacing that column
    // and those after it. The columns before are not touched.
    int numberOfRowsInColumn(int column, int selectedRowInColumnBefore);
    // The number of rows of a loaded column (0 when not loaded).
    int numberOfRows(int column) const
    {
        return column >= 0 && column < m_tree.size() ? int(m_tree.at(column).names.size()) : 0;
    }
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

    // Makes the edits of the key list (already made to it, in this order)
    // to the kept decompositions and to column 0 in place: only the rows
    // around the edited keys are grouped again, so that column 0 ends as a
    // fresh load would build it. Answers whether column 0's rows changed, or
    // none when there was nothing to edit in place (no column 0 loaded, or
    // kept decompositions out of step): then column 0 is to be loaded afresh.
    std::optional<bool> applyKeyListEdits(const std::vector<SortedListEdit> &edits);
    // Whether a loaded deeper column was built from `leaf` (the keys below
    // the row selected before it), and so still shows that row's keys.
    bool columnBuiltFrom(int column, const DecomposedKeyList *leaf) const;
    // Brings a loaded deeper column, built from the keys below a row, up to
    // date with `leaf`, the keys below that row now: the column's rows are
    // grouped again only around the keys that came or went, as a fresh load
    // from `leaf` would group them (the columns after it keep what they were
    // built from, to be followed in turn). False (nothing done) when the
    // column was not loaded from a row.
    bool followLeaf(int column, const std::shared_ptr<DecomposedKeyList> &leaf);
    // Forgets the kept decompositions (the key list was replaced).
    void keyListReplaced() { m_decomposedValid = false; }

    // How many runs of rows around edited keys kept their rows (the keys
    // taken over) and how many were grouped afresh; how many rows the kept
    // runs made of added keys alone, and how many rows they left out for
    // having lost all their keys (for tests).
    int rowRunsKept = 0;
    int rowRunsRegrouped = 0;
    int keptRunRowsAdded = 0;
    int keptRunRowsDropped = 0;
    // How many times a deeper column followed a leaf its keys were moved to,
    // and how many times it could not and was to be loaded afresh (for tests).
    int movedLeavesFollowed = 0;
    int movedLeavesLost = 0;

private:
    // An edit of a column's input list, by index of the list before: runs
    // removed, and where entries were added (ascending).
    struct InputEdit
    {
        std::vector<std::pair<qsizetype, qsizetype>> removed;
        std::vector<qsizetype> addedAt;
    };
    static InputEdit inputEdit(const DecomposedKeyList &before, const DecomposedKeyList &after);
    // The edit from `before` to `after` when the keys `after` kept were moved
    // out of `before`: `from` tells, for each entry of `after`, its index in
    // `before` (-1: added). None when they do not add up.
    static std::optional<InputEdit> movedEdit(const DecomposedKeyList &before, const DecomposedKeyList &after,
                                              const std::vector<qsizetype> &from);
    static void appendRemoved(InputEdit &edit, qsizetype i);

    const DecomposedKeyList &decomposedKeys() const;
    std::optional<bool> applyKeyListEdit(const SortedListEdit &edit);
    // Groups a loaded column's rows again where `edit` changed its input,
    // `input` being the input now.
    void regroupEdited(int column, const DecomposedKeyList &input, const InputEdit &edit);
    // A run of touched rows of a column: rows [first, last] of the column
    // before the edit, and the entries between the untouched rows around
    // them, [oldBegin, oldEnd) in the input before the edit and [begin, end)
    // in the input after it.
    struct TouchedRows
    {
        qsizetype first, last;
        qsizetype oldBegin, oldEnd;
        qsizetype begin, end;
    };
    // The touched rows of `old` (the column before the edit) again, when no
    // two of them become one and none is split: each row that keeps a key
    // keeps its name, takes the added keys that fall in it and loses the
    // removed ones; a row that keeps none is left out, and added keys that
    // fall in no row make rows of their own. Appends the rows to `branch`
    // (and their extents in `input` to `extents`) and answers true; false,
    // with nothing appended, when the rows are to be grouped afresh. The
    // kept keys are taken from the old rows without looking into them.
    bool keepRows(int column, const DecomposedKeyList &input, const InputEdit &edit, TreeBranch &old,
                  const TouchedRows &touched, TreeBranch &branch, std::vector<RowExtent> &extents);

    const QStringList &m_keys;
    QList<TreeBranch> &m_tree;
    // Each listed key's decomposition, in list order, while valid.
    mutable DecomposedKeyList m_decomposed;
    mutable bool m_decomposedValid = false;
    // Each loaded column's rows' extents in the list it was built from.
    std::vector<std::vector<RowExtent>> m_extents;
    // The leaf each loaded deeper column was built from (kept alive, so
    // that its address stays its own).
    std::vector<std::shared_ptr<DecomposedKeyList>> m_builtFrom;
    // Beside m_builtFrom, by column: when the keys a row kept were moved out
    // of the leaf the column was built from into the row's new leaf (the
    // two held nothing else), the new leaf and where each of its keys came
    // from. The column then follows only that leaf.
    struct MovedLeaf
    {
        bool moved = false;
        std::weak_ptr<DecomposedKeyList> to;
        std::vector<qsizetype> from;
    };
    std::vector<MovedLeaf> m_moved;
};

} // namespace kv::browser
