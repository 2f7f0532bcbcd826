#pragma once

// Shared by the property-list tests: the canonical text of a value (the same
// text tests/tools/plist_tool.py prints for a value read by Python's
// plistlib) and a way to run that tool.

#include "platform/plist/PropertyListValue.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>

namespace plisttest {

inline void appendJsonString(QString &out, const QString &s)
{
    out += u'"';
    for (QChar ch : s) {
        const char16_t c = ch.unicode();
        switch (c) {
        case u'"': out += QLatin1String("\\\""); break;
        case u'\\': out += QLatin1String("\\\\"); break;
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        case u'\b': out += QLatin1String("\\b"); break;
        case u'\f': out += QLatin1String("\\f"); break;
        default:
            if (c < 0x20 || c > 0x7e)
                out += QLatin1String("\\u") + QString::number(uint(c), 16).rightJustified(4, u'0');
            else
                out += ch;
        }
    }
    out += u'"';
}

inline void appendCanonical(QString &out, const kv::PropertyListValue &v)
{
    using Kind = kv::PropertyListValue::Kind;
    switch (v.kind()) {
    case Kind::None: out += QLatin1String("none"); break;
    case Kind::Dictionary: {
        out += u'{';
        bool first = true;
        const kv::PropertyListDictionary &d = v.dictionary();
        for (auto it = d.cbegin(); it != d.cend(); ++it) {
            if (!first)
                out += u',';
            first = false;
            out += u's';
            appendJsonString(out, it.key());
            out += u':';
            appendCanonical(out, it.value());
        }
        out += u'}';
        break;
    }
    case Kind::Array: {
        out += u'[';
        const kv::PropertyListArray &a = v.array();
        for (qsizetype i = 0; i < a.size(); ++i) {
            if (i)
                out += u',';
            appendCanonical(out, a[i]);
        }
        out += u']';
        break;
    }
    case Kind::String:
        out += u's';
        appendJsonString(out, v.string());
        break;
    case Kind::Integer:
        out += u'i';
        out += v.isUnsignedInteger() ? QString::number(v.unsignedInteger()) : QString::number(v.integer());
        break;
    case Kind::Real: {
        const double r = v.real();
        if (std::isnan(r)) {
            out += QLatin1String("rnan");
        } else {
            quint64 bits;
            std::memcpy(&bits, &r, sizeof bits);
            out += u'r' + QString::number(bits, 16).rightJustified(16, u'0');
        }
        break;
    }
    case Kind::Boolean: out += v.boolean() ? QLatin1String("true") : QLatin1String("false"); break;
    case Kind::Data: out += u'd' + QString::fromLatin1(v.data().toHex()); break;
    case Kind::Date: out += u't' + QString::number(v.date().toMSecsSinceEpoch() * 1000); break;
    }
}

inline QString canonical(const kv::PropertyListValue &v)
{
    QString out;
    appendCanonical(out, v);
    return out;
}

inline QString toolPath()
{
    return QStringLiteral(KEYVANE_SOURCE_DIR "/tests/tools/plist_tool.py");
}

// python3 with plistlib, or an empty string when there is none.
inline QString python()
{
    static const QString found = [] {
        // The system's python3 first: version-manager shims on PATH can
        // take a second to start.
        QString exe = QFileInfo(QStringLiteral("/usr/bin/python3")).isExecutable()
                          ? QStringLiteral("/usr/bin/python3")
                          : QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (exe.isEmpty())
            return QString();
        QProcess p;
        p.start(exe, {QStringLiteral("-c"), QStringLiteral("import plistlib")});
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return QString();
        return exe;
    }();
    return found;
}

// Runs plist_tool.py with the arguments; returns its standard output (one
// trailing newline removed) or sets *failure.
inline QString runTool(const QStringList &arguments, QString *failure)
{
    QProcess p;
    p.start(python(), QStringList{toolPath()} + arguments);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *failure = QStringLiteral("plist_tool.py %1 failed: %2")
                       .arg(arguments.join(u' '), QString::fromUtf8(p.readAllStandardError()));
        return QString();
    }
    QString out = QString::fromUtf8(p.readAllStandardOutput());
    if (out.endsWith(u'\n'))
        out.chop(1);
    return out;
}

} // namespace plisttest

#define PLIST_REQUIRE_PYTHON()                                                                                         \
    do {                                                                                                               \
        if (plisttest::python().isEmpty())                                                                             \
            QSKIP("python3 with plistlib is not available; the conformance checks against it are skipped");            \
    } while (false)
