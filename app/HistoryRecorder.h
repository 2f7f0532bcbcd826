#pragma once

// The history of the store's changes while the program runs: every change
// list merged is appended, with the keys' old values (handed out by the
// store during its callout) and their new ones, at the console's time. It is
// kept from the start, whether or not the History window is open, and
// Save History… writes it as JSON Lines.

#include "history/ChangeHistory.h"

#include <QObject>

#include <memory>

class KVNController;
class QWidget;

namespace kv::ui {
class SavePanel;
}
namespace kv::history {
class HistoryModel;
}

namespace kv::app {

class HistoryRecorder : public QObject
{
public:
    explicit HistoryRecorder(KVNController *controller,
                             qsizetype maximumEntries = kv::history::ChangeHistory::DefaultMaximumEntries,
                             qint64 maximumValueBytes = kv::history::ChangeHistory::DefaultMaximumValueBytes);
    ~HistoryRecorder() override;

    kv::history::HistoryModel *model() const { return m_model.get(); }
    const kv::history::ChangeHistory &history() const;

    // Save History…: a save panel as a sheet on `window`, in the recent
    // documents' folder, proposing "History.jsonl"; saving writes the
    // history there. A failed write is told to the user (a warning on
    // `window`) and to the system log; the file at the path is left as it was.
    void saveHistory(QWidget *window);

private:
    void changesMerged(const QStringList &keys);
    void didEnd(kv::ui::SavePanel *panel, int returnCode, QWidget *window);

    KVNController *m_controller;
    std::unique_ptr<kv::history::HistoryModel> m_model;
};

} // namespace kv::app
