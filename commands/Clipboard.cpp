#include "commands/Clipboard.h"

#include "platform/plist/PropertyListFile.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace kv::commands {

namespace {
const QString PlainTextMimeType = QStringLiteral("text/plain");
const QString EntryPathSeparator = QStringLiteral(" \u203a ");
} // namespace

QMimeData *mimeDataForText(const QString &text)
{
    auto *data = new QMimeData;
    data->setText(text); // offered as text/plain in UTF-8
    return data;
}

QString valueText(const PropertyListValue &value)
{
    // The Value column shows a scalar's description and a container's entry
    // count; a copied container is worth more as its whole text.
    return value.description();
}

QString entryPathText(const QString &key, const QStringList &entryPath)
{
    QStringList pieces;
    pieces.reserve(entryPath.size() + 1);
    if (!key.isEmpty())
        pieces.append(key);
    pieces.append(entryPath);
    return pieces.join(EntryPathSeparator);
}

QMimeData *mimeDataForPropertyList(const PropertyListValue &value, QString *error)
{
    QString reason;
    const QByteArray xml = writePropertyListXml(value, &reason);
    if (xml.isEmpty()) {
        if (error)
            *error = reason;
        return nullptr;
    }
    auto *data = new QMimeData;
    // Text editors take the plain text, property-list readers the typed
    // copy; both are the very bytes the writer made.
    data->setData(PlainTextMimeType, xml);
    data->setData(PropertyListMimeType, xml);
    return data;
}

void copyToClipboard(QMimeData *data)
{
    if (!data)
        return;
    if (!qGuiApp) {
        delete data;
        return;
    }
    QGuiApplication::clipboard()->setMimeData(data);
}

} // namespace kv::commands
