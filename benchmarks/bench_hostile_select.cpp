// Selecting a hostile value in the real main window (offscreen, shown, with
// the inspector panel shown), then selecting another key: the longest time
// the event loop is held at once, measured by a timer that ticks every 10 ms
// and records the largest gap between ticks, until both windows have been
// painted and the loop has stayed idle for a while. Also prints each part
// of the work timed on its own.
//
//   bench_hostile_select [-platform offscreen] [case...]
//
// Cases: string (10 MB string, a line break every 80 characters), line
// (10 MB string without line breaks), array (1,000,000 numbers), deep
// (512 levels). Without cases, all four run.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "inspector/KVNItem.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"
#include "tests/HostileValues.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

using kv::PropertyListValue;

namespace {

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Watches the event loop: the largest gap between the ticks of a 10 ms timer,
// and the time of the last paint of the watched widgets.
class StallWatch : public QObject
{
public:
    StallWatch(std::initializer_list<QWidget *> widgets)
    {
        for (QWidget *widget : widgets)
            widget->installEventFilter(this);
        m_ticker.setInterval(10);
        m_ticker.setTimerType(Qt::PreciseTimer);
        connect(&m_ticker, &QTimer::timeout, this, [this] {
            const double now = msSince(m_clock);
            m_worstGap = std::max(m_worstGap, now - m_lastTick);
            m_lastTick = now;
        });
    }

    // Runs `action` from inside the event loop and keeps the loop turning
    // until `idleMs` have passed since the last paint of a watched widget.
    void run(const std::function<void()> &action, double idleMs = 1500)
    {
        m_clock.start();
        m_lastTick = 0;
        m_worstGap = 0;
        m_lastPaint = 0;
        m_actionMs = 0;
        m_ticker.start();
        QTimer::singleShot(0, this, [&] {
            QElapsedTimer timer;
            timer.start();
            action();
            m_actionMs = msSince(timer);
            m_start = msSince(m_clock) - m_actionMs;
        });
        QEventLoop loop;
        QTimer check;
        check.setInterval(20);
        connect(&check, &QTimer::timeout, &loop, [&] {
            if (m_actionMs > 0 && msSince(m_clock) - std::max(m_lastPaint, m_start + m_actionMs) > idleMs)
                loop.quit();
        });
        check.start();
        loop.exec();
        m_ticker.stop();
    }

    double worstGapMs() const { return m_worstGap; }
    double actionMs() const { return m_actionMs; }
    // From the start of the action to the end of the last paint.
    double totalMs() const { return std::max(m_lastPaint, m_start + m_actionMs) - m_start; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            const bool handled = QObject::eventFilter(watched, event);
            // The paint itself runs after the filter; count it from the next tick.
            QTimer::singleShot(0, this, [this] { m_lastPaint = msSince(m_clock); });
            return handled;
        }
        return false;
    }

private:
    QTimer m_ticker;
    QElapsedTimer m_clock;
    double m_lastTick = 0;
    double m_worstGap = 0;
    double m_lastPaint = 0;
    double m_start = 0;
    double m_actionMs = 0;
};

QString pathOf(const KVNController &controller, std::initializer_list<QStringView> titles)
{
    const QString separator = controller.kvnBrowser->pathSeparator();
    QString path;
    for (QStringView title : titles)
        path += separator + title.toString();
    return path;
}

struct Case
{
    const char *name;
    const char *figure;
    std::function<PropertyListValue()> make;
};

