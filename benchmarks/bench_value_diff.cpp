// Comparing two 100,000-item values that differ in 10 entries against what
// the value-tree benchmark measures for such a value: selecting it in the
// outline view, expanding it all and the first paint. Offscreen.
//
//   bench_value_diff [-platform offscreen] [rounds]
//
// The diff is timed on two values built apart (nothing shared, as when they
// come from two files: every equal part is compared in full) and on a value
// and its edited copy (equal parts shared, skipped unwalked).

#include "app/KVNController.h"
#include "benchmarks/Median.h"
#include "history/ValueDiff.h"
#include "inspector/KVNItem.h"
#include "platform/ui/OutlineView.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using kv::PropertyListValue;

namespace {

// The value-tree benchmark's value: 1,000 dictionaries, each with 50
// strings and an array of 49 numbers (101,001 items). `edited` changes one
// string in 10 of the dictionaries.
PropertyListValue largeValue(bool edited)
{
    kv::PropertyListArray outer;
    for (int i = 0; i < 1000; ++i) {
        kv::PropertyListDictionary entries;
        for (int j = 0; j < 50; ++j) {
            const bool change = edited && i % 100 == 50 && j == 25;
            entries.insert(QStringLiteral("Key%1").arg(j, 2, 10, QLatin1Char('0')),
                           PropertyListValue::fromString(
                               QString::fromLatin1(change ? "changed %1.%2" : "value %1.%2").arg(i).arg(j)));
        }
        kv::PropertyListArray numbers;
        for (int j = 0; j < 49; ++j)
            numbers.append(PropertyListValue::fromInteger(qint64(i) * 100 + j));
        entries.insert(QStringLiteral("Numbers"), PropertyListValue::fromArray(numbers));
        outer.append(PropertyListValue::fromDictionary(entries));
    }
    return PropertyListValue::fromArray(outer);
}

// The value with the same 10 strings changed, sharing everything else.
PropertyListValue editedCopy(const PropertyListValue &value)
{
    kv::PropertyListArray outer = value.array();
    for (int i = 50; i < outer.size(); i += 100) {
        kv::PropertyListDictionary entries = outer.at(i).dictionary();
        entries.insert(QStringLiteral("Key25"), PropertyListValue::fromString(QStringLiteral("changed %1.25").arg(i)));
        outer[i] = PropertyListValue::fromDictionary(entries);
    }
    return PropertyListValue::fromArray(outer);
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
    QCoreApplication::processEvents();

    const PropertyListValue value = largeValue(false);
    const PropertyListValue apart = largeValue(true);
    const PropertyListValue shared = editedCopy(value);
    std::vector<double> outlineTimes, apartTimes, sharedTimes;
    qsizetype apartEntries = 0, sharedEntries = 0;

    for (int round = 0; round < rounds; ++round) {
        // The outline view's time, as the value-tree benchmark measures it.
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
            outlineTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (shot.isNull())
                return 1;
        }
        KVNItem::releaseRootItem();
        KVNItem::setRootItem(nullptr);
        outline.reloadData();
        QCoreApplication::processEvents();

        QElapsedTimer timer;
        timer.start();
        apartEntries = kv::history::diffValues(value, apart).size();
        apartTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.start();
        sharedEntries = kv::history::diffValues(value, shared).size();
        sharedTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
    }

    const double view = median(outlineTimes);
    const double diffApart = median(apartTimes);
    const double diffShared = median(sharedTimes);
    std::printf("value: 101,001 items, 10 entries differ\n");
    std::printf("outline view (reload + expand all + first paint): %.2f ms (median of %d)\n", view, rounds);
    std::printf("diff, values built apart: %.2f ms (%lld entries)\n", diffApart, static_cast<long long>(apartEntries));
    std::printf("diff, edited copy sharing the rest: %.3f ms (%lld entries)\n", diffShared,
                static_cast<long long>(sharedEntries));
    std::printf("ratio diff (built apart) / outline: %.3f; diff (sharing) / outline: %.4f\n", diffApart / view,
                diffShared / view);
    // The goal is set for the diff as a change makes it, its unchanged
    // parts shared with the value before; two values built apart share
    // nothing, and comparing them is bounded by comparing them for equality.
    std::printf("RESULT name=value_diff ratio=%.4f goal=0.25 figure=\"diff of a value and its edited copy sharing the "
                "rest %.3f ms / outline %.1f ms\"\n",
                diffShared / view, diffShared, view);
    std::printf("RESULT name=value_diff_apart value=%.2fx figure=\"diff of the same values built apart %.1f ms / "
                "outline %.1f ms\"\n",
                diffApart / view, diffApart, view);
    return apartEntries == 10 && sharedEntries == 10 ? 0 : 1;
}
