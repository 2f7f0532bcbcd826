#include "platform/ui/SplitView.h"

#include "platform/ui/Delegates.h"

#include <QResizeEvent>

#include <algorithm>
#include <cmath>

namespace kv::ui {

SplitView::SplitView(QWidget *parent) : QSplitter(Qt::Vertical, parent)
{
    setChildrenCollapsible(false);
    connect(this, &QSplitter::splitterMoved, this, [this](int, int) { applyLimits(); });
}

void SplitView::setDelegate(SplitViewDelegate *delegate)
{
    m_delegate = delegate;
    applyLimits();
}

int SplitView::dividerPosition() const
{
    const QList<int> s = sizes();
    return s.isEmpty() ? 0 : s.first();
}

void SplitView::setDividerPosition(int position)
{
    const QList<int> s = sizes();
    if (s.size() < 2)
        return;
    const int total = s[0] + s[1];
    const int top = std::clamp(constrained(position), 0, std::max(0, total));
    setSizes({top, total - top});
}

int SplitView::constrained(int position) const
{
    if (!m_delegate)
        return position;
    const float low = m_delegate->splitViewConstrainMinCoordinate(const_cast<SplitView *>(this), 0.0f, 0);
    const float high = m_delegate->splitViewConstrainMaxCoordinate(const_cast<SplitView *>(this), float(height()), 0);
    // When the limits cross (a very short split view) the lower one wins.
    float p = float(position);
    if (p > high)
        p = high;
    if (p < low)
        p = low;
    return int(std::lround(p));
}

void SplitView::applyLimits()
{
    if (m_applying || count() < 2)
        return;
    m_applying = true;
    const int current = dividerPosition();
    const int wanted = constrained(current);
    if (wanted != current)
        setDividerPosition(wanted);
    m_applying = false;
}

void SplitView::resizeEvent(QResizeEvent *event)
{
    QSplitter::resizeEvent(event);
    applyLimits();
}

} // namespace kv::ui
