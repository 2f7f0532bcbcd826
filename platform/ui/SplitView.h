#pragma once

#include <QRectF>
#include <QSplitter>

namespace kv::ui {

class SplitViewDelegate;

// A split view with a horizontal divider between a top and a bottom pane.
// Its delegate limits where the divider may stand (in the split view's own
// units, measured from its top).
class SplitView : public QSplitter
{
    Q_OBJECT
public:
    explicit SplitView(QWidget *parent = nullptr);

    void setDelegate(SplitViewDelegate *delegate);
    SplitViewDelegate *delegate() const { return m_delegate; }
    QRectF frame() const { return QRectF(geometry()); }

    // The divider's position (the top pane's height) and moving it; the
    // delegate's limits apply.
    int dividerPosition() const;
    void setDividerPosition(int position);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // Moves the divider into the delegate's limits.
    void applyLimits();
    int constrained(int position) const;

    SplitViewDelegate *m_delegate = nullptr;
    bool m_applying = false;
};

} // namespace kv::ui
