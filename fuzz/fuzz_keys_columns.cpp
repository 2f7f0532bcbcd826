// Key decomposition and column building: the input's lines are store keys.
// They are sorted, decomposed (both ways, which must agree), column zero is
// built and a few columns below each of its first rows are built as the
// browser would when a row is selected.

#include "browser/ColumnTree.h"
#include "fuzz/FuzzSupport.h"

#include <algorithm>

namespace {

// Builds the columns below `branch` down to `maxColumn`, checking each.
void descend(const kv::TreeBranch &branch, int column, int maxColumn, int *budget)
{
    fuzz::check(branch.names.size() == branch.nodes.size(), "one node per row");
    for (qsizetype row = 0; row < branch.nodes.size() && *budget > 0; ++row) {
        const kv::BranchNode &node = branch.nodes.at(row);
        fuzz::check(node.name == branch.names.at(row), "row name and node name agree");
        fuzz::check(node.key || node.leaf, "a row ends a key or leads further");
        if (node.key)
            fuzz::check(node.key->count() == column + 1, "a row's key ends in its column");
        if (!node.leaf || column + 1 > maxColumn)
            continue;
        --*budget;
        for (const kv::DecomposedKeyPtr &key : *node.leaf)
            fuzz::check(key && key->count() > column + 1, "keys below a row continue past it");
        const kv::TreeBranch below = kv::buildTreeBranchForColumn(column + 1, node.leaf.get());
        fuzz::check(!below.names.isEmpty(), "a row that leads further has a next column");
        descend(below, column + 1, maxColumn, budget);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QStringList keys = text.split(u'\n');
    std::sort(keys.begin(), keys.end());
    for (const QString &key : std::as_const(keys)) {
        const kv::DecomposedKeyPtr direct = kv::decomposedString(key);
        const kv::DecomposedKeyPtr scanned = kv::decomposedStringByScanning(key);
        fuzz::check(direct && scanned, "decomposition gives a key");
        // What a first column asks, before the path is split.
        fuzz::check(direct->hasComponent(0) == (scanned->count() > 0), "a domain exactly when scanning finds one");
        fuzz::check(direct->hasComponentsAfter(0) == (scanned->count() > 1), "a path exactly when scanning finds one");
        fuzz::check(direct->hasSameComponents(*scanned), "direct and scanning decompositions agree");
        fuzz::check(direct->storeKey() == key, "the decomposed key keeps its store key");
        fuzz::check(direct->components().join(QString()) == direct->joined(), "joined() is the components in order");
    }
    kv::DecomposedKeyList list = kv::decomposedStrings(keys);
    fuzz::check(list.size() == size_t(keys.size()), "one decomposed key per key");
    const kv::TreeBranch columnZero = kv::buildTreeBranchForColumn(0, &list);
    int budget = 64;
    descend(columnZero, 0, 6, &budget);
    return 0;
}
