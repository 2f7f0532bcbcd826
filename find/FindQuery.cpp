#include "find/FindQuery.h"

#include "find/FindQuery_p.h"

namespace kv::find {

// --- the matcher -------------------------------------------------------------

std::optional<Matcher> Matcher::compile(const QString &text, const FindOptions &options, QString *error)
{
    auto compiled = std::make_shared<CompiledQuery>();
    compiled->text = text;
    compiled->options = options;
    if (options.regularExpression) {
        QRegularExpression::PatternOptions patternOptions = QRegularExpression::DotMatchesEverythingOption;
        if (!options.matchCase)
            patternOptions |= QRegularExpression::CaseInsensitiveOption;
        compiled->expression = QRegularExpression(text, patternOptions);
        if (!text.isEmpty() && !compiled->expression.isValid()) {
            if (error) {
                *error = QStringLiteral("invalid regular expression: %1 at offset %2")
                             .arg(compiled->expression.errorString())
                             .arg(compiled->expression.patternErrorOffset());
            }
            return std::nullopt;
        }
    } else {
        compiled->needle = comparableText(text, !options.matchCase);
        compiled->asciiNeedle = true;
        compiled->latin1Needle = true;
        for (QChar c : std::as_const(compiled->needle)) {
            compiled->asciiNeedle = compiled->asciiNeedle && c.unicode() < 0x80;
            compiled->latin1Needle = compiled->latin1Needle && c.unicode() < 0x100;
            compiled->needleHasNul = compiled->needleHasNul || c.unicode() == 0;
        }
        if (compiled->latin1Needle)
            compiled->latin1 = compiled->needle.toLatin1();
    }
    return Matcher(std::move(compiled));
}

bool Matcher::matches(QStringView text) const
{
    return d->matches(text);
}

QList<MatchSpan> Matcher::spans(QStringView text) const
{
    QList<MatchSpan> spans;
    if (d->isEmpty())
        return spans;
    if (d->isPlain()) {
        const Qt::CaseSensitivity cs = d->options.matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
        const qsizetype length = d->text.size();
        for (qsizetype at = text.indexOf(d->text, 0, cs); at >= 0; at = text.indexOf(d->text, at + length, cs))
            spans.append({at, length});
        return spans;
    }
    QRegularExpressionMatchIterator it = d->expression.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        if (match.capturedLength() > 0)
            spans.append({match.capturedStart(), match.capturedLength()});
    }
    return spans;
}

const FindOptions &Matcher::options() const
{
    return d->options;
}

const QString &Matcher::text() const
{
    return d->text;
}

bool CompiledQuery::matches(QStringView subject) const
{
    if (isEmpty())
        return false;
    if (isPlain())
        return containsPlain(subject);
    return expression.match(subject).hasMatch();
}

// --- values ------------------------------------------------------------------

QString scalarText(const PropertyListValue &value)
{
    // A string's description is the string itself; asking for it directly
    // spares a copy.
    return value.isString() ? value.string() : value.description();
}

const PropertyListValue &ValueWalker::Frame::child() const
{
    return dictionary ? entry.value() : container.array().at(position);
}

ValueWalker::ValueWalker(PropertyListValue root) : m_root(std::move(root))
{}

void ValueWalker::push(const PropertyListValue &container)
{
    Frame frame;
    frame.container = container;
    frame.dictionary = container.isDictionary();
    if (frame.dictionary)
        frame.entry = frame.container.dictionary().cbegin();
    frame.count = frame.container.count();
    m_frames.push_back(std::move(frame));
}

bool ValueWalker::next()
{
    if (!m_started) {
        m_started = true;
        if (m_root.isDictionary() || m_root.isArray()) {
            push(m_root);
        } else if (!m_root.isNone()) {
            m_piece = Piece::Scalar;
            ++m_pieceIndex;
            return true;
        }
    }
    while (!m_frames.empty()) {
        Frame &frame = m_frames.back();
        if (frame.position >= frame.count) {
            m_frames.pop_back();
            continue; // the parent's entry was entered: it moves on below
        }
        if (frame.dictionary && !frame.nameDone) {
            frame.nameDone = true;
            m_piece = Piece::Name;
            ++m_pieceIndex;
            return true;
        }
        if (!frame.valueDone) {
            frame.valueDone = true;
            const PropertyListValue &child = frame.child();
            if (child.isDictionary() || child.isArray()) {
                const PropertyListValue container = child; // push may move the frames
                push(container);
                continue;
            }
            m_piece = Piece::Scalar;
            ++m_pieceIndex;
            return true;
        }
        ++frame.position;
        if (frame.dictionary)
            ++frame.entry;
        frame.nameDone = false;
        frame.valueDone = false;
    }
    return false;
}

const PropertyListValue &ValueWalker::currentValue() const
{
    return m_frames.empty() ? m_root : m_frames.back().child();
}

QString ValueWalker::text() const
{
    if (m_piece == Piece::Name)
        return m_frames.back().entry.key();
    return scalarText(currentValue());
}

ValueMatch ValueWalker::valueMatch() const
{
    ValueMatch match;
    match.entryPath.reserve(qsizetype(m_frames.size()));
    for (const Frame &frame : m_frames)
        match.entryPath.append(frame.dictionary ? frame.entry.key() : QString::number(frame.position));
    const PropertyListValue &value = currentValue();
    if (!value.isDictionary() && !value.isArray())
        match.scalarText = scalarText(value);
    return match;
}

std::optional<ValueMatch> valueMatchAtPiece(const PropertyListValue &value, qsizetype pieceIndex)
{
    ValueWalker walker(value);
    while (walker.next()) {
        if (walker.pieceIndex() == pieceIndex)
            return walker.valueMatch();
    }
    return std::nullopt;
}

std::optional<ValueMatch> firstValueMatch(const PropertyListValue &value, const Matcher &matcher)
{
    const CompiledQuery &query = matcher.compiled();
    if (query.isEmpty())
        return std::nullopt;
    ValueWalker walker(value);
    while (walker.next()) {
        if (query.matches(walker.text()))
            return walker.valueMatch();
    }
    return std::nullopt;
}

QString valueMatchText(const ValueMatch &match)
{
    QString text = match.entryPath.join(QStringLiteral(" \u203a "));
    if (match.scalarText.isEmpty())
        return text;
    if (text.isEmpty())
        return match.scalarText;
    return text + QStringLiteral(" = ") + match.scalarText;
}

} // namespace kv::find