void runCase(const Case &hostile)
{
    const PropertyListValue value = hostile.make();
    kv::StoreEngine engine;
    kv::StoreEngine::setInstance(&engine);
    engine.setValue(QStringLiteral("State:/Hostile/Other"), PropertyListValue::fromInteger(1));
    engine.setValue(QStringLiteral("State:/Hostile/Value"), value);
    {
        KVNController controller;
        std::unique_ptr<kv::app::MainInterface> ui = kv::app::loadMainInterface(&controller);
        ui->mainWindow->resize(900, 700);
        ui->mainWindow->show();
        controller.awakeFromNib();
        controller.showInspector(nullptr);
        QCoreApplication::processEvents();

        // The parts, each timed alone.
        QElapsedTimer timer;
        timer.start();
        const QString text = value.typeName() + QStringLiteral(": ") + value.description();
        const double describeMs = msSince(timer);

        QWidget *inspector = controller.inspectorView;
        QWidget *tree = controller.kvnOutlineView->viewport();
        StallWatch watch{ui->mainWindow.get(), ui->inspectorPanel.get(), inspector, tree};

        watch.run([&] {
            controller.kvnBrowser->setPath(pathOf(controller, {u"State", u"Hostile", u"Value"}));
            controller.browserSingleClick(controller.kvnBrowser);
        });
        const double selectStall = watch.worstGapMs(), selectCall = watch.actionMs(), selectTotal = watch.totalMs();
        const bool shown = controller.inspectorView->stringLength() == text.size()
                           && qsizetype(controller.kvnOutlineView->numberOfRows()) > 0;

        watch.run([&] {
            controller.kvnBrowser->setPath(pathOf(controller, {u"State", u"Hostile", u"Other"}));
            controller.browserSingleClick(controller.kvnBrowser);
        });
        const double leaveStall = watch.worstGapMs(), leaveCall = watch.actionMs(), leaveTotal = watch.totalMs();

        // The text view alone, shown, with the value tree empty.
        watch.run([&] { controller.inspectorView->setString(text); });
        const double textStall = watch.worstGapMs(), textCall = watch.actionMs();
        watch.run([&] { controller.inspectorView->setString(QString()); });
        const double textClearStall = watch.worstGapMs();

        // The value tree alone: reload and expand everything.
        double rootMs = 0, reloadMs = 0, expandMs = 0;
        watch.run([&] {
            QElapsedTimer part;
            part.start();
            controller.selectedKeyContents = value;
            KVNItem::releaseRootItem();
            KVNItem::setRootItem(&controller.selectedKeyContents);
            KVNItem::rootItem()->numberOfChildren();
            rootMs = msSince(part);
            part.restart();
            controller.kvnOutlineView->reloadData();
            reloadMs = msSince(part);
            part.restart();
            controller.kvnOutlineView->expandItem(KVNItem::rootItem(), true);
            expandMs = msSince(part);
        });
        const double treeStall = watch.worstGapMs(), treeCall = watch.actionMs();
        const int rows = controller.kvnOutlineView->numberOfRows();
        watch.run([&] {
            KVNItem::releaseRootItem();
            KVNItem::setRootItem(nullptr);
            controller.kvnOutlineView->reloadData();
            controller.selectedKeyContents = PropertyListValue();
        });
        const double treeClearStall = watch.worstGapMs();

        const double worst = std::max(selectStall, leaveStall);
        std::printf("%s: select: worst stall %.0f ms (call %.0f ms, all painted after %.0f ms); select another key: "
                    "worst stall %.0f ms (call %.0f ms, painted after %.0f ms)\n",
                    hostile.name, selectStall, selectCall, selectTotal, leaveStall, leaveCall, leaveTotal);
        std::printf(
            "%s: description %.0f ms (%lld characters); text view alone: worst stall %.0f ms (setString %.0f ms), "
            "clearing %.0f ms; value tree alone (%d rows): worst stall %.0f ms (reload + expand %.0f ms), "
            "clearing %.0f ms%s\n",
            hostile.name, describeMs, qlonglong(text.size()), textStall, textCall, textClearStall, rows, treeStall,
            treeCall, treeClearStall, shown ? "" : " [NOT SHOWN]");
        std::printf("%s: value tree parts: root item and its children %.0f ms, reload %.0f ms, expand all %.0f ms\n",
                    hostile.name, rootMs, reloadMs, expandMs);
        std::printf(
            "RESULT name=hostile_select_%s ratio=%.3f goal=1.0 figure=\"%s: worst event-loop stall selecting it "
            "and then another key, in s (select %.2f s, leave %.2f s)\"\n",
            hostile.name, worst / 1000.0, hostile.figure, selectStall / 1000.0, leaveStall / 1000.0);
        std::fflush(stdout);
        ui.reset();
    }
    kv::StoreEngine::setInstance(nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const Case cases[] = {
        {"string", "10 MB string", [] { return hostile::largeString(10, true); }},
        {"line", "10 MB string on one line", [] { return hostile::largeString(10, false); }},
        {"array", "1,000,000-element array", [] { return hostile::largeArray(1000000); }},
        {"deep", "512 levels deep", [] { return hostile::nestedValue(512); }},
    };
    QStringList wanted;
    for (int i = 1; i < argc; ++i)
        wanted.append(QString::fromLocal8Bit(argv[i]));
    if (wanted.isEmpty())
        wanted = {QStringLiteral("string"), QStringLiteral("line"), QStringLiteral("array"), QStringLiteral("deep")};
    for (const Case &hostile : cases) {
        if (wanted.contains(QString::fromLatin1(hostile.name)))
            runCase(hostile);
    }
    return 0;
}
