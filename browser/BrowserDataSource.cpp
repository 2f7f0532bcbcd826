#include "browser/BrowserDataSource.h"

#include <QScopeGuard>

#include <algorithm>

namespace kv::browser {

BrowserDataSource::BrowserDataSource(const QStringList &storeKeysList, QList<TreeBranch> &storeTree)
    : m_keys(storeKeysList), m_tree(storeTree)
{}

const DecomposedKeyList &BrowserDataSource::decomposedKeys() const
{
    // Kept while they are the listed keys' (told apart by the shared text,
    // else compared); a reload says so through keyListReplaced().
    bool valid = m_decomposedValid && qsizetype(m_decomposed.size()) == m_keys.size();
    for (qsizetype i = 0; valid && i < m_keys.size(); ++i) {
        const QString &kept = m_decomposed[size_t(i)]->storeKey();
        valid = kept.constData() == m_keys.at(i).constData() || kept == m_keys.at(i);
    }
    if (!valid) {
        m_decomposed = decomposedStrings(m_keys);
        m_decomposedValid = true;
    }
    return m_decomposed;
}

DecomposedKeyList BrowserDataSource::storeDecomposedKeysListArray() const
{
    return decomposedKeys();
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
        m_builtFrom.clear();
        m_moved.clear();
        m_extents.assign(1, {});
        const DecomposedKeyList &keys = decomposedKeys();
        m_tree.append(buildTreeBranchForRange(0, keys, 0, qsizetype(keys.size()), &m_extents[0]));
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
    std::vector<RowExtent> extents;
    TreeBranch branch =
        keys ? buildTreeBranchForRange(column, *keys, 0, qsizetype(keys->size()), &extents) : TreeBranch();

    if (column < m_tree.size())
        m_tree.remove(column, m_tree.size() - column);
    // Entry c must stay column c: columns never loaded before are empty.
    while (m_tree.size() < column)
        m_tree.append(TreeBranch());
    m_tree.append(std::move(branch));
    m_builtFrom.resize(size_t(column) + 1);
    m_builtFrom[size_t(column)] = std::move(parentLeaf);
    m_moved.resize(size_t(column) + 1);
    m_moved[size_t(column)] = {};
    m_extents.resize(size_t(column) + 1);
    m_extents[size_t(column)] = std::move(extents);
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

namespace kv::browser {

bool BrowserDataSource::columnBuiltFrom(int column, const DecomposedKeyList *leaf) const
{
    return column > 0 && column < m_tree.size() && size_t(column) < m_builtFrom.size() && leaf
           && m_builtFrom[size_t(column)].get() == leaf;
}

std::optional<bool> BrowserDataSource::applyKeyListEdits(const std::vector<SortedListEdit> &edits)
{
    bool changed = false;
    for (const SortedListEdit &edit : edits) {
        const std::optional<bool> one = applyKeyListEdit(edit);
        if (!one)
            return std::nullopt;
        changed = changed || *one;
    }
    // The edits must have led to the list as it is now.
    if (qsizetype(m_decomposed.size()) != m_keys.size()) {
        m_decomposedValid = false;
        return std::nullopt;
    }
    return changed;
}

std::optional<bool> BrowserDataSource::applyKeyListEdit(const SortedListEdit &edit)
{
    if (edit.isEmpty())
        return false;
    // The kept decompositions must be those of the list before, and column 0
    // built from them.
    const qsizetype newCount = qsizetype(m_decomposed.size()) - edit.removedCount() + qsizetype(edit.added.size());
    if (!m_decomposedValid || m_tree.isEmpty() || m_extents.empty()
        || m_extents[0].size() != size_t(m_tree.at(0).nodes.size()) || newCount < 0) {
        m_decomposedValid = false;
        return std::nullopt;
    }
    // Only the added keys are decomposed.
    applySortedListEdit(m_decomposed, edit, [](const QString &key) { return decomposedString(key); });

    InputEdit inputEdit;
    inputEdit.removed = edit.removed;
    inputEdit.addedAt.reserve(edit.added.size());
    for (const auto &added : edit.added)
        inputEdit.addedAt.push_back(added.first);
    regroupEdited(0, m_decomposed, inputEdit);
    return true;
}

BrowserDataSource::InputEdit BrowserDataSource::inputEdit(const DecomposedKeyList &before,
                                                          const DecomposedKeyList &after)
{
    // Both are in key order, and a key kept is the same decomposition.
    InputEdit edit;
    size_t i = 0;
    size_t j = 0;
    while (i < before.size() || j < after.size()) {
        if (i < before.size() && j < after.size() && before[i] == after[j]) {
            ++i;
            ++j;
        } else if (j == after.size() || (i < before.size() && before[i]->storeKey() < after[j]->storeKey())) {
            appendRemoved(edit, qsizetype(i));
            ++i;
        } else {
            edit.addedAt.push_back(qsizetype(i));
            ++j;
        }
    }
    return edit;
}

void BrowserDataSource::appendRemoved(InputEdit &edit, qsizetype i)
{
    // A run goes on unless an entry was added inside it.
    if (!edit.removed.empty() && edit.removed.back().second == i
        && (edit.addedAt.empty() || edit.addedAt.back() < edit.removed.back().first))
        edit.removed.back().second = i + 1;
    else
        edit.removed.emplace_back(i, i + 1);
}

std::optional<BrowserDataSource::InputEdit> BrowserDataSource::movedEdit(const DecomposedKeyList &before,
                                                                         const DecomposedKeyList &after,
                                                                         const std::vector<qsizetype> &from)
{
    // As inputEdit() walks the two lists; the keys moved out of `before`
    // (null there now) are told by `from`, the removed ones are still there.
    if (from.size() != after.size())
        return std::nullopt;
    InputEdit edit;
    size_t i = 0;
    size_t j = 0;
    while (i < before.size() || j < after.size()) {
        if (j < after.size() && from[j] == qsizetype(i)) {
            ++i;
            ++j;
        } else if (i < before.size() && before[i]
                   && (j == after.size() || from[j] >= 0 || before[i]->storeKey() < after[j]->storeKey())) {
            appendRemoved(edit, qsizetype(i));
            ++i;
        } else if (j < after.size() && from[j] < 0) {
            edit.addedAt.push_back(qsizetype(i));
            ++j;
        } else {
            return std::nullopt;
        }
    }
    return edit;
}

bool BrowserDataSource::followLeaf(int column, const std::shared_ptr<DecomposedKeyList> &leaf)
{
    if (column <= 0 || column >= m_tree.size() || size_t(column) >= m_builtFrom.size() || !leaf
        || !m_builtFrom[size_t(column)] || size_t(column) >= m_extents.size()
        || m_extents[size_t(column)].size() != size_t(m_tree.at(column).nodes.size()))
        return false;
    InputEdit edit;
    m_moved.resize(m_builtFrom.size());
    MovedLeaf &moved = m_moved[size_t(column)];
    if (moved.moved) {
        // The keys were moved to one leaf: only it can be followed.
        std::optional<InputEdit> found =
            moved.to.lock() == leaf ? movedEdit(*m_builtFrom[size_t(column)], *leaf, moved.from) : std::nullopt;
        if (!found) {
            ++movedLeavesLost;
            return false;
        }
        ++movedLeavesFollowed;
        edit = std::move(*found);
        moved = {};
    } else {
        edit = inputEdit(*m_builtFrom[size_t(column)], *leaf);
    }
    m_builtFrom[size_t(column)] = leaf;
    if (edit.removed.empty() && edit.addedAt.empty())
        return true;
    // The columns after it keep what they were built from, to follow in turn.
    regroupEdited(column, *leaf, edit);
    return true;
}

void BrowserDataSource::regroupEdited(int column, const DecomposedKeyList &input, const InputEdit &edit)
{
    const std::vector<RowExtent> &extents = m_extents[size_t(column)];
    const qsizetype rowCount = qsizetype(extents.size());
    if (rowCount == 0) {
        // Nothing grouped before: group everything.
        std::vector<RowExtent> newExtents;
        TreeBranch branch = buildTreeBranchForRange(column, input, 0, qsizetype(input.size()), &newExtents);
        m_tree[column] = std::move(branch);
        m_extents[size_t(column)] = std::move(newExtents);
        return;
    }

    // Where an old entry goes: its index less the entries removed before it,
    // plus the entries added before it.
    std::vector<qsizetype> removedThrough; // removed entries up to each run's end
    removedThrough.reserve(edit.removed.size());
    {
        qsizetype n = 0;
        for (const auto &run : edit.removed) {
            n += run.second - run.first;
            removedThrough.push_back(n);
        }
    }
    const qsizetype oldSize =
        qsizetype(input.size()) - qsizetype(edit.addedAt.size()) + (removedThrough.empty() ? 0 : removedThrough.back());
    // Asked for old entries in ascending order (the rows'), it steps on from
    // the runs and added entries it passed for the last one, rather than
    // searching for them again.
    auto nextRun = edit.removed.cbegin();   // the first run starting after the last entry asked for
    auto nextAdded = edit.addedAt.cbegin(); // the first entry added after it
    qsizetype lastAsked = -1;
    auto newIndex = [&](qsizetype old) {
        if (old < lastAsked) {
            nextRun = edit.removed.cbegin();
            nextAdded = edit.addedAt.cbegin();
        }
        lastAsked = old;
        // Runs starting at or before `old` (which is not removed itself).
        while (nextRun != edit.removed.cend() && nextRun->first <= old)
            ++nextRun;
        while (nextAdded != edit.addedAt.cend() && *nextAdded <= old)
            ++nextAdded;
        const qsizetype runs = nextRun - edit.removed.cbegin();
        const qsizetype removed = runs == 0 ? 0 : removedThrough[size_t(runs - 1)];
        return old - removed + (nextAdded - edit.addedAt.cbegin());
    };

    // The rows an edit of old entries [begin, end) (removed, or an entry
    // added before `begin` when empty) may change: the row holding or before
    // begin - 1, up to the row holding or after `end`, and every row between.
    auto rowAtOrBefore = [&](qsizetype index) {
        const auto it = std::upper_bound(extents.cbegin(), extents.cend(), index,
                                         [](qsizetype i, const RowExtent &e) { return i < e.first; });
        return qsizetype(it - extents.cbegin()) - 1; // -1: none
    };
    auto rowAtOrAfter = [&](qsizetype index) {
        const auto it = std::lower_bound(extents.cbegin(), extents.cend(), index,
                                         [](const RowExtent &e, qsizetype i) { return e.last < i; });
        return qsizetype(it - extents.cbegin()); // rowCount: none
    };
    std::vector<std::pair<qsizetype, qsizetype>> touched; // row ranges [first, last]
    auto touch = [&](qsizetype begin, qsizetype end) {
        const qsizetype first = std::max<qsizetype>(0, rowAtOrBefore(begin - 1));
        const qsizetype last = std::min(rowCount - 1, rowAtOrAfter(end));
        touched.emplace_back(first, std::max(first, last));
    };
    for (const auto &run : edit.removed)
        touch(run.first, run.second);
    for (const qsizetype at : edit.addedAt)
        touch(at, at);

    // The touched rows, merged where they meet or overlap.
    std::sort(touched.begin(), touched.end());
    std::vector<std::pair<qsizetype, qsizetype>> merged;
    for (const auto &range : touched) {
        if (!merged.empty() && range.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }

    // The column again: untouched rows kept (their extents moved), each run of
    // touched rows grouped afresh from the entries between the untouched rows
    // around it.
    // The kept rows are moved, not copied, when nothing else shares them.
    TreeBranch old = std::move(m_tree[column]);
    TreeBranch branch;
    std::vector<RowExtent> newExtents;
    branch.names.reserve(old.names.size());
    branch.nodes.reserve(old.nodes.size());
    newExtents.reserve(extents.size());
    qsizetype row = 0;
    auto keep = [&](qsizetype until) {
        for (; row < until; ++row) {
            branch.names.append(std::move(old.names[row]));
            branch.nodes.append(std::move(old.nodes[row]));
            newExtents.push_back({newIndex(extents[size_t(row)].first), newIndex(extents[size_t(row)].last)});
        }
    };
    for (const auto &range : merged) {
        keep(range.first);
        TouchedRows touched{range.first, range.second, 0, oldSize, 0, qsizetype(input.size())};
        if (range.first > 0) {
            touched.oldBegin = extents[size_t(range.first - 1)].last + 1;
            touched.begin = newIndex(touched.oldBegin - 1) + 1;
        }
        if (range.second + 1 < rowCount) {
            touched.oldEnd = extents[size_t(range.second + 1)].first;
            touched.end = newIndex(touched.oldEnd);
        }
        if (keepRows(column, input, edit, old, touched, branch, newExtents)) {
            ++rowRunsKept;
        } else {
            ++rowRunsRegrouped;
            const TreeBranch regrouped =
                buildTreeBranchForRange(column, input, touched.begin, touched.end, &newExtents);
            branch.names.append(regrouped.names);
            branch.nodes.append(regrouped.nodes);
        }
        row = range.second + 1;
    }
    keep(rowCount);
    m_tree[column] = std::move(branch);
    m_extents[size_t(column)] = std::move(newExtents);
}

bool BrowserDataSource::keepRows(int column, const DecomposedKeyList &input, const InputEdit &edit, TreeBranch &old,
                                 const TouchedRows &touched, TreeBranch &branch, std::vector<RowExtent> &extents)
{
    const std::vector<RowExtent> &oldExtents = m_extents[size_t(column)];
    // Plain copies: lambdas below use them (clang does not capture bindings).
    const qsizetype first = touched.first, last = touched.last;
    const qsizetype oldBegin = touched.oldBegin, oldEnd = touched.oldEnd;
    const qsizetype begin = touched.begin, end = touched.end;

    struct Row
    {
        DecomposedKeyList leaf;
        DecomposedKeyPtr key;
        qsizetype firstEntry = -1;
        qsizetype lastEntry = -1;
        size_t oldLeafAt = 0;         // the next old leaf entry not yet met
        qsizetype removedPending = 0; // removed entries of the row not yet passed in its old leaf
        std::vector<qsizetype> from;  // for the leaf the next column was built from: where each entry came from
    };
    std::vector<Row> rows(size_t(last - first + 1));
    // The component each row's keys share, seen in a key of the row (the
    // keys stay alive: in the old rows, or moved to the new ones).
    std::vector<ComponentView> names;
    names.reserve(rows.size());
    for (qsizetype r = first; r <= last; ++r) {
        const BranchNode &node = old.nodes[r];
        const DecomposedKey *any = node.leaf && !node.leaf->empty() ? (*node.leaf)[0].get() : node.key.get();
        if (!any)
            return false;
        names.push_back(any->componentView(column));
    }
    auto rowName = [&](qsizetype r) { return names[size_t(r - first)]; };
    // The row whose old leaf the next column was built from, when nothing
    // else holds that leaf: its kept keys are moved to its new leaf, and
    // where each of the new leaf's keys came from is kept for the next
    // column to follow.
    qsizetype movedRow = -1;
    m_moved.resize(m_builtFrom.size());
    if (size_t(column) + 1 < m_builtFrom.size()) {
        const std::shared_ptr<DecomposedKeyList> &next = m_builtFrom[size_t(column) + 1];
        for (qsizetype r = first; next && r <= last && movedRow < 0; ++r) {
            if (old.nodes[r].leaf == next && next.use_count() == 2)
                movedRow = r;
        }
    }
    // Should the rows be grouped afresh after all, the moved keys go back.
    bool keptRows = false;
    const auto moveBack = qScopeGuard([&] {
        if (keptRows || movedRow < 0)
            return;
        Row &row = rows[size_t(movedRow - first)];
        DecomposedKeyList &oldLeaf = *old.nodes[movedRow].leaf;
        for (size_t k = 0; k < row.from.size(); ++k) {
            if (row.from[k] >= 0)
                oldLeaf[size_t(row.from[k])] = std::move(row.leaf[k]);
        }
        m_moved[size_t(column) + 1].moved = false;
    });
    // The rows made, in order: an old row r (first <= r <= last) keeping its
    // node's name, or a row of added keys only (last + 1 + its index in
    // `newRows`).
    // Old rows left with no keys are not made; an old row cannot be made
    // twice (split by a row between), nor two old rows into one.
    std::vector<qsizetype> made;
    std::vector<Row> newRows;
    std::vector<ComponentView> newNames;
    qsizetype lastOld = first - 1; // the last old row made (those before it can take no keys)
    const auto madeName = [&](qsizetype m) { return m <= last ? rowName(m) : newNames[size_t(m - last - 1)]; };
    const auto madeRow = [&](qsizetype m) -> Row & {
        return m <= last ? rows[size_t(m - first)] : newRows[size_t(m - last - 1)];
    };
    auto place = [&](qsizetype m, qsizetype j) {
        Row &row = madeRow(m);
        if (row.firstEntry < 0) {
            row.firstEntry = j;
            if (m <= last) {
                if (const auto &oldLeaf = old.nodes[m].leaf)
                    row.leaf.reserve(oldLeaf->size());
            }
        }
        row.lastEntry = j;
        return &row;
    };

    auto run = std::upper_bound(edit.removed.cbegin(), edit.removed.cend(), oldBegin,
                                [](qsizetype i, const auto &r) { return i < r.second; });
    auto added = std::lower_bound(edit.addedAt.cbegin(), edit.addedAt.cend(), oldBegin);
    // The kept keys from old entry i (new entry j) on that are the next
    // ones of row r's old leaf, up to the next edit and the row's end,
    // added to the row's new leaf; how many (none for fewer than two).
    const auto keptRun = [&](Row &row, qsizetype r, qsizetype i, qsizetype j) -> qsizetype {
        const std::shared_ptr<DecomposedKeyList> &oldLeaf = old.nodes[r].leaf;
        if (row.removedPending != 0 || !oldLeaf)
            return 0;
        qsizetype limit = std::min(oldExtents[size_t(r)].last + 1, oldEnd);
        if (added != edit.addedAt.cend())
            limit = std::min(limit, *added);
        if (run != edit.removed.cend())
            limit = std::min(limit, run->first);
        limit = std::min(limit - i, end - j);
        const size_t from = row.oldLeafAt;
        if (limit < 2 || oldLeaf->size() - from < 2)
            return 0;
        const size_t most = std::min(size_t(limit), oldLeaf->size() - from);
        const auto kept = oldLeaf->begin() + qsizetype(from);
        const auto fresh = input.cbegin() + j;
        size_t n = 0;
        while (n < most && kept[qsizetype(n)] == fresh[qsizetype(n)])
            ++n;
        if (n < 2)
            return 0;
        // As for one key below: moved when nothing else holds the old leaf.
        if (r == movedRow) {
            m_moved[size_t(column) + 1].moved = true;
            for (size_t k = 0; k < n; ++k) {
                row.leaf.push_back(std::move(kept[qsizetype(k)]));
                row.from.push_back(qsizetype(from + k));
            }
        } else if (oldLeaf.use_count() == 1) {
            row.leaf.insert(row.leaf.end(), std::make_move_iterator(kept),
                            std::make_move_iterator(kept + qsizetype(n)));
        } else {
            row.leaf.insert(row.leaf.end(), fresh, fresh + qsizetype(n));
        }
        row.oldLeafAt = from + n;
        row.lastEntry = j + qsizetype(n) - 1;
        return qsizetype(n);
    };
    qsizetype searched = 0;
    const qsizetype searchBudget = 4 * (end - begin) + 64;
    qsizetype oldRow = first; // the first row not ended before the old entry met
    qsizetype i = oldBegin;
    for (qsizetype j = begin; j < end;) {
        if (added != edit.addedAt.cend() && *added == i) {
            // An added key: in the row made last, the next old row, or a new
            // row, by its name.
            const DecomposedKey *key = input[size_t(j)].get();
            if (key && key->hasComponent(column)) {
                const ComponentView name = key->componentView(column);
                if (made.empty() || !(name == madeName(made.back()))) {
                    if (lastOld < last && name == rowName(lastOld + 1)) {
                        made.push_back(++lastOld);
                    } else {
                        made.push_back(last + 1 + qsizetype(newRows.size()));
                        newRows.emplace_back();
                        newNames.push_back(name);
                    }
                }
                const qsizetype m = made.back();
                Row *row = place(m, j);
                if (key->hasComponentsAfter(column)) {
                    row->leaf.push_back(input[size_t(j)]);
                    if (m == movedRow)
                        row->from.push_back(-1);
                } else {
                    row->key = input[size_t(j)];
                }
            }
            ++added;
            ++j;
            continue;
        }
        if (i >= oldEnd)
            return false; // the edit does not add up
        while (oldRow <= last && oldExtents[size_t(oldRow)].last < i)
            ++oldRow;
        const qsizetype r = oldRow <= last && oldExtents[size_t(oldRow)].first <= i ? oldRow : -1;
        if (run != edit.removed.cend() && run->first <= i) {
            // A removed key: its row has one to pass in its old leaf.
            if (r >= 0)
                ++rows[size_t(r - first)].removedPending;
            if (++i == run->second)
                ++run;
            continue;
        }
        // Kept keys up to the next edit, in the row reached, each the next
        // of its old leaf: taken over together.
        if (r >= 0 && !made.empty() && r == made.back()) {
            if (const qsizetype n = keptRun(rows[size_t(r - first)], r, i, j)) {
                i += n;
                j += n;
                continue;
            }
        }
        // A kept key, old entry i: in its old row, and a leaf there if the
        // old row's leaf holds it (among the removed ones not passed yet).
        if (r >= 0) {
            Row &row = rows[size_t(r - first)];
            const std::shared_ptr<DecomposedKeyList> &oldLeaf = old.nodes[r].leaf;
            const size_t leafSize = oldLeaf ? oldLeaf->size() : 0;
            const size_t window = std::min(leafSize, row.oldLeafAt + size_t(row.removedPending) + 1);
            size_t at = row.oldLeafAt;
            while (at < window && (*oldLeaf)[at] != input[size_t(j)])
                ++at;
            // Keys that end in this column, met after many removed ones,
            // each look through those again: past a budget linear in the
            // entries, the rows are grouped afresh instead.
            searched += qsizetype(at - row.oldLeafAt);
            if (searched > searchBudget)
                return false;
            const bool isLeaf = at < window;
            if (isLeaf || input[size_t(j)]->hasComponent(column)) {
                if (made.empty() || r != made.back()) {
                    if (r <= lastOld)
                        return false; // its row was made, and another after it
                    if (!made.empty() && rowName(r) == madeName(made.back()))
                        return false; // two rows become one
                    made.push_back(r);
                    lastOld = r;
                }
                place(r, j);
                if (isLeaf) {
                    row.removedPending -= qsizetype(at - row.oldLeafAt);
                    row.oldLeafAt = at + 1;
                    // Taken from the old leaf when nothing else holds it:
                    // no count to change, nothing to look into.
                    if (r == movedRow) {
                        // From here on the next column's old input lacks it.
                        m_moved[size_t(column) + 1].moved = true;
                        row.leaf.push_back(std::move((*oldLeaf)[at]));
                        row.from.push_back(qsizetype(at));
                    } else if (oldLeaf.use_count() == 1) {
                        row.leaf.push_back(std::move((*oldLeaf)[at]));
                    } else {
                        row.leaf.push_back(input[size_t(j)]);
                    }
                } else {
                    row.key = input[size_t(j)];
                }
            }
        }
        ++i;
        ++j;
    }

    keptRows = true;
    keptRunRowsAdded += int(newRows.size());
    keptRunRowsDropped += int(last - first + 1 - (qsizetype(made.size()) - qsizetype(newRows.size())));
    for (const qsizetype m : made) {
        Row &row = madeRow(m);
        BranchNode node;
        node.name = m <= last ? old.nodes[m].name : madeName(m).toString();
        node.key = std::move(row.key);
        if (!row.leaf.empty())
            node.leaf = std::make_shared<DecomposedKeyList>(std::move(row.leaf));
        if (m == movedRow && m_moved[size_t(column) + 1].moved) {
            m_moved[size_t(column) + 1].to = node.leaf;
            m_moved[size_t(column) + 1].from = std::move(row.from);
        }
        branch.names.append(node.name);
        branch.nodes.append(std::move(node));
        extents.push_back({row.firstEntry, row.lastEntry});
    }
    return true;
}

} // namespace kv::browser
