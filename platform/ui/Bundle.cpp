#include "platform/ui/Bundle.h"

#include "platform/ProgramInfo.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmap>

namespace kv::ui {

Bundle &Bundle::mainBundle()
{
    static Bundle bundle;
    return bundle;
}

QVariantMap Bundle::infoDictionary() const
{
    return {
        {QStringLiteral("CFBundleName"), ProgramName},
        {QStringLiteral("CFBundleIdentifier"), QStringLiteral("org.keyvane.") + ProgramName},
        {QStringLiteral("CFBundleShortVersionString"), ProgramVersion},
        {QStringLiteral("CFBundleVersion"), ProgramBuildNumber},
        {QStringLiteral("NSHumanReadableCopyright"), QStringLiteral(KEYVANE_COPYRIGHT)},
    };
}

QVariantMap Bundle::localInfoDictionary() const
{
    QVariantMap localized = infoDictionary();
    for (auto it = localized.begin(); it != localized.end(); ++it) {
        const QByteArray source = it.value().toString().toUtf8();
        it.value() = QCoreApplication::translate("InfoPlist", source.constData());
    }
    return localized;
}

QString Bundle::localizedStringForKey(const QString &key, const QString &value, const QString &table) const
{
    const QByteArray context = table.isEmpty() ? QByteArrayLiteral("Localizable") : table.toUtf8();
    const QByteArray source = key.toUtf8();
    const QString translated = QCoreApplication::translate(context.constData(), source.constData());
    if (translated != key)
        return translated;
    return value.isEmpty() ? key : value;
}

QString Bundle::pathForResource(const QString &name, const QString &type) const
{
    const QString file = type.isEmpty() ? name : name + u'.' + type;
    if (!m_overrideDirectory.isEmpty()) {
        const QString path = QDir(m_overrideDirectory).filePath(file);
        if (QFileInfo::exists(path))
            return path;
    }
    const QString path = QStringLiteral(":/resources/") + file;
    return QFileInfo::exists(path) ? path : QString();
}

namespace {

// Adds the PNG image of `path` to `icon` (at the pixel ratio an "@2x" name
// gives it). The reader is told the format: left to find it, it would load
// every image-format plug-in to ask each whether it reads PNG.
void addPng(QIcon &icon, const QString &path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    const QImage image = reader.read();
    if (!image.isNull())
        icon.addPixmap(QPixmap::fromImage(image));
}

} // namespace

QIcon Bundle::imageNamed(const QString &name) const
{
    QIcon icon;
    for (const QString &dir : {m_overrideDirectory, QStringLiteral(":/images")}) {
        if (dir.isEmpty())
            continue;
        const QString base = QDir(dir).filePath(name);
        if (QFileInfo::exists(base + QStringLiteral(".png"))) {
            addPng(icon, base + QStringLiteral(".png"));
            if (QFileInfo::exists(base + QStringLiteral("@2x.png")))
                addPng(icon, base + QStringLiteral("@2x.png"));
            return icon;
        }
        if (QFileInfo::exists(base + QStringLiteral(".svg"))) {
            icon.addFile(base + QStringLiteral(".svg"));
            return icon;
        }
    }
    return icon;
}

void Bundle::registerInterface(const QString &name, InterfaceLoader loader)
{
    m_interfaces.insert(name, std::move(loader));
}

void Bundle::unregisterInterface(const QString &name)
{
    m_interfaces.remove(name);
}

bool Bundle::loadNibNamed(const QString &name, QObject *owner) const
{
    const auto it = m_interfaces.constFind(name);
    if (it == m_interfaces.constEnd() || !it.value())
        return false;
    return it.value()(owner);
}

void beep()
{
    QApplication::beep();
}

} // namespace kv::ui
