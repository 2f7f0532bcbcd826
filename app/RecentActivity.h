#pragma once

// The browser's marks of recent activity: every change list merged is noted,
// and each row with a key changed below it in the last ten seconds carries a
// dot that fades over those seconds (redrawn twice a second while any does).

#include "browser/RecentChanges.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class KVNController;

namespace kv::ui {
class ColumnBrowser;
}

namespace kv::app {

class RecentActivity : public QObject
{
public:
    // The clock, in milliseconds (steady); tests give their own.
    using Clock = std::function<qint64()>;
    RecentActivity(KVNController *controller, kv::ui::ColumnBrowser *browser, Clock clock = {});
    ~RecentActivity() override;

    static constexpr int RedrawMilliseconds = 500;

    const kv::browser::RecentChanges &changes() const { return m_changes; }
    bool isRedrawing() const { return m_redraw.isActive(); }
    // What the redraw timer does: draws the rows again and, once nothing is
    // recent any more, forgets and stops.
    void redraw();

private:
    void changesMerged(const QStringList &keys);
    qint64 now() const { return m_clock ? m_clock() : m_elapsed.elapsed(); }

    KVNController *m_controller;
    kv::ui::ColumnBrowser *m_browser;
    Clock m_clock;
    QElapsedTimer m_elapsed;
    kv::browser::RecentChanges m_changes;
    QTimer m_redraw;
};

} // namespace kv::app
