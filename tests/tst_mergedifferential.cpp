// Change lists merged by editing the browser's columns in place must leave
// exactly what loading the columns afresh leaves: two controllers over one
// store take the same random change lists, one each way, and after every
// list their browsers (every loaded column's titles, leaf flags and
// selection, the path), key fields, shown values and consoles must agree.
//
// KEYVANE_MERGE_ROUNDS sets the number of change lists (default 10,000).

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "console/ConsoleLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "store/KeyList.h"

#include <QtTest>

namespace {

const QString Separator = QStringLiteral("{|}~@!@");

// Keys from a small alphabet, so that rows share names, titles repeat in one
// column ("A", "A-1", "A/B" order), and keys that get no row turn up.
QString randomKey(QRandomGenerator &random)
{
    static const char *const odd[] = {" ", ":x", "NoColon", "A: /x", "A:", " A:/A", "A:/A/", "A://A"};
    if (random.bounded(12) == 0)
        return QString::fromLatin1(odd[random.bounded(int(std::size(odd)))]);
    static const char *const domains[] = {"State:", "Setup:", "A:", "A-1:", "a:"};
    static const char *const pieces[] = {"A", "A-1", "B", "a", "0", "C D"};
    QString key = QString::fromLatin1(domains[random.bounded(int(std::size(domains)))]);
    const int depth = 1 + random.bounded(4);
    for (int i = 0; i < depth; ++i)
        key += u'/' + QString::fromLatin1(pieces[random.bounded(int(std::size(pieces)))]);
    return key;
}

// Everything a user sees of a controller's browser, key field and values.
QString shown(KVNController &controller)
{
    kv::ui::ColumnBrowser *browser = controller.kvnBrowser;
    QString text = QStringLiteral("path %1\n").arg(browser->path());
    for (int column = 0; column < browser->numberOfColumns(); ++column) {
        text += QStringLiteral("column %1 selected %2:").arg(column).arg(browser->selectedRowInColumn(column));
        for (int row = 0; row < browser->numberOfRowsInColumn(column); ++row)
            text += u' ' + browser->titleOfRow(row, column) + (browser->isLeafRow(row, column) ? u'.' : u'>');
        text += u'\n';
    }
    text +=
        QStringLiteral("key %1\nvalue %2\n").arg(controller.kvnKey->stringValue(), controller.inspectorView->string());
    return text;
}

} // namespace

class TestMergeDifferential : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void inPlaceMergeEqualsFreshLoad();
};

