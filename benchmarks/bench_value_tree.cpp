// Selecting a large value: reload of the value tree, full expansion and the
// first paint, compared with filling a QTreeWidget eagerly with the same rows
// and expanding it. Offscreen; prints both times and their ratio.
//
//   bench_value_tree [-platform offscreen] [rounds]

#include "app/KVNController.h"
#include "benchmarks/Median.h"
#include "inspector/KVNItem.h"
#include "platform/ui/OutlineView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

using kv::PropertyListValue;

namespace {

// 1,000 dictionaries, each with 50 strings and an array of 49 numbers:
// 1 + 1,000 * (1 + 50 + 1 + 49) = 101,001 items.
PropertyListValue largeValue()
{
    kv::PropertyListArray outer;
    for (int i = 0; i < 1000; ++i) {
        kv::PropertyListDictionary entries;
        for (int j = 0; j < 50; ++j)
            entries.insert(QStringLiteral("Key%1").arg(j, 2, 10, QLatin1Char('0')),
                           PropertyListValue::fromString(QStringLiteral("value %1.%2").arg(i).arg(j)));
        kv::PropertyListArray numbers;
        for (int j = 0; j < 49; ++j)
            numbers.append(PropertyListValue::fromInteger(qint64(i) * 100 + j));
        entries.insert(QStringLiteral("Numbers"), PropertyListValue::fromArray(numbers));
        outer.append(PropertyListValue::fromDictionary(entries));
    }
    return PropertyListValue::fromArray(outer);
}

// The eager way: one QTreeWidgetItem per value, texts computed up front.
void fillEagerly(QTreeWidgetItem *parent, KVNItem *item)
{
    for (int i = 0; i < item->numberOfChildren(); ++i) {
        KVNItem *child = item->childAtIndex(i);
        auto *row = new QTreeWidgetItem(parent, {child->name(), child->objectType(), child->value()});
        fillEagerly(row, child);
    }
}

int countRows(KVNItem *item)
{
    int rows = 1;
    for (int i = 0; i < item->numberOfChildren(); ++i)
        rows += countRows(item->childAtIndex(i));
    return rows;
}

using bench::median;

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[argc - 1]).toInt()) : 5;

    KVNController controller;
    kv::ui::OutlineView outline;
    controller.kvnOutlineViewKeyColumn = outline.addTableColumn(QStringLiteral("key"), QStringLiteral("Key"));
    controller.kvnOutlineViewTypeColumn = outline.addTableColumn(QStringLiteral("type"), QStringLiteral("Type"));
    controller.kvnOutlineViewValueColumn = outline.addTableColumn(QStringLiteral("value"), QStringLiteral("Value"));
    controller.kvnOutlineView = &outline;
    outline.setDataSource(&controller);
    outline.setDelegate(&controller);
    outline.resize(800, 600);
    outline.show();

    QTreeWidget eager;
    eager.setHeaderLabels({QStringLiteral("Key"), QStringLiteral("Type"), QStringLiteral("Value")});
    eager.resize(800, 600);
    eager.show();
    QCoreApplication::processEvents();

    const PropertyListValue value = largeValue();
    std::vector<double> lazyTimes, eagerTimes;
    int lazyRows = 0, eagerRows = 0;

    for (int round = 0; round < rounds; ++round) {
        // The program's way, as a selection does it.
        {
            QElapsedTimer timer;
            timer.start();
            controller.selectedKeyContents = value;
            KVNItem::releaseRootItem();
            KVNItem::setRootItem(&controller.selectedKeyContents);
            outline.reloadData();
            outline.expandItem(KVNItem::rootItem(), true);
            QCoreApplication::processEvents();
            const QPixmap shot = outline.grab();
            lazyTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (shot.isNull())
                return 1;
            lazyRows = outline.numberOfRows();
        }
        // Empty the outline view so both start alike in the next round.
        KVNItem::releaseRootItem();
        KVNItem::setRootItem(nullptr);
        outline.reloadData();
        QCoreApplication::processEvents();

        // The eager way, from the same items (their texts made up front).
        // The outline view shows the new root (collapsed) before the clock
        // starts: it holds the items it shows, so it is told of every new
        // root before it can paint again, as the program does.
        {
            KVNItem::setRootItem(&value);
            outline.reloadData();
            QCoreApplication::processEvents();
            QElapsedTimer timer;
            timer.start();
            eager.clear();
            KVNItem *root = KVNItem::rootItem();
            auto *top = new QTreeWidgetItem(QStringList{root->name(), root->objectType(), root->value()});
            fillEagerly(top, root);
            eager.addTopLevelItem(top);
            eager.expandAll();
            QCoreApplication::processEvents();
            const QPixmap shot = eager.grab();
            eagerTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (shot.isNull())
                return 1;
            eagerRows = countRows(root);
            KVNItem::setRootItem(nullptr);
            outline.reloadData();
        }
        eager.clear();
        QCoreApplication::processEvents();
    }

    const double lazy = median(lazyTimes);
    const double full = median(eagerTimes);
    std::printf("value tree rows: %d (eager tree: %d)\n", lazyRows, eagerRows);
    std::printf("outline view (reload + expand all + first paint): %.1f ms (median of %d)\n", lazy, rounds);
    std::printf("eager QTreeWidget (fill + expandAll + first paint): %.1f ms (median of %d)\n", full, rounds);
    std::printf("ratio outline/eager: %.3f\n", lazy / full);
    std::printf("RESULT name=value_tree ratio=%.3f goal=0.5\n", lazy / full);
    return lazyRows == eagerRows ? 0 : 1;
}
