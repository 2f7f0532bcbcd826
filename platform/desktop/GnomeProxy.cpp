#include "platform/desktop/GnomeProxy.h"

#include "platform/desktop/DesktopKeys.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace kv::desktop {

namespace {

const QString ProxySchema = QStringLiteral("org.gnome.system.proxy");

// Reads gsettings' text form from left to right; every read checks the end.
class SettingReader
{
public:
    explicit SettingReader(QStringView text) : m_text(text) {}

    bool atEnd()
    {
        skipSpace();
        return m_at >= m_text.size();
    }

    QChar peek()
    {
        skipSpace();
        return m_at < m_text.size() ? m_text.at(m_at) : QChar();
    }

    bool take(QChar c)
    {
        if (peek() != c)
            return false;
        ++m_at;
        return true;
    }

    // The next run of letters, digits, '@', '-' and '+', taken.
    QStringView word()
    {
        skipSpace();
        const qsizetype start = m_at;
        while (m_at < m_text.size()
               && (m_text.at(m_at).isLetterOrNumber() || m_text.at(m_at) == QLatin1Char('@')
                   || m_text.at(m_at) == QLatin1Char('-') || m_text.at(m_at) == QLatin1Char('+')))
            ++m_at;
        return m_text.mid(start, m_at - start);
    }

    std::optional<QString> string()
    {
        const QChar quote = peek();
        if (quote != QLatin1Char('\'') && quote != QLatin1Char('"'))
            return std::nullopt;
        ++m_at;
        QString result;
        while (m_at < m_text.size()) {
            QChar c = m_text.at(m_at++);
            if (c == quote)
                return result;
            if (c == QLatin1Char('\\')) {
                if (m_at >= m_text.size())
                    return std::nullopt;
                c = m_text.at(m_at++);
                switch (c.unicode()) {
                case 'n': c = QLatin1Char('\n'); break;
                case 't': c = QLatin1Char('\t'); break;
                case 'r': c = QLatin1Char('\r'); break;
                case 'u': {
                    if (m_at + 4 > m_text.size())
                        return std::nullopt;
                    bool ok = false;
                    const ushort code = m_text.mid(m_at, 4).toUShort(&ok, 16);
                    if (!ok)
                        return std::nullopt;
                    c = QChar(code);
                    m_at += 4;
                    break;
                }
                default: break;
                }
            }
            result.append(c);
        }
        return std::nullopt;
    }

private:
    void skipSpace()
    {
        while (m_at < m_text.size() && m_text.at(m_at).isSpace())
            ++m_at;
    }

    QStringView m_text;
    qsizetype m_at = 0;
};

PropertyListValue parseArray(SettingReader &reader)
{
    if (reader.peek() == QLatin1Char('@') && reader.word() != QLatin1String("@as"))
        return {};
    if (!reader.take(QLatin1Char('[')))
        return {};
    PropertyListArray elements;
    if (!reader.take(QLatin1Char(']'))) {
        do {
            const std::optional<QString> element = reader.string();
            if (!element)
                return {};
            elements.append(PropertyListValue::fromString(*element));
        } while (reader.take(QLatin1Char(',')));
        if (!reader.take(QLatin1Char(']')))
            return {};
    }
    return PropertyListValue::fromArray(elements);
}

PropertyListValue parseNumber(SettingReader &reader)
{
    static const QStringList types{QStringLiteral("byte"),   QStringLiteral("int16"),  QStringLiteral("uint16"),
                                   QStringLiteral("int32"),  QStringLiteral("uint32"), QStringLiteral("int64"),
                                   QStringLiteral("uint64"), QStringLiteral("handle")};
    QStringView word = reader.word();
    if (types.contains(word))
        word = reader.word();
    bool ok = false;
    const qint64 number = word.toLongLong(&ok);
    return ok ? PropertyListValue::fromInteger(number) : PropertyListValue();
}

// Standard output of the program run with the arguments; nothing when it
// cannot be run, fails or takes too long.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments, int timeoutMilliseconds)
{
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMilliseconds))
        return std::nullopt;
    if (!process.waitForFinished(timeoutMilliseconds)) {
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

bool canRun(const QString &program)
{
    if (program.isEmpty())
        return false;
    if (program.contains(QLatin1Char('/')))
        return QFileInfo(program).isExecutable();
    return !QStandardPaths::findExecutable(program).isEmpty();
}

} // namespace

QStringList gnomeProxySchemas()
{
    return {ProxySchema, ProxySchema + QStringLiteral(".http"), ProxySchema + QStringLiteral(".https"),
            ProxySchema + QStringLiteral(".ftp"), ProxySchema + QStringLiteral(".socks")};
}

PropertyListValue parseSettingText(QStringView text)
{
    SettingReader reader(text);
    PropertyListValue value;
    const QChar first = reader.peek();
    if (first == QLatin1Char('\'') || first == QLatin1Char('"')) {
        if (const std::optional<QString> string = reader.string())
            value = PropertyListValue::fromString(*string);
    } else if (first == QLatin1Char('[') || first == QLatin1Char('@')) {
        value = parseArray(reader);
    } else if (!first.isNull()) {
        value = parseNumber(reader);
    }
    return reader.atEnd() ? value : PropertyListValue();
}

std::optional<PropertyListDictionary> readGnomeProxy(const QString &program, int timeoutMilliseconds)
{
    if (!canRun(program) || !run(program, {QStringLiteral("list-keys"), ProxySchema}, timeoutMilliseconds))
        return std::nullopt;
    const auto get = [&](const QString &schema, const char *key) {
        const std::optional<QByteArray> output =
            run(program, {QStringLiteral("get"), schema, QString::fromLatin1(key)}, timeoutMilliseconds);
        return output ? parseSettingText(QString::fromUtf8(*output)) : PropertyListValue();
    };
    PropertyListDictionary entries;
    const QString mode = get(ProxySchema, "mode").string();
    if (mode == QLatin1String("manual")) {
        const QStringList schemas = gnomeProxySchemas();
        const char *const names[] = {"HTTPProxy", "HTTPSProxy", "FTPProxy", "AllProxy"};
        for (qsizetype i = 0; i < 4; ++i) {
            const QString host = get(schemas.at(i + 1), "host").string().trimmed();
            const qint64 port = get(schemas.at(i + 1), "port").integer();
            if (!host.isEmpty())
                insertText(&entries, QString::fromLatin1(names[i]),
                           port > 0 ? host + QLatin1Char(':') + QString::number(port) : host);
        }
    } else if (mode == QLatin1String("auto")) {
        insertText(&entries, QStringLiteral("AutoConfigURL"), get(ProxySchema, "autoconfig-url").string().trimmed());
    } else {
        return PropertyListDictionary();
    }
    entries.insert(QStringLiteral("GNOMEMode"), PropertyListValue::fromString(mode));
    QStringList exceptions;
    const PropertyListValue hosts = get(ProxySchema, "ignore-hosts");
    if (hosts.isArray()) {
        for (const PropertyListValue &host : hosts.array()) {
            const QString trimmed = host.string().trimmed();
            if (!trimmed.isEmpty())
                exceptions.append(trimmed);
        }
    }
    if (!exceptions.isEmpty())
        entries.insert(QStringLiteral("ExceptionsList"), stringArray(exceptions));
    return entries;
}

} // namespace kv::desktop
