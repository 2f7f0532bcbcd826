#include "find/KeyCompletion.h"

#include <algorithm>

namespace kv::find {

namespace {

// Where the completion of `key` (which starts with the typed text) ends: after
// the domain's ":" while that is still ahead, else after the next "/" from the
// end of the typed text on, else at the end of the key. A key without ":" has
// no domain: only its "/"-separated pieces count.
qsizetype completionEnd(const QString &key, qsizetype typedLength)
{
    const qsizetype colon = key.indexOf(u':');
    if (colon >= typedLength)
        return colon + 1;
    const qsizetype slash = key.indexOf(u'/', typedLength);
    return slash >= 0 ? slash + 1 : key.size();
}

} // namespace

QStringList keyCompletions(const QStringList &sortedKeys, const QString &typed, int limit)
{
    QStringList completions;
    auto at = std::lower_bound(sortedKeys.cbegin(), sortedKeys.cend(), typed);
    while (completions.size() < limit && at != sortedKeys.cend() && at->startsWith(typed)) {
        const qsizetype end = completionEnd(*at, typed.size());
        const QString completion = at->left(end);
        completions.append(completion);
        if (end == at->size() && completion.back() != u'/' && completion.back() != u':') {
            // The key itself: longer keys that start with it complete further.
            ++at;
            continue;
        }
        // Every key that starts with this completion completes to it: skip
        // past them all, to the first key after the last one that could.
        QString past = completion;
        past.back() = QChar(char16_t(past.back().unicode() + 1));
        at = std::lower_bound(at, sortedKeys.cend(), past);
    }
    return completions;
}

bool hasKey(const QStringList &sortedKeys, const QString &key)
{
    return std::binary_search(sortedKeys.cbegin(), sortedKeys.cend(), key);
}

} // namespace kv::find
