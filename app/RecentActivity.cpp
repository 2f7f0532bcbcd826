#include "app/RecentActivity.h"

#include "app/KVNController.h"
#include "platform/ui/ColumnBrowser.h"

namespace kv::app {

RecentActivity::RecentActivity(KVNController *controller, kv::ui::ColumnBrowser *browser, Clock clock)
    : m_controller(controller), m_browser(browser), m_clock(std::move(clock))
{
    m_elapsed.start();
    m_redraw.setInterval(RedrawMilliseconds);
    connect(&m_redraw, &QTimer::timeout, this, &RecentActivity::redraw);
    connect(controller, &KVNController::changesMerged, this, &RecentActivity::changesMerged);
    m_browser->setRowActivity([this](int row, int column) -> qreal {
        const kv::BranchNode *node = m_controller->columns().node(row, column);
        return node ? m_changes.activity(*node, column, now()) : 0;
    });
}

RecentActivity::~RecentActivity()
{
    m_browser->setRowActivity({});
}

void RecentActivity::changesMerged(const QStringList &keys)
{
    if (keys.isEmpty())
        return;
    // In the key list's order, rows shared by neighbours are noted once.
    m_changes.noteChanged(keys, now(), m_controller->keyList().lastChangesInListOrder());
    m_browser->refreshRowActivity();
    if (!m_redraw.isActive())
        m_redraw.start();
}

void RecentActivity::redraw()
{
    const qint64 at = now();
    m_changes.forgetOlderThanSpan(at);
    m_browser->refreshRowActivity();
    if (!m_changes.isActive(at))
        m_redraw.stop();
}

} // namespace kv::app
