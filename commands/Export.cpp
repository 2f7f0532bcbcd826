#include "app/KVNController.h"

#include "platform/SystemLog.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/DocumentController.h"
#include "platform/ui/SavePanel.h"
#include "platform/ui/Window.h"

#include <QDir>
#include <QMessageBox>

namespace {

// A failed export is told to the user (a warning on the main window) and to
// the system log (one line); the file at the path is left as it was.
void reportExportFailure(QWidget *window, const QString &path, const QString &reason)
{
    kv::systemLog(QStringLiteral("Export to %1 failed: %2").arg(path, reason));

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

void KVNController::exportStore(QObject *)
{
    // 1. Where the panel starts.
    const QString directory = kv::ui::DocumentController::sharedDocumentController()->currentDirectory();
    // 2. A fresh panel: extension shown, property lists only.
    kv::ui::SavePanel *panel = kv::ui::SavePanel::savePanel(this);
    panel->setExtensionHidden(false);
    panel->setRequiredFileType(QStringLiteral("plist"));
    // 3. A sheet on the main window; didEnd finishes the export.
    QWidget *window = kvnBrowser ? kvnBrowser->window() : nullptr;
    panel->beginSheetForDirectory(
        directory, QStringLiteral("System Configuration"), window, this,
        [this](kv::ui::SavePanel *endedPanel, int returnCode, void *contextInfo) {
            didEnd(endedPanel, returnCode, contextInfo);
        },
        nullptr);
}

void KVNController::didEnd(kv::ui::SavePanel *panel, int returnCode, void *)
{
    // 1. The chosen location.
    const QUrl url = panel ? panel->url() : QUrl();
    // 2. Only a confirmed panel with a location goes on.
    if (returnCode == kv::ui::SavePanel::OK && !url.isEmpty()) {
        // 3. Every listed key's value in one request, no patterns.
        std::optional<kv::PropertyListDictionary> values;
        if (store)
            values = kv::storeCopyMultiple(store.get(), &storeKeysList, nullptr);
        // 4. Written as one XML property list, atomically.
        const QString path = panel->filename();
        QString reason;
        bool written = false;
        if (values) {
            written = kv::writePropertyListFile(path, kv::PropertyListValue::fromDictionary(*values), &reason);
        } else if (store) {
            reason = tr("the configuration store did not answer (%1)").arg(kv::storeErrorString(kv::storeError()));
        } else {
            reason = tr("the configuration store is not available");
        }
        // 5. A written file becomes a recent document (its folder the next
        // starting place).
        if (written)
            kv::ui::DocumentController::sharedDocumentController()->noteNewRecentDocumentURL(url);
        else
            reportExportFailure(kvnBrowser ? kvnBrowser->window() : nullptr, path, reason);
        // 6. The fetched values go with `values`.
    }
    if (panel)
        panel->deleteLater();
}
