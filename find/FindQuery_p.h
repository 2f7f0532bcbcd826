#pragma once

// Inside the find library: the compiled query, the text comparisons the
// search runs millions of times per keystroke, and the walk through a value.

#include "find/FindQuery.h"

#include <QByteArray>
#include <QRegularExpression>

#include <vector>

namespace kv::find {

struct CompiledQuery
{
    QString text;
    FindOptions options;

    // Plain text: the needle as texts are compared with it (case folded when
    // case is ignored), and what the fast paths need to know about it.
    QString needle;
    bool asciiNeedle = false;  // every character below U+0080
    bool latin1Needle = false; // every character below U+0100: `latin1` holds it
    QByteArray latin1;
    bool needleHasNul = false;

    QRegularExpression expression; // for a regular expression

    bool isEmpty() const { return text.isEmpty(); }
    bool isPlain() const { return !options.regularExpression; }
    // Whether the plain needle stands in `text` (case folded when case is ignored).
    bool containsPlain(QStringView text) const;
    bool matches(QStringView text) const;
};

// The first place of `needle` (m >= 1 bytes) in `text` (n bytes), or null.
// memmem takes as long to set up as this takes to look through a value's text.
const char *findBytes(const char *text, qsizetype n, const char *needle, qsizetype m);

// `text` as the index compares it (case folded when `fold`), appended to `out`
// as Latin-1. False, with `out` as it was, when a character lies beyond U+00FF.
bool appendComparableLatin1(QByteArray &out, QStringView text, bool fold);
// `text` as compared, in full.
QString comparableText(QStringView text, bool fold);

// The text a scalar shows in the value tree.
QString scalarText(const PropertyListValue &value);

// Walks a value's pieces in store order: each dictionary entry's name, then
// its value's text when that is a scalar (or the entries of a container
// below it), each array element's text (or its entries). Iterative, so that
// no nesting is too deep, and resumable: a walk may be left and taken up
// again, so long as the value lives (the walker keeps it alive).
class ValueWalker
{
public:
    enum class Piece { Name, Scalar };

    explicit ValueWalker(PropertyListValue root);

    // Moves to the next piece; false when there is none left.
    bool next();
    Piece piece() const { return m_piece; }
    // The current piece's text: an entry's name, or a scalar's text.
    QString text() const;
    // The number of pieces before the current one.
    qsizetype pieceIndex() const { return m_pieceIndex; }
    // The current piece as a match.
    ValueMatch valueMatch() const;

private:
    struct Frame
    {
        PropertyListValue container;
        PropertyListDictionary::const_iterator entry; // dictionaries
        qsizetype position = 0;
        qsizetype count = 0;
        bool dictionary = false;
        bool nameDone = false;  // the entry's name has been a piece
        bool valueDone = false; // its value has been a piece, or been entered

        const PropertyListValue &child() const;
    };
    void push(const PropertyListValue &container);
    const PropertyListValue &currentValue() const;

    PropertyListValue m_root;
    std::vector<Frame> m_frames;
    bool m_started = false;
    Piece m_piece = Piece::Scalar;
    qsizetype m_pieceIndex = -1;
};

// The match at piece `pieceIndex` of `value` (none when it has fewer pieces).
std::optional<ValueMatch> valueMatchAtPiece(const PropertyListValue &value, qsizetype pieceIndex);

} // namespace kv::find
