// systemd-logind's sessions and console user, systemd-timedated's time
// settings and UPower's power devices.

#include "platform/desktop/BusAgent.h"
#include "platform/desktop/DesktopKeys.h"

namespace kv::desktop {

namespace {

const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString PropertiesChanged = QStringLiteral("PropertiesChanged");

// A "(so)" or "(uo)" pair's first field.
QVariant firstField(const QVariant &pair)
{
    return pair.toList().value(0);
}
QString secondField(const QVariant &pair)
{
    return pair.toList().value(1).toString();
}

class LoginAgent : public BusAgent
{
public:
    using BusAgent::BusAgent;

    void start() override
    {
        const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
        follow(PropertiesInterface, PropertiesChanged);
        for (const char *name : {"SessionNew", "SessionRemoved", "UserNew", "UserRemoved", "SeatNew", "SeatRemoved"})
            follow(manager, QString::fromLatin1(name));
        BusAgent::start();
    }

protected:
    KeyValues read() override
    {
        KeyValues keys;
        const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
        // ListSessions: a(susso) -- id, uid, user name, seat, object.
        const QVariantList sessions =
            call(QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
                 QStringLiteral("ListSessions"))
                .toList();
        PropertyListDictionary all;
        for (const QVariant &element : sessions) {
            const QVariantList fields = element.toList();
            const QString id = fields.value(0).toString();
            const QVariantMap session = properties(fields.value(4).toString(), sessionInterface);
            if (id.isEmpty() || session.isEmpty())
                continue;
            PropertyListDictionary entries;
            insertText(&entries, QStringLiteral("Name"), fields.value(2).toString());
            entries.insert(QStringLiteral("UID"), integer(fields.value(1).toUInt()));
            insertText(&entries, QStringLiteral("Seat"), fields.value(3).toString());
            insertText(&entries, QStringLiteral("Type"), session.value(QStringLiteral("Type")).toString());
            insertText(&entries, QStringLiteral("Class"), session.value(QStringLiteral("Class")).toString());
            insertText(&entries, QStringLiteral("State"), session.value(QStringLiteral("State")).toString());
            insertText(&entries, QStringLiteral("TTY"), session.value(QStringLiteral("TTY")).toString());
            entries.insert(QStringLiteral("Active"), boolean(session.value(QStringLiteral("Active")).toBool()));
            entries.insert(QStringLiteral("Remote"), boolean(session.value(QStringLiteral("Remote")).toBool()));
            all.insert(id, dictionary(entries));
        }
        if (!all.isEmpty())
            keys.insert(SessionsKey, dictionary(all));

        const QVariantMap seat = properties(QStringLiteral("/org/freedesktop/login1/seat/seat0"),
                                            QStringLiteral("org.freedesktop.login1.Seat"));
        const QString activePath = secondField(seat.value(QStringLiteral("ActiveSession")));
        const QVariantMap active = properties(activePath, sessionInterface);
        if (!active.isEmpty()) {
            const QVariant user = active.value(QStringLiteral("User"));
            const QVariantMap userProperties =
                properties(secondField(user), QStringLiteral("org.freedesktop.login1.User"));
            PropertyListDictionary entries;
            insertText(&entries, QStringLiteral("Name"), active.value(QStringLiteral("Name")).toString());
            entries.insert(QStringLiteral("UID"), integer(firstField(user).toUInt()));
            if (userProperties.contains(QStringLiteral("GID")))
                entries.insert(QStringLiteral("GID"), integer(userProperties.value(QStringLiteral("GID")).toUInt()));
            insertText(&entries, QStringLiteral("SessionID"), active.value(QStringLiteral("Id")).toString());
            keys.insert(ConsoleUserKey, dictionary(entries));
        }
        return keys;
    }
};

class TimeAgent : public BusAgent
{
public:
    using BusAgent::BusAgent;

