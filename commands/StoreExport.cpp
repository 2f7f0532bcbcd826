#include "commands/StoreExport.h"

#include "platform/SystemLog.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/DocumentController.h"

#include <QDir>
#include <QMessageBox>

namespace kv::commands {

namespace {

// A failed export is told to the user (a warning on the main window) and to
// the system log (one line); the file at the path is left as it was.
void reportExportFailure(QWidget *window, const QString &path, const QString &reason)
{
    systemLog(QStringLiteral("Export to %1 failed: %2").arg(path, reason));

    auto *box = new QMessageBox(
        QMessageBox::Warning, QObject::tr("Export Failed"),
        QObject::tr("The configuration store could not be exported to “%1”.").arg(QDir::toNativeSeparators(path)),
        QMessageBox::Ok, window);
    box->setObjectName(QStringLiteral("exportFailedWarning"));
    box->setInformativeText(reason);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

} // namespace

StoreExport::StoreExport(const Fields &fields) : m_fields(fields)
{}

void StoreExport::exportStore(QObject *modalDelegate, ui::SavePanel::DidEndHandler didEnd)
{
    const QString directory = ui::DocumentController::sharedDocumentController()->currentDirectory();
    // A fresh panel every time: extension shown, property lists only.
    ui::SavePanel *panel = ui::SavePanel::savePanel(modalDelegate);
    panel->setExtensionHidden(false);
    panel->setRequiredFileType(QStringLiteral("plist"));
    QWidget *window = m_fields.kvnBrowser ? m_fields.kvnBrowser->window() : nullptr;
    panel->beginSheetForDirectory(directory, QStringLiteral("System Configuration"), window, modalDelegate,
                                  std::move(didEnd), nullptr);
}

void StoreExport::didEnd(ui::SavePanel *panel, int returnCode)
{
    const QUrl url = panel ? panel->url() : QUrl();
    // Only a confirmed panel with a location goes on.
    if (returnCode == ui::SavePanel::OK && !url.isEmpty()) {
        // Every listed key's value in one request, no patterns: the keys as
        // listed now, when the user confirmed.
        std::optional<PropertyListDictionary> values;
        if (m_fields.store)
            values = storeCopyMultiple(m_fields.store.get(), &m_fields.storeKeysList, nullptr);
        const QString path = panel->filename();
        QString reason;
        bool written = false;
        if (values) {
            written = writePropertyListFile(path, PropertyListValue::fromDictionary(*values), &reason);
        } else if (m_fields.store) {
            reason = QObject::tr("the configuration store did not answer (%1)").arg(storeErrorString(storeError()));
        } else {
            reason = QObject::tr("the configuration store is not available");
        }
        // A written file becomes a recent document (its folder the next
        // starting place).
        if (written)
            ui::DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(url);
        else
            reportExportFailure(m_fields.kvnBrowser ? m_fields.kvnBrowser->window() : nullptr, path, reason);
    }
    if (panel)
        panel->deleteLater();
}

} // namespace kv::commands