void TestMergeDifferential::inPlaceMergeEqualsFreshLoad()
{
    const int rounds = qEnvironmentVariableIsSet("KEYVANE_MERGE_ROUNDS")
                           ? qEnvironmentVariableIntValue("KEYVANE_MERGE_ROUNDS")
                           : 10000;
    kv::console::clockOverride = [] { return QDateTime(QDate(2026, 12, 8), QTime(12, 0)); };
    kv::StoreEngine engine;
    const kv::StoreEngine::Installation installation(engine);
    QRandomGenerator random(20261208);
    // Enough keys that short lists are edited in place entry by entry, and
    // long ones in one pass.
    for (int i = 0; i < 700; ++i)
        engine.setValue(randomKey(random), kv::PropertyListValue::fromInteger(i));

    KVNController inPlace;
    std::unique_ptr<kv::app::MainInterface> inPlaceWindow = kv::app::loadMainInterface(&inPlace);
    KVNController reference;
    std::unique_ptr<kv::app::MainInterface> referenceWindow = kv::app::loadMainInterface(&reference);
    reference.keyList().mergesInPlace = false;
    KVNController *const both[] = {&inPlace, &reference};
    for (KVNController *controller : both) {
        controller->awakeFromNib();
        QVERIFY(controller->store);
        // Change lists are handed over below, the same to both.
        controller->browserUpdatePolicy = 0;
    }

    for (int round = 0; round < rounds; ++round) {
        // Somewhere to stand: a key, a row on the way to one, or nowhere.
        const QStringList listed = inPlace.storeKeysList;
        QString path = Separator;
        if (!listed.isEmpty() && random.bounded(5) != 0) {
            const QString key = listed.at(random.bounded(int(listed.size())));
            QStringList titles =
                kv::browser::BrowserDataSource::pathOfKey(key, Separator).split(Separator, Qt::SkipEmptyParts);
            if (!titles.isEmpty())
                titles = titles.mid(0, 1 + random.bounded(int(titles.size())));
            path = Separator + titles.join(Separator);
        }
        for (KVNController *controller : both) {
            controller->kvnBrowser->setPath(path);
            controller->browserSingleClick(controller->kvnBrowser);
        }

        // A change list: added, removed and updated keys, some listed twice,
        // the selected one among them now and then.
        QStringList changed;
        const int size = 1 + random.bounded(random.bounded(4) == 0 ? 40 : 6);
        for (int i = 0; i < size; ++i) {
            // Adding and removing kept in balance around the first size.
            int what = random.bounded(10);
            if (engine.keyCount() < 500)
                what = 0;
            else if (engine.keyCount() > 900 && what < 4)
                what = 4;
            if (what < 4) {
                const QString key = randomKey(random);
                engine.setValue(key, kv::PropertyListValue::fromInteger(round));
                changed << key;
            } else {
                const QStringList keys = engine.keys();
                const QString key = what == 9 && !inPlace.kvnKey->stringValue().isEmpty()
                                        ? inPlace.kvnKey->stringValue()
                                        : keys.at(random.bounded(int(keys.size())));
                if (what < 7)
                    engine.removeValue(key);
                else
                    engine.setValue(key, kv::PropertyListValue::fromInteger(-round));
                changed << key;
            }
            if (random.bounded(8) == 0)
                changed << changed.at(random.bounded(int(changed.size())));
        }

        QString seen[2];
        for (int i = 0; i < 2; ++i) {
            KVNController *controller = both[i];
            controller->browserUpdatePolicy = 1;
            controller->storeNotification(changed);
            controller->browserUpdatePolicy = 0;
            seen[i] = shown(*controller);
        }
        if (seen[0] != seen[1]) {
            qWarning("round %d, path %s, changed: %s", round, qPrintable(path.split(Separator).join(u'/')),
                     qPrintable(changed.join(QLatin1String(" | "))));
            QCOMPARE(seen[0], seen[1]);
        }
        QCOMPARE(inPlace.storeKeysList, reference.storeKeysList);
        QCOMPARE(inPlace.consoleView->string(), reference.consoleView->string());
        if (round % 64 == 0)
            QCoreApplication::processEvents(); // models and views let go of
    }
    // Most lists change the key set; each such merge was made in place.
    QVERIFY(inPlace.keyList().mergesMadeInPlace > rounds / 2);
    QCOMPARE(reference.keyList().mergesMadeInPlace, 0);
    // Rows were kept many times, rows made of added keys and rows left out
    // among them, and rows grouped afresh where two became one or one split.
    const kv::browser::BrowserDataSource *columns = inPlace.keyList().columns();
    const QByteArray runs = QByteArray::number(columns->rowRunsKept) + " kept ("
                            + QByteArray::number(columns->keptRunRowsAdded) + " rows added, "
                            + QByteArray::number(columns->keptRunRowsDropped) + " left out), "
                            + QByteArray::number(columns->rowRunsRegrouped) + " regrouped";
    QVERIFY2(columns->rowRunsKept > rounds / 4, runs);
    QVERIFY2(columns->keptRunRowsAdded > rounds / 100 && columns->keptRunRowsDropped > rounds / 100, runs);
    QVERIFY2(columns->rowRunsRegrouped > 0, runs);
    // Deeper columns mostly followed the leaves their keys were moved to.
    const QByteArray moved = QByteArray::number(columns->movedLeavesFollowed) + " followed, "
                             + QByteArray::number(columns->movedLeavesLost) + " lost";
    QVERIFY2(columns->movedLeavesFollowed > rounds / 10 && columns->movedLeavesLost < columns->movedLeavesFollowed / 2,
             moved);
    kv::console::clockOverride = {};
}

QTEST_MAIN(TestMergeDifferential)
#include "tst_mergedifferential.moc"
