#pragma once

// What the user types into Find, made into something that tells whether a key
// or a value's text matches, and where a value first matches.

#include "platform/plist/PropertyListValue.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>

namespace kv::find {

struct FindOptions
{
    bool matchCase = false;
    bool regularExpression = false;
    enum class Scope { Keys, KeysAndValues } scope = Scope::Keys;

    friend bool operator==(const FindOptions &, const FindOptions &) = default;
};

// [start, start + length) of a text.
struct MatchSpan
{
    qsizetype start = 0;
    qsizetype length = 0;

    friend bool operator==(const MatchSpan &, const MatchSpan &) = default;
};

struct CompiledQuery; // the matcher's shared, immutable state (FindQuery_p.h)

// A compiled find text. Copies share their state.
//
// Plain text matches where it stands anywhere in a text; without matchCase
// letters are compared by their case folding (as QString's Qt::CaseInsensitive
// compares them). A regular expression matches anywhere too; "." matches every
// character, line ends included, as in the store's key patterns.
class Matcher
{
public:
    // An empty text matches nothing. An invalid regular expression gives none
    // and a one-line *error (the expression's complaint and its offset).
    static std::optional<Matcher> compile(const QString &text, const FindOptions &options, QString *error);

    bool matches(QStringView text) const;
    // Every non-overlapping match, in order, to emphasize. Zero-length matches
    // (a regular expression can make them) have nothing to emphasize and are
    // left out.
    QList<MatchSpan> spans(QStringView text) const;

    const FindOptions &options() const;
    const QString &text() const;

    // For this library's own search.
    const CompiledQuery &compiled() const { return *d; }

private:
    explicit Matcher(std::shared_ptr<const CompiledQuery> compiled) : d(std::move(compiled)) {}
    std::shared_ptr<const CompiledQuery> d;
};

// Where a value first matches, walking it in store order (dictionary entries
// in the dictionary's order, array elements by index, depth first): a
// dictionary entry's name, or a scalar's text (PropertyListValue::description(),
// the text the value tree shows for it). entryPath holds the names and indexes
// from the top down to that entry; scalarText the scalar's text when the entry
// holds a scalar (empty for a container). A top-level scalar that matches has
// an empty path.
struct ValueMatch
{
    QStringList entryPath;
    QString scalarText;

    friend bool operator==(const ValueMatch &, const ValueMatch &) = default;
};

std::optional<ValueMatch> firstValueMatch(const PropertyListValue &value, const Matcher &matcher);

// "Addresses › 0 = 192.168.1.20": the path's pieces joined by " › ", then " = "
// and the scalar's text when there is one; a top-level scalar is its text alone.
QString valueMatchText(const ValueMatch &match);

// One key found. valueMatch is set only when the key itself did not match (a
// key match wins) and its value did.
struct FindHit
{
    QString key;
    std::optional<ValueMatch> valueMatch;

    friend bool operator==(const FindHit &, const FindHit &) = default;
};

} // namespace kv::find
