#include "app/HistoryRecorder.h"

#include "app/KVNController.h"
#include "console/ConsoleLog.h"
#include "history/ui/HistoryModel.h"
#include "platform/SystemLog.h"
#include "platform/ui/DocumentController.h"
#include "platform/ui/SavePanel.h"

#include <QDir>
#include <QMessageBox>
#include <QPointer>

namespace kv::app {

HistoryRecorder::HistoryRecorder(KVNController *controller, qsizetype maximumEntries, qint64 maximumValueBytes)
    : m_controller(controller), m_model(std::make_unique<kv::history::HistoryModel>(maximumEntries, maximumValueBytes))
{
    connect(controller, &KVNController::changesMerged, this, &HistoryRecorder::changesMerged);
}

HistoryRecorder::~HistoryRecorder() = default;

const kv::history::ChangeHistory &HistoryRecorder::history() const
{
    return m_model->history();
}

void HistoryRecorder::changesMerged(const QStringList &keys)
{
    if (keys.isEmpty() || !m_controller->store)
        return;
    // Sent inside the callout: the store hands over the list's changes, each
    // key's values before and after, in the list's order.
    const std::optional<QList<StoreChange>> changes = storeCopyChanges(m_controller->store.get());
    if (!changes) {
        systemLog(QStringLiteral("History: the store did not give the values of %1 changed keys (%2)")
                      .arg(keys.size())
                      .arg(storeErrorString(storeError())));
        return;
    }
    m_model->appendChangeList(kv::console::currentDateTime(), *changes);
}

void HistoryRecorder::saveHistory(QWidget *window)
{
    const QString directory = ui::DocumentController::sharedDocumentController()->currentDirectory();
    ui::SavePanel *panel = ui::SavePanel::savePanel(this);
    panel->setExtensionHidden(false);
    panel->setRequiredFileType(QStringLiteral("jsonl"));
    QPointer<QWidget> owner = window;
    panel->beginSheetForDirectory(
        directory, QStringLiteral("History"), window, this,
        [this, owner](ui::SavePanel *ended, int returnCode, void *) { didEnd(ended, returnCode, owner); }, nullptr);
    if (QFileDialog *dialog = panel->dialog())
        dialog->setNameFilters({tr("JSON Lines (*.jsonl)"), tr("All files (*)")});
}

void HistoryRecorder::didEnd(ui::SavePanel *panel, int returnCode, QWidget *window)
{
    const QString path = panel ? panel->filename() : QString();
    if (returnCode == ui::SavePanel::OK && !path.isEmpty()) {
        QString reason;
        if (!kv::history::writeHistoryJsonLines(path, m_model->history(), &reason)) {
            systemLog(QStringLiteral("Saving the history to %1 failed: %2").arg(path, reason));
            auto *box =
                new QMessageBox(QMessageBox::Warning, tr("Save History Failed"),
                                tr("The history could not be saved to “%1”.").arg(QDir::toNativeSeparators(path)),
                                QMessageBox::Ok, window);
            box->setObjectName(QStringLiteral("saveHistoryFailedWarning"));
            box->setInformativeText(reason);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::WindowModal);
            box->open();
        }
    }
    if (panel)
        panel->deleteLater();
}

} // namespace kv::app