    void start() override
    {
        follow(PropertiesInterface, PropertiesChanged);
        BusAgent::start();
    }

protected:
    KeyValues read() override
    {
        const QVariantMap time =
            properties(QStringLiteral("/org/freedesktop/timedate1"), QStringLiteral("org.freedesktop.timedate1"));
        if (time.isEmpty())
            return KeyValues();
        PropertyListDictionary entries;
        insertText(&entries, QStringLiteral("TimeZone"), time.value(QStringLiteral("Timezone")).toString());
        const std::pair<const char *, const char *> flags[] = {{"NTP", "NTPEnabled"},
                                                               {"NTPSynchronized", "NTPSynchronized"},
                                                               {"CanNTP", "NTPAvailable"},
                                                               {"LocalRTC", "LocalRTC"}};
        for (const auto &[property, entry] : flags) {
            const QVariant value = time.value(QString::fromLatin1(property));
            if (value.isValid())
                entries.insert(QString::fromLatin1(entry), boolean(value.toBool()));
        }
        return KeyValues{{TimeKey, dictionary(entries)}};
    }
};

class PowerAgent : public BusAgent
{
    static constexpr uint UnknownType = 0;
    static constexpr uint LinePower = 1;

public:
    using BusAgent::BusAgent;

    void start() override
    {
        follow(PropertiesInterface, PropertiesChanged);
        follow(QStringLiteral("org.freedesktop.UPower"), QStringLiteral("DeviceAdded"));
        follow(QStringLiteral("org.freedesktop.UPower"), QStringLiteral("DeviceRemoved"));
        BusAgent::start();
    }

protected:
    KeyValues read() override
    {
        KeyValues keys;
        const QVariantList devices = call(QStringLiteral("/org/freedesktop/UPower"),
                                          QStringLiteral("org.freedesktop.UPower"), QStringLiteral("EnumerateDevices"))
                                         .toList();
        for (const QVariant &element : devices) {
            const QString path = element.toString();
            // The summary of the batteries, not a device of its own.
            if (path.endsWith(QLatin1String("/DisplayDevice")))
                continue;
            const QVariantMap device = properties(path, QStringLiteral("org.freedesktop.UPower.Device"));
            if (device.isEmpty())
                continue;
            // Named as its sysfs power supply, so it meets that supply's key.
            QString name = device.value(QStringLiteral("NativePath")).toString().section(QLatin1Char('/'), -1);
            if (name.isEmpty())
                name = path.section(QLatin1Char('/'), -1);
            const uint type = device.value(QStringLiteral("Type")).toUInt();
            PropertyListDictionary entries;
            entries.insert(QStringLiteral("Type"), text(powerTypeName(type)));
            // Every device has the property; it means something for mains
            // supplies (and for devices that do not say what they are).
            if ((type == LinePower || type == UnknownType) && device.contains(QStringLiteral("Online")))
                entries.insert(QStringLiteral("Online"), boolean(device.value(QStringLiteral("Online")).toBool()));
            if (type != LinePower && device.contains(QStringLiteral("Percentage"))) {
                entries.insert(QStringLiteral("Present"), boolean(device.value(QStringLiteral("IsPresent")).toBool()));
                entries.insert(QStringLiteral("Status"),
                               text(powerStatusName(device.value(QStringLiteral("State")).toUInt())));
                entries.insert(QStringLiteral("Capacity"),
                               integer(qRound(device.value(QStringLiteral("Percentage")).toDouble())));
                const qint64 toEmpty = device.value(QStringLiteral("TimeToEmpty")).toLongLong();
                const qint64 toFull = device.value(QStringLiteral("TimeToFull")).toLongLong();
                if (toEmpty > 0)
                    entries.insert(QStringLiteral("TimeToEmpty"), integer(toEmpty));
                if (toFull > 0)
                    entries.insert(QStringLiteral("TimeToFull"), integer(toFull));
                const double rate = device.value(QStringLiteral("EnergyRate")).toDouble();
                if (rate > 0)
                    entries.insert(QStringLiteral("EnergyRate"), PropertyListValue::fromReal(rate));
            }
            keys.insert(PowerPrefix + name, dictionary(entries));
        }
        return keys;
    }
};

} // namespace

std::unique_ptr<BusAgent> makeLoginAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                         BusAgent::Publish publish)
{
    return std::make_unique<LoginAgent>(bus, QStringLiteral("org.freedesktop.login1"), options, std::move(publish));
}

std::unique_ptr<BusAgent> makeTimeAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                        BusAgent::Publish publish)
{
    return std::make_unique<TimeAgent>(bus, QStringLiteral("org.freedesktop.timedate1"), options, std::move(publish));
}

std::unique_ptr<BusAgent> makePowerAgent(const QDBusConnection &bus, const DesktopOptions &options,
                                         BusAgent::Publish publish)
{
    return std::make_unique<PowerAgent>(bus, QStringLiteral("org.freedesktop.UPower"), options, std::move(publish));
}

} // namespace kv::desktop
