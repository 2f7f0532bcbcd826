#pragma once

// Benchmark keys shaped like the store's.

#include <QRandomGenerator>
#include <QString>
#include <QStringList>

namespace bench {

// Keys shaped like the store's: a few domains, 3 to 7 path pieces, with
// interface names, service identifiers and numbered entries.
inline QStringList makeKeys(int count)
{
    static const char *const domains[] = {"State:", "Setup:", "Prefs:", "State:", "Setup:", "Plugin:"};
    static const char *const words[] = {
        "Network",  "Interface",  "Service",   "Global",  "IPv4",    "IPv6",   "DNS",     "Proxies",  "Link",
        "AirPort",  "Ethernet",   "Users",     "Console", "System",  "Power",  "Battery", "Sets",     "Store",
        "Protocol", "Interfaces", "Hostnames", "Modem",   "PPP",     "Locale", "Display", "Keyboard", "Routes",
        "Setup",    "Computer",   "Resolvers", "Search",  "Domains", "Config", "Legacy",  "Bridge",   "VLAN"};
    constexpr int wordCount = int(sizeof(words) / sizeof(words[0]));
    QRandomGenerator random(7);
    QStringList keys;
    keys.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString key = QString::fromLatin1(domains[random.bounded(6)]);
        const int pieces = 3 + random.bounded(5);
        // One piece carries an identifier, which also keeps the keys distinct.
        const int idPiece = random.bounded(pieces);
        for (int p = 0; p < pieces; ++p) {
            key.append(u'/');
            if (p == idPiece) {
                switch (i % 3) {
                case 0: key.append(QStringLiteral("en%1").arg(i)); break;
                case 1:
                    key.append(QStringLiteral("%1-%2-4E2B")
                                   .arg(uint(i) * 2654435761u, 8, 16, QLatin1Char('0'))
                                   .arg(i % 65536, 4, 16, QLatin1Char('0'))
                                   .toUpper());
                    break;
                default: key.append(QString::number(i)); break;
                }
            } else {
                key.append(QLatin1String(words[random.bounded(wordCount)]));
            }
        }
        keys.append(key);
    }
    return keys;
}

} // namespace bench
