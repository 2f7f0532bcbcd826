#include "history/ValueDiff.h"

#include <algorithm>
#include <vector>

namespace kv::history {

namespace {

DiffNode compare(const PathStep &step, const PropertyListValue &oldValue, const PropertyListValue &newValue);

// One step of an edit script turning the old elements into the new ones.
struct Edit
{
    enum Kind { Keep, Delete, Insert } kind;
    qsizetype oldIndex; // Keep, Delete
    qsizetype newIndex; // Keep, Insert
};

// The shortest edit script from a[0..n) to b[0..m) (Myers' greedy
// algorithm), or false when it takes more than `limit` insertions and
// deletions.
bool shortestEdit(const PropertyListValue *a, qsizetype n, const PropertyListValue *b, qsizetype m, qsizetype limit,
                  std::vector<Edit> *script)
{
    const qsizetype offset = limit + 1;
    std::vector<qsizetype> v(size_t(2 * offset + 1), 0);
    // trace[d]: v for k in [-d, d] as it was before step d.
    std::vector<std::vector<qsizetype>> trace;
    qsizetype found = -1;
    for (qsizetype d = 0; d <= limit && found < 0; ++d) {
        trace.emplace_back(v.begin() + (offset - d), v.begin() + (offset + d + 1));
        for (qsizetype k = -d; k <= d; k += 2) {
            qsizetype x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1])) ? v[offset + k + 1]
                                                                                         : v[offset + k - 1] + 1;
            qsizetype y = x - k;
            while (x < n && y < m && sameValue(a[x], b[y])) {
                ++x;
                ++y;
            }
            v[offset + k] = x;
            if (x >= n && y >= m) {
                found = d;
                break;
            }
        }
    }
    if (found < 0)
        return false;

    std::vector<Edit> reversed;
    qsizetype x = n;
    qsizetype y = m;
    for (qsizetype d = found; d > 0; --d) {
        const std::vector<qsizetype> &before = trace[size_t(d)];
        auto at = [&](qsizetype k) { return before[size_t(k + d)]; };
        const qsizetype k = x - y;
        const bool down = k == -d || (k != d && at(k - 1) < at(k + 1));
        const qsizetype previousK = down ? k + 1 : k - 1;
        const qsizetype previousX = at(previousK);
        const qsizetype previousY = previousX - previousK;
        while (x > previousX + (down ? 0 : 1) && y > previousY + (down ? 1 : 0)) {
            --x;
            --y;
            reversed.push_back({Edit::Keep, x, y});
        }
        if (down) {
            --y;
            reversed.push_back({Edit::Insert, -1, y});
        } else {
            --x;
            reversed.push_back({Edit::Delete, x, -1});
        }
    }
    while (x > 0 && y > 0) {
        --x;
        --y;
        reversed.push_back({Edit::Keep, x, y});
    }
    script->assign(reversed.rbegin(), reversed.rend());
    return true;
}

void addChild(DiffNode &parent, DiffNode child)
{
    if (child.mark == DiffMark::Unchanged)
        ++parent.unchangedChildren;
    else
        parent.children.append(std::move(child));
}

void compareDictionaries(DiffNode &node, const PropertyListDictionary &a, const PropertyListDictionary &b)
{
    auto i = a.cbegin();
    auto j = b.cbegin();
    while (i != a.cend() || j != b.cend()) {
        // Mostly the keys are the same on both sides: one comparison tells.
        if (i != a.cend() && j != b.cend() && i.key() == j.key()) {
            if (i.value() == j.value())
                ++node.unchangedChildren; // equal (shared, or alike all through): no node is made
            else
                addChild(node, compare(PathStep::ofKey(j.key()), i.value(), j.value()));
            ++i;
            ++j;
        } else if (j == b.cend() || (i != a.cend() && i.key() < j.key())) {
            addChild(node, {PathStep::ofKey(i.key()), i.value(), {}, DiffMark::Removed, {}, 0});
            ++i;
        } else {
            addChild(node, {PathStep::ofKey(j.key()), {}, j.value(), DiffMark::Added, {}, 0});
            ++j;
        }
    }
}

// The elements deleted and inserted between two kept ones: as many as can
// be paired are changed, the rest removed or added.
void addRun(DiffNode &node, const PropertyListArray &a, const PropertyListArray &b, std::vector<qsizetype> &deleted,
            std::vector<qsizetype> &inserted)
{
    const size_t paired = std::min(deleted.size(), inserted.size());
    for (size_t p = 0; p < paired; ++p)
        addChild(node, compare(PathStep::ofIndex(inserted[p]), a.at(deleted[p]), b.at(inserted[p])));
    for (size_t p = paired; p < deleted.size(); ++p)
        addChild(node, {PathStep::ofIndex(deleted[p]), a.at(deleted[p]), {}, DiffMark::Removed, {}, 0});
    for (size_t p = paired; p < inserted.size(); ++p)
        addChild(node, {PathStep::ofIndex(inserted[p]), {}, b.at(inserted[p]), DiffMark::Added, {}, 0});
    deleted.clear();
    inserted.clear();
}

