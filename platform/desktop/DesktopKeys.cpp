#include "platform/desktop/DesktopKeys.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>

#include <arpa/inet.h>
#include <cstring>

namespace kv::desktop {

PropertyListValue dictionary(const PropertyListDictionary &entries)
{
    return PropertyListValue::fromDictionary(entries);
}

void insertText(PropertyListDictionary *entries, const QString &name, const QString &value)
{
    if (!value.isEmpty())
        entries->insert(name, text(value));
}

namespace {

QVariant plainArgument(const QDBusArgument &argument)
{
    switch (argument.currentType()) {
    case QDBusArgument::ArrayType: {
        if (argument.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            argument >> bytes;
            return bytes;
        }
        QVariantList list;
        argument.beginArray();
        while (!argument.atEnd())
            list.append(plainValue(argument.asVariant()));
        argument.endArray();
        return list;
    }
    case QDBusArgument::StructureType: {
        QVariantList fields;
        argument.beginStructure();
        while (!argument.atEnd())
            fields.append(plainValue(argument.asVariant()));
        argument.endStructure();
        return fields;
    }
    case QDBusArgument::MapType: {
        QVariantMap map;
        argument.beginMap();
        while (!argument.atEnd()) {
            argument.beginMapEntry();
            const QVariant key = plainValue(argument.asVariant());
            const QVariant value = plainValue(argument.asVariant());
            argument.endMapEntry();
            map.insert(key.toString(), value);
        }
        argument.endMap();
        return map;
    }
    case QDBusArgument::BasicType:
    case QDBusArgument::VariantType: return plainValue(argument.asVariant());
    case QDBusArgument::MapEntryType:
    case QDBusArgument::UnknownType: break;
    }
    return QVariant();
}

} // namespace

QVariant plainValue(const QVariant &value)
{
    const int type = value.userType();
    if (type == qMetaTypeId<QDBusVariant>())
        return plainValue(qvariant_cast<QDBusVariant>(value).variant());
    if (type == qMetaTypeId<QDBusArgument>())
        return plainArgument(qvariant_cast<QDBusArgument>(value));
    if (type == qMetaTypeId<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(value).path();
    if (type == qMetaTypeId<QDBusSignature>())
        return qvariant_cast<QDBusSignature>(value).signature();
    if (type == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        for (QVariant &element : list)
            element = plainValue(element);
        return list;
    }
    if (type == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = plainValue(it.value());
        return map;
    }
    return value;
}

QString ipv4FromNetworkOrder(quint32 address)
{
    // The integer's bytes in memory are the address's bytes in order.
    char buffer[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address, buffer, sizeof buffer))
        return QString();
    return QString::fromLatin1(buffer);
}

QString ipv6FromBytes(const QByteArray &bytes)
{
    char buffer[INET6_ADDRSTRLEN] = {};
    if (bytes.size() != 16 || !::inet_ntop(AF_INET6, bytes.constData(), buffer, sizeof buffer))
        return QString();
    return QString::fromLatin1(buffer);
}

QString wifiSecurity(uint flags, uint wpaFlags, uint rsnFlags)
{
    constexpr uint KeyManagementPsk = 0x100;
    constexpr uint KeyManagement8021X = 0x200;
    constexpr uint KeyManagementSae = 0x400;
    constexpr uint KeyManagementOwe = 0x800;
    constexpr uint Privacy = 0x1;
    if (rsnFlags & KeyManagementSae)
        return QStringLiteral("WPA3-Personal");
    if (rsnFlags & KeyManagementOwe)
        return QStringLiteral("OWE");
    if (rsnFlags & KeyManagement8021X)
        return QStringLiteral("WPA2-Enterprise");
    if (rsnFlags & KeyManagementPsk)
        return QStringLiteral("WPA2-Personal");
    if (wpaFlags & KeyManagement8021X)
        return QStringLiteral("WPA-Enterprise");
    if (wpaFlags & KeyManagementPsk)
        return QStringLiteral("WPA-Personal");
    if (flags & Privacy)
        return QStringLiteral("WEP");
    return QStringLiteral("None");
}

int signalLevelFromPercent(int percent)
{
    return qBound(0, percent, 100) / 2 - 100;
}

QString powerTypeName(uint type)
{
    switch (type) {
    case 1: return QStringLiteral("Mains");
    case 2: return QStringLiteral("Battery");
    case 3: return QStringLiteral("UPS");
    case 4: return QStringLiteral("Monitor");
    case 5: return QStringLiteral("Mouse");
    case 6: return QStringLiteral("Keyboard");
    case 7: return QStringLiteral("PDA");
    case 8: return QStringLiteral("Phone");
    default: return QStringLiteral("Unknown");
    }
}

QString powerStatusName(uint state)
{
    switch (state) {
    case 1: return QStringLiteral("Charging");
    case 2: return QStringLiteral("Discharging");
    case 3: return QStringLiteral("Empty");
    case 4: return QStringLiteral("Full");
    case 5: return QStringLiteral("Not charging");
    case 6: return QStringLiteral("Discharging");
    default: return QStringLiteral("Unknown");
    }
}

PropertyListValue resolvedLinkStateValue(const QByteArray &text)
{
    QStringList servers;
    QStringList domains;
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray name = line.left(equals).trimmed();
        const QStringList words = QString::fromUtf8(line.mid(equals + 1)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (name == "SERVERS")
            servers = words;
        else if (name == "DOMAINS")
            domains = words;
    }
    if (servers.isEmpty() && domains.isEmpty())
        return PropertyListValue();
    PropertyListDictionary entries;
    if (!servers.isEmpty())
        entries.insert(QStringLiteral("ServerAddresses"), stringArray(servers));
    if (!domains.isEmpty())
        entries.insert(QStringLiteral("SearchDomains"), stringArray(domains));
    return dictionary(entries);
}

} // namespace kv::desktop
