#pragma once

// Key decomposition and the column tree of the key browser.

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace kv {

// The components of one store key: the domain component with its ":", then
// one component per "/"-separated piece, each with its leading "/". Shared and
// immutable; it also carries the store key it was made from.
class DecomposedKey;
using DecomposedKeyPtr = std::shared_ptr<const DecomposedKey>;
using DecomposedKeyList = std::vector<DecomposedKeyPtr>;

class DecomposedKey
{
public:
    // Number of components (0 for an empty DecomposedKey).
    int count() const;
    bool isEmpty() const { return count() == 0; }
    // Component i as a string, 0 <= i < count().
    QString component(int i) const;
    // The components joined in order with nothing between them.
    QString joined() const;
    // The store key this was made from.
    const QString &storeKey() const;

    // (representation chosen by the implementation)
};

// Splits a store key into its components.
DecomposedKeyPtr decomposedString(const QString &key);

// One row of a browser column: NAME, KEY (the last key ending in this row, or
// null), LEAF (the keys continuing below this row, or null when none do).
struct BranchNode
{
    QString name;
    DecomposedKeyPtr key;
    std::shared_ptr<DecomposedKeyList> leaf;
};

// One browser column: the row names and one node per row (row r's node is
// nodes[r]; names[r] == nodes[r].name).
struct TreeBranch
{
    QStringList names;
    QList<BranchNode> nodes;
};

// Groups `keysArray` (may be null) by the component at `column`.
TreeBranch buildTreeBranchForColumn(int column, const DecomposedKeyList *keysArray);

} // namespace kv
