#pragma once

// Going to a key by typing it, completed piece by piece as a shell completes
// paths, and telling whether a key is listed. Both look into a key list
// sorted by QString's operator< (the store's order).

#include <QString>
#include <QStringList>

namespace kv::find {

// The distinct next completions of `typed` among the keys that start with it:
// each is `typed` extended to the end of the next "/"-separated piece (with
// that "/" when the key goes on) or, while the domain is being typed, to the
// end of the domain with its ":" ("State:", then "State:/"). At most `limit`
// of them, in key order. A key that ends inside the piece completes to itself,
// so that a key which also begins longer keys offers both ("…/Interface" and
// "…/Interface/"). Costs one binary search per completion, never a walk over
// every key that starts with `typed`.
QStringList keyCompletions(const QStringList &sortedKeys, const QString &typed, int limit = 200);

// Binary search.
bool hasKey(const QStringList &sortedKeys, const QString &key);

} // namespace kv::find
