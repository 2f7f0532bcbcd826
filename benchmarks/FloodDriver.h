#pragma once

// A flood of store changes into the real controller and main interface (shown
// offscreen): a source publishes at a given rate of changes per minute (a
// third each added, removed and updated keys) while a 10 ms ticker measures
// how long the event loop goes unanswered and samples the resident size and
// the heap in use. Shared by tests/tst_flood (short)
// and benchmarks/bench_flood (soak).

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "benchmarks/ResidentMemory.h"
#include "browser/ColumnTree.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <malloc.h>

namespace flood {

using ::residentBytes;

// Bytes the allocator has handed out and not had back (small blocks and
// mapped ones): what the heap holds, whatever the resident size.
inline qint64 heapInUseBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

struct Figures
{
    double seconds = 0;
    qint64 changesPublished = 0;
    qint64 changeLists = 0; // flushes the source made
    double worstGapMs = 0;  // longest time between two 10 ms ticks
    double meanGapMs = 0;
    qint64 residentStart = 0; // after the first fifth of the run
    qint64 residentEnd = 0;
    qint64 residentBefore = 0; // before the flood
    qsizetype consoleMin = -1; // console length sampled after the first fifth
    qsizetype consoleMax = 0;
    qsizetype consoleEnd = 0;
    qsizetype keysAtEnd = 0;
    bool keyListMatches = false;    // the controller's key list equals the engine's keys
    bool columnZeroMatches = false; // its column zero equals one built afresh
    QString pathAtEnd;              // the browser path after the flood
    // (seconds, bytes): ten over the run, then one when the last change list
    // has arrived (with residentEnd)
    QList<QPair<double, qint64>> residentSamples;
    QList<qint64> heapSamples; // heapInUseBytes() at the same moments
};

class Driver
{
public:
    Driver(int initialKeys, int changesPerMinute) : m_rate(changesPerMinute), m_random(17)
    {
        kv::StoreEngine::setInstance(&m_engine);
        m_engine.beginBatch();
        for (int i = 0; i < initialKeys; ++i)
            add(kv::PropertyListValue::fromInteger(i));
        m_engine.endBatch();

        m_ui = kv::app::loadMainInterface(&m_controller);
        m_ui->mainWindow->resize(900, 700);
        m_ui->mainWindow->show();
        m_controller.consoleWindow->resize(640, 360);
        if (!qEnvironmentVariableIsSet("FLOOD_HIDE_CONSOLE"))
            m_controller.consoleWindow->show();
        m_controller.awakeFromNib();
        // The History window open beside them, following every change.
        if (!qEnvironmentVariableIsSet("FLOOD_HIDE_HISTORY")) {
            m_ui->historyWindow().resize(640, 480);
            m_ui->historyWindow().show();
        }
        QApplication::processEvents();

        // A selection two pieces deep, kept through the rebuilds.
        const QString selected = m_controller.storeKeysList.value(m_controller.storeKeysList.size() / 2);
        if (!selected.isEmpty()) {
            const QString separator = m_controller.kvnBrowser->pathSeparator();
            m_controller.kvnBrowser->setPath(separator + selected.section(u':', 0, 0) + separator
                                             + selected.section(u':', 1).mid(1).split(u'/').mid(0, 2).join(separator));
            m_controller.browserSingleClick(m_controller.kvnBrowser);
            m_path = m_controller.kvnBrowser->path();
        }
        QApplication::processEvents();
    }

    ~Driver()
    {
        m_ui.reset();
        kv::StoreEngine::setInstance(nullptr);
    }

