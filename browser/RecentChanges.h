#pragma once

// Where the store has been changing: for every browser row, when a key in
// its subtree last changed. A row is named by the components that lead to it
// (the same for every key below it), so a change is noted once per component
// of its key, and a row asks in one lookup, whatever the size of its subtree.

#include "browser/ColumnTree.h"
#include "platform/HashSlots.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace kv::browser {

class RecentChanges
{
public:
    // How long a change counts as recent, in milliseconds.
    static constexpr qint64 Span = 10000;

    // Notes that `keys` changed at `now` (milliseconds on any steady clock),
    // taken in `order` when it names each of them once by index (keys in
    // sorted order share the most leading components, noted once).
    void noteChanged(const QStringList &keys, qint64 now, const std::vector<qsizetype> &order = {});
    // How recent the latest change under the row at `column` that `node`
    // stands for is: 1 for a change at `now`, falling evenly to 0 at Span
    // and after (or when nothing below it changed).
    qreal activity(const BranchNode &node, int column, qint64 now) const;
    // Whether any change is still recent at `now`.
    bool isActive(qint64 now) const { return m_latest >= 0 && now - m_latest < Span; }
    // Forgets the changes that are no longer recent at `now`.
    void forgetOlderThanSpan(qint64 now);
    // The number of rows with a change noted (recent or not yet forgotten).
    qsizetype rowsNoted() const { return m_rows.size(); }

private:
    // A row's name: a 64-bit hash of the components leading to it, each
    // component's hash chained to the row's before it. Two rows that hash
    // alike (for keys not made to, a chance of about one in 2^64 per pair)
    // share their marks.
    static size_t appendComponent(size_t name, const ComponentView &component);

    HashSlots<qint64> m_rows; // row name -> time of the latest change below it
    qint64 m_latest = -1;
};

} // namespace kv::browser
