#pragma once

#include <QIcon>
#include <QString>
#include <QVariantMap>

#include <functional>

class QObject;

namespace kv::ui {

// The application's bundle: its information dictionary, localized strings,
// resources (Qt resources under ":/resources" and ":/images") and interface
// descriptions (code that builds a window and fills its owner's fields).
class Bundle
{
public:
    static Bundle &mainBundle();

    // "CFBundleName", "CFBundleShortVersionString", "CFBundleVersion",
    // "NSHumanReadableCopyright", "CFBundleIdentifier".
    QVariantMap infoDictionary() const;
    // The same keys with the values the current translation gives them.
    QVariantMap localInfoDictionary() const;

    // The translation of `key` in `table` (the default table when empty);
    // when there is none: `value` if it is not empty, else the key itself.
    QString localizedStringForKey(const QString &key, const QString &value, const QString &table = QString()) const;

    // Path of the resource "<name>.<type>", or a null string when absent.
    QString pathForResource(const QString &name, const QString &type) const;

    // The image named `name` (PNG at 1x and @2x, or SVG); a null icon when absent.
    QIcon imageNamed(const QString &name) const;

    // Interface descriptions: a loader builds the windows of `name` and fills
    // the fields of `owner`. loadNibNamed returns false when there is no
    // loader for the name or the loader fails.
    using InterfaceLoader = std::function<bool(QObject *owner)>;
    void registerInterface(const QString &name, InterfaceLoader loader);
    void unregisterInterface(const QString &name);
    bool loadNibNamed(const QString &name, QObject *owner) const;

    // The directory searched before the built-in resources (for tests).
    void setResourceOverrideDirectory(const QString &directory) { m_overrideDirectory = directory; }

private:
    Bundle() = default;
    QHash<QString, InterfaceLoader> m_interfaces;
    QString m_overrideDirectory;
};

// The alert beep.
void beep();

} // namespace kv::ui