void compareArrays(DiffNode &node, const PropertyListArray &a, const PropertyListArray &b)
{
    // The common beginning and end are kept as they are.
    qsizetype prefix = 0;
    const qsizetype shorter = std::min(a.size(), b.size());
    while (prefix < shorter && sameValue(a.at(prefix), b.at(prefix)))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < shorter - prefix && sameValue(a.at(a.size() - 1 - suffix), b.at(b.size() - 1 - suffix)))
        ++suffix;
    node.unchangedChildren += prefix + suffix;
    const qsizetype n = a.size() - prefix - suffix;
    const qsizetype m = b.size() - prefix - suffix;

    // The script's length is bounded so that the search stays near linear
    // in the arrays' length (and its trace small); past it the middles are
    // paired by position.
    const qsizetype work = std::max<qsizetype>(1, n + m);
    const qsizetype limit = std::min<qsizetype>(n + m, std::clamp<qsizetype>(qsizetype(50'000'000) / work, 64, 1000));
    std::vector<Edit> script;
    if (n == 0 || m == 0 || !shortestEdit(a.constData() + prefix, n, b.constData() + prefix, m, limit, &script)) {
        script.clear();
        const qsizetype common = std::min(n, m);
        for (qsizetype i = 0; i < common; ++i) {
            script.push_back({Edit::Delete, i, -1});
            script.push_back({Edit::Insert, -1, i});
        }
        for (qsizetype i = common; i < n; ++i)
            script.push_back({Edit::Delete, i, -1});
        for (qsizetype i = common; i < m; ++i)
            script.push_back({Edit::Insert, -1, i});
    }

    std::vector<qsizetype> deleted;
    std::vector<qsizetype> inserted;
    for (const Edit &edit : script) {
        switch (edit.kind) {
        case Edit::Keep:
            addRun(node, a, b, deleted, inserted);
            ++node.unchangedChildren;
            break;
        case Edit::Delete: deleted.push_back(prefix + edit.oldIndex); break;
        case Edit::Insert: inserted.push_back(prefix + edit.newIndex); break;
        }
    }
    addRun(node, a, b, deleted, inserted);
}

DiffNode compare(const PathStep &step, const PropertyListValue &oldValue, const PropertyListValue &newValue)
{
    DiffNode node{step, oldValue, newValue, DiffMark::Unchanged, {}, 0};
    if (oldValue.identity() == newValue.identity())
        return node;
    if (oldValue.isNone() || newValue.isNone()) {
        node.mark = oldValue.isNone() ? DiffMark::Added : DiffMark::Removed;
        return node;
    }
    if (oldValue.kind() != newValue.kind()) {
        node.mark = DiffMark::Changed;
        return node;
    }
    switch (newValue.kind()) {
    case PropertyListValue::Kind::Dictionary:
        compareDictionaries(node, oldValue.dictionary(), newValue.dictionary());
        break;
    case PropertyListValue::Kind::Array: compareArrays(node, oldValue.array(), newValue.array()); break;
    default: node.mark = oldValue == newValue ? DiffMark::Unchanged : DiffMark::Changed; return node;
    }
    if (node.children.isEmpty())
        node.unchangedChildren = 0; // equal: nothing to summarise
    else
        node.mark = DiffMark::Changed;
    return node;
}

void collect(const DiffNode &node, EntryPath &path, QList<DiffEntry> *entries)
{
    if (node.children.isEmpty()) {
        if (node.mark != DiffMark::Unchanged)
            entries->append({path, node.oldValue, node.newValue, node.mark});
        return;
    }
    for (const DiffNode &child : node.children) {
        path.append(child.step);
        collect(child, path, entries);
        path.removeLast();
    }
}

} // namespace

QString entryPathText(const EntryPath &path)
{
    QStringList steps;
    steps.reserve(path.size());
    for (const PathStep &step : path)
        steps.append(step.text());
    return steps.join(QStringLiteral(" \u203a "));
}

DiffNode diffTree(const PropertyListValue &oldValue, const PropertyListValue &newValue)
{
    return compare(PathStep(), oldValue, newValue);
}

QList<DiffEntry> diffEntries(const DiffNode &tree)
{
    QList<DiffEntry> entries;
    EntryPath path;
    collect(tree, path, &entries);
    return entries;
}

QList<DiffEntry> diffValues(const PropertyListValue &oldValue, const PropertyListValue &newValue)
{
    return diffEntries(diffTree(oldValue, newValue));
}

} // namespace kv::history