    Figures run(int milliseconds)
    {
        Figures figures;
        figures.residentBefore = residentBytes();
        QElapsedTimer clock;
        clock.start();
        const qint64 warmup = milliseconds / 5;

        QTimer source;
        source.setTimerType(Qt::PreciseTimer);
        source.setInterval(10);
        QObject::connect(&source, &QTimer::timeout, [&] {
            const qint64 due = clock.elapsed() * m_rate / 60000 - figures.changesPublished;
            if (due <= 0)
                return;
            m_engine.beginBatch();
            for (qint64 i = 0; i < due; ++i)
                change();
            m_engine.endBatch();
            figures.changesPublished += due;
            ++figures.changeLists;
        });

        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        QElapsedTimer sinceTick;
        qint64 ticks = 0;
        double gapSum = 0;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const double gap = double(sinceTick.nsecsElapsed()) / 1e6;
            sinceTick.restart();
            figures.worstGapMs = std::max(figures.worstGapMs, gap);
            gapSum += gap;
            ++ticks;
            if (clock.elapsed() >= qint64(figures.residentSamples.size() + 1) * milliseconds / 10) {
                figures.residentSamples.append({double(clock.elapsed()) / 1000.0, residentBytes()});
                figures.heapSamples.append(heapInUseBytes());
            }
            const qsizetype length = m_controller.consoleView->stringLength();
            if (clock.elapsed() >= warmup) {
                if (figures.residentStart == 0)
                    figures.residentStart = residentBytes();
                figures.consoleMin = figures.consoleMin < 0 ? length : std::min(figures.consoleMin, length);
                figures.consoleMax = std::max(figures.consoleMax, length);
            }
        });

        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        sinceTick.start();
        source.start();
        ticker.start();
        loop.exec();
        source.stop();
        ticker.stop();
        figures.seconds = double(clock.elapsed()) / 1000.0;
        figures.meanGapMs = ticks ? gapSum / double(ticks) : 0;

        // Let the last change list arrive.
        for (int i = 0; i < 10; ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        figures.residentEnd = residentBytes();
        figures.residentSamples.append({double(clock.elapsed()) / 1000.0, figures.residentEnd});
        figures.heapSamples.append(heapInUseBytes());
        figures.consoleEnd = m_controller.consoleView->stringLength();
        figures.keysAtEnd = m_engine.keyCount();
        figures.pathAtEnd = m_controller.kvnBrowser->path();

        const QStringList engineKeys = m_engine.keys();
        figures.keyListMatches = m_controller.storeKeysList == engineKeys;
        const kv::DecomposedKeyList fresh = kv::decomposedStrings(engineKeys);
        const kv::TreeBranch columnZero = kv::buildTreeBranchForColumn(0, &fresh);
        figures.columnZeroMatches = !m_controller.storeTree.isEmpty()
                                    && m_controller.storeTree.first().names == columnZero.names
                                    && m_controller.kvnBrowser->numberOfRowsInColumn(0) == columnZero.names.size();
        return figures;
    }

    kv::StoreEngine &engine() { return m_engine; }
    // The browser path selected before the flood (empty for an empty store).
    const QString &selectedPath() const { return m_path; }
    KVNController &controller() { return m_controller; }

private:
    QString newKey()
    {
        static const char *const domains[] = {"State:", "Setup:", "State:", "Plugin:"};
        static const char *const tails[] = {"IPv4", "IPv6", "DNS", "Proxies", "Link"};
        const int n = m_next++;
        return QStringLiteral("%1/Network/Service/%2-4E2B/%3")
            .arg(QLatin1String(domains[n % 4]))
            .arg(uint(n) * 2654435761u, 8, 16, QLatin1Char('0'))
            .arg(QLatin1String(tails[n % 5]));
    }

    void add(const kv::PropertyListValue &value)
    {
        const QString key = newKey();
        m_engine.setValue(key, value);
        m_live.append(key);
    }

    // One change: a third each added, removed and updated keys.
    void change()
    {
        const int kind = int(m_changes++ % 3);
        if (kind == 0 || m_live.isEmpty()) {
            add(kv::PropertyListValue::fromInteger(m_changes));
            return;
        }
        const qsizetype index = qsizetype(m_random.bounded(quint32(m_live.size())));
        if (kind == 1) {
            m_engine.removeValue(m_live.at(index));
            m_live.swapItemsAt(index, m_live.size() - 1);
            m_live.removeLast();
        } else {
            m_engine.setValue(m_live.at(index), kv::PropertyListValue::fromInteger(-m_changes));
        }
    }

    kv::StoreEngine m_engine;
    KVNController m_controller;
    std::unique_ptr<kv::app::MainInterface> m_ui;
    qint64 m_rate;
    QRandomGenerator m_random;
    QStringList m_live;
    QString m_path;
    int m_next = 0;
    qint64 m_changes = 0;
};

} // namespace flood
