#pragma once

// Key decomposition and the column tree of the key browser.
//
// A store key is split into its components: the domain component (the text
// before the first ":", followed by ":"), then one component per "/"-separated
// piece after it, each beginning with its "/". White space and line breaks at
// the very start of the key, directly after the first ":" and directly after a
// "/" are dropped. A DecomposedKey keeps one shared copy of its key plus the
// boundaries of its components; components are made into strings on request.
// The components after the domain are found when first asked for.

#include "platform/SharedReference.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <vector>

namespace kv {

class DecomposedKey;
void destroyDecomposedKey(const DecomposedKey *key);
using DecomposedKeyPtr = SharedReference<DecomposedKey, &destroyDecomposedKey>;
using DecomposedKeyList = std::vector<DecomposedKeyPtr>;

// One component seen without copying: an optional leading "/", a text inside
// the store key, and an optional trailing ":".
struct ComponentView
{
    bool slash = false;
    QStringView text;
    bool colon = false;

    qsizetype size() const { return text.size() + (slash ? 1 : 0) + (colon ? 1 : 0); }
    QString toString() const;
    // Character-by-character, case-sensitive equality of the spelled components.
    friend bool operator==(const ComponentView &a, const ComponentView &b);
};

// The components of one store key: the domain component with its ":", then
// one component per "/"-separated piece, each with its leading "/". Shared and
// immutable; it also carries the store key it was made from.
class DecomposedKey : public SharedCount
{
public:
    // An empty DecomposedKey of `storeKey`.
    explicit DecomposedKey(const QString &storeKey = QString());

    // Number of components (0 for an empty DecomposedKey).
    int count() const
    {
        splitPath();
        return int(m_components.size());
    }
    bool isEmpty() const { return m_components.isEmpty(); }
    // count() > i, and count() > i + 1: for i == 0 mostly told without
    // splitting the path (see below).
    bool hasComponent(int i) const { return i == 0 ? !isEmpty() : count() > i; }
    bool hasComponentsAfter(int i) const;
    // Component i as a string, 0 <= i < count().
    QString component(int i) const;
    // Component i without copying, 0 <= i < count(); valid while this lives.
    ComponentView componentView(int i) const;
    // The components as strings.
    QStringList components() const;
    // The components joined in order with nothing between them. It equals the
    // store key unless the key had no ":" (a ":" is added) or white space was
    // dropped at the start, after the first ":" or after a "/".
    QString joined() const;
    // The store key this was made from.
    const QString &storeKey() const { return m_key; }

    // Same components (the store keys may differ in dropped white space).
    bool hasSameComponents(const DecomposedKey &other) const;

private:
    friend DecomposedKeyPtr decomposedString(const QString &key);
    friend DecomposedKeyPtr decomposedStringByScanning(const QString &key);
    friend void componentViews(const QString &key, std::vector<ComponentView> &views);

    // Splits the part after the domain component, when that is still to do.
    void splitPath() const
    {
        if (m_pathAt >= 0)
            splitPathNow();
    }
    void splitPathNow() const;

    // Boundaries of one component inside m_key: the text part's offset and
    // length, and whether "/" comes before it or ":" after it. The domain
    // component always has the ":"; `colonInKey` tells whether that ":" stands
    // in the key right after the text or was added for a key without ":".
    struct Component
    {
        qint32 offset;
        quint32 length : 29;
        quint32 slash : 1;
        quint32 colon : 1;
        quint32 colonInKey : 1;
    };
    static constexpr qsizetype MaximumKeyLength = (qsizetype(1) << 29) - 1;

    // The components: the first (the domain) held inline, the others, found
    // only for keys whose path is looked into, in an array of their own.
    class ComponentList
    {
    public:
        ComponentList() = default;
        ComponentList(const ComponentList &other) { *this = other; }
        ComponentList &operator=(const ComponentList &other);

        qsizetype size() const { return m_size; }
        bool isEmpty() const { return m_size == 0; }
        const Component &at(qsizetype i) const { return i == 0 ? m_first : m_rest[i - 1]; }
        void append(const Component &component);

    private:
        Component m_first{};
        std::unique_ptr<Component[]> m_rest;
        qint32 m_size = 0;
        qint32 m_restCapacity = 0;
    };

    // The domain component is found at once; the components after it, which
    // a browser's first column does not need, are found on first use (the
    // key's offset where they start is kept until then, else -1). Not to be
    // used from two threads at once. The offset comes first, beside the
    // reference count.
    mutable qint32 m_pathAt = -1;
    QString m_key;
    mutable ComponentList m_components;
};

inline void destroyDecomposedKey(const DecomposedKey *key)
{
    delete key;
}

// Splits a store key into its components. Keys without any white space or
// line break take a direct path (finding the components after the domain on
// first use); the others are scanned.
DecomposedKeyPtr decomposedString(const QString &key);
// The same result, always produced with the scanner (kept for comparison).
DecomposedKeyPtr decomposedStringByScanning(const QString &key);
// decomposedString of each key, in order; empty DecomposedKeys included.
DecomposedKeyList decomposedStrings(const QStringList &keys);
// The components of `key` as decomposedString(key) gives them (each view's
// text, slash and colon the same), into `views` (emptied first), without
// making a DecomposedKey unless the key needs scanning. The views look into
// the key's text, valid while it lives.
void componentViews(const QString &key, std::vector<ComponentView> &views);

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

// Groups `keysArray` (may be null) by the component at `column`, in one pass:
// consecutive keys with equal components share a row. Keys with no component
// at `column` (in column 0: the empty DecomposedKeys of empty or blank keys
// and of keys beginning with ":") get no row; the keys around them are grouped
// as though they were not there. The DecomposedKeys are shared, not copied.
TreeBranch buildTreeBranchForColumn(int column, const DecomposedKeyList *keysArray);

// Where a row's keys stand in the list it was built from: the index of its
// first and of its last key (keys without a component there between them
// belong to no row).
struct RowExtent
{
    qsizetype first;
    qsizetype last;
};
// buildTreeBranchForColumn over keys[begin, end), with each row's extent
// appended to `extents` when given.
TreeBranch buildTreeBranchForRange(int column, const DecomposedKeyList &keys, qsizetype begin, qsizetype end,
                                   std::vector<RowExtent> *extents);

} // namespace kv
