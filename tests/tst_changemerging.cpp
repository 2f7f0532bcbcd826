// Merging the store's change lists into the key list, the console and the
// browser, with the real widgets (offscreen) and a private store engine.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "app/StoreSources.h"
#include "console/ConsoleLog.h"
#include "inspector/KVNItem.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/plist/PropertyListFile.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "platform/ui/Window.h"
#include "store/KeyListEdit.h"

#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using kv::PropertyListValue;

namespace {

const QString Separator = QStringLiteral("{|}~@!@");
const QString Stamp = QStringLiteral("Sun Dec 6 26 07:23:52.123 : ");

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

QString pathOf(const QStringList &titles)
{
    return Separator + titles.join(Separator);
}

// Counts the browser's column-zero loads.
class CountingController : public KVNController
{
public:
    int columnZeroLoads = 0;
    int browserNumberOfRowsInColumn(kv::ui::ColumnBrowser *browser, int column) override
    {
        if (column == 0)
            ++columnZeroLoads;
        return KVNController::browserNumberOfRowsInColumn(browser, column);
    }
};

// The merge as a plain key-by-key walk over a list, each edit made at once:
// the log lines it writes and the list it leaves.
struct ReferenceMerge
{
    QStringList list;
    QStringList log;
    bool keySetChanged = false;

    void run(const QStringList &changed, const std::optional<QSet<QString>> &valued)
    {
        for (const QString &key : changed) {
            if (key.startsWith(kv::storeDomainPrefs))
                continue;
            const bool isListed = list.contains(key);
            const bool isValued = valued && valued->contains(key);
            if (isListed && isValued) {
                log << QStringLiteral("Key Updated: ") + key;
            } else if (isListed) {
                log << QStringLiteral("Key Removed: ") + key;
                list.removeAll(key);
                keySetChanged = true;
            } else if (isValued) {
                log << QStringLiteral("Key Added: ") + key;
                qsizetype index = 0;
                while (index < list.size() && key > list.at(index))
                    ++index;
                list.insert(index, key);
                keySetChanged = true;
            }
        }
    }
};

} // namespace

class TestChangeMerging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void preferenceKeysAreSkipped();
    void addedKeyIsInsertedInOrder_data();
    void addedKeyIsInsertedInOrder();
    void updatedKeyNotShownIsOnlyLogged();
    void onlyUpdatesKeepTheSelection();
    void severalAddsAreLoggedInListOrderAndRebuiltOnce();
    void batchedChangesRebuildOnce();
    void otherPolicyIgnoresEverything_data();
    void otherPolicyIgnoresEverything();
    void removedSelectionFallsBackToDeepestColumn();
    void displayedKeyUpdatedShowsTheNewValue_data();
    void displayedKeyUpdatedShowsTheNewValue();
    void displayedKeyIsRefreshedBeforeLaterKeys();
    void fetchWithoutAnswerRemovesListedKeys();
    void repeatedKeysFollowTheWalk();
    void matchesKeyByKeyWalk_data();
    void matchesKeyByKeyWalk();
    void keyListEditMatchesImmediateEdits_data();
    void keyListEditMatchesImmediateEdits();
    void keyListEditEdges();
    void lowerBoundSharingPrefixes_data();
    void lowerBoundSharingPrefixes();
    void snapshotRewriteIsMerged();

private:
    void startUp(const QStringList &keys);
    QStringList logLines() const;
    void select(const QStringList &titles);

    std::unique_ptr<kv::StoreEngine> engine;
    std::unique_ptr<CountingController> controller;
    std::unique_ptr<kv::app::MainInterface> ui;
};

void TestChangeMerging::init()
{
    kv::console::clockOverride = [] { return QDateTime(QDate(2026, 12, 6), QTime(7, 23, 52, 123)); };
    engine = std::make_unique<kv::StoreEngine>();
    kv::StoreEngine::setInstance(engine.get());
    controller = std::make_unique<CountingController>();
    ui = kv::app::loadMainInterface(controller.get());
}

void TestChangeMerging::cleanup()
{
    ui.reset();
    controller.reset();
    kv::StoreEngine::setInstance(nullptr);
    engine.reset();
    KVNItem::setRootItem(nullptr);
    kv::console::clockOverride = {};
}

// Publishes the keys (each valued with its own name), then starts the
// controller as the program does.
void TestChangeMerging::startUp(const QStringList &keys)
{
    for (const QString &key : keys)
        engine->setValue(key, str(key));
    controller->awakeFromNib();
    QVERIFY(controller->store);
    QCOMPARE(controller->columnZeroLoads, 1);
    // The changes made before start-up reach no one.
    QTest::qWait(20);
    QCOMPARE(logLines(), QStringList());
}

// The console's lines after the banner, without their timestamps.
QStringList TestChangeMerging::logLines() const
{
    QStringList lines = controller->consoleView->string().split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty() || !lines.first().startsWith(Stamp + QStringLiteral("Keyvane ")))
        return {QStringLiteral("<no banner>")};
    lines.removeFirst();
    for (QString &line : lines) {
        if (!line.startsWith(Stamp))
            return {QStringLiteral("<bad line> ") + line};
        line.remove(0, Stamp.size());
    }
    return lines;
}

void TestChangeMerging::select(const QStringList &titles)
{
    QVERIFY(controller->kvnBrowser->setPath(pathOf(titles)));
    controller->browserSingleClick(controller->kvnBrowser);
}

void TestChangeMerging::preferenceKeysAreSkipped()
{
    startUp({"Prefs:/old", "State:/a"});
    const QStringList before = controller->storeKeysList;
    engine->setValue(QStringLiteral("Prefs:/new"), str(QStringLiteral("1")));
    engine->removeValue(QStringLiteral("Prefs:/old"));
    QTest::qWait(50);
    // Also when handed over directly, listed or not.
    controller->storeNotification({"Prefs:/new", "Prefs:/old", "Prefs:"});
    QCOMPARE(logLines(), QStringList());
    QCOMPARE(controller->storeKeysList, before);
    QCOMPARE(controller->columnZeroLoads, 1);
}

void TestChangeMerging::addedKeyIsInsertedInOrder_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("added");
    QTest::addColumn<int>("index");
    QTest::newRow("after every key") << QStringList{"Setup:/a", "State:/b"} << QStringLiteral("State:/c") << 2;
    QTest::newRow("before every key") << QStringList{"Setup:/a", "State:/b"} << QStringLiteral("Plugin:/x") << 0;
    QTest::newRow("into an empty list") << QStringList{} << QStringLiteral("State:/only") << 0;
    QTest::newRow("in between") << QStringList{"Setup:/a", "State:/b"} << QStringLiteral("Setup:/b") << 1;
    QTest::newRow("upper case sorts first") << QStringList{"State:/a", "State:/b"} << QStringLiteral("State:/B") << 0;
}

void TestChangeMerging::addedKeyIsInsertedInOrder()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, added);
    QFETCH(int, index);
    startUp(keys);
    engine->setValue(added, str(QStringLiteral("new")));
    QTRY_COMPARE(logLines(), QStringList{QStringLiteral("Key Added: ") + added});
    QStringList expected = keys;
    expected.insert(index, added);
    QCOMPARE(controller->storeKeysList, expected);
    QCOMPARE(controller->columnZeroLoads, 1); // edited in place, not loaded again
    const QString domain = added.section(u':', 0, 0);
    QVERIFY(controller->storeTree.size() >= 1);
    QVERIFY(controller->storeTree.first().names.contains(domain + u':'));
}

void TestChangeMerging::updatedKeyNotShownIsOnlyLogged()
{
    startUp({"State:/a", "State:/b"});
    select({"State", "a"});
    controller->kvnKey->setStringValue(QStringLiteral("none"));
    controller->inspectorView->setString(QStringLiteral("untouched"));
    // Reported as changed, with its value as it was.
    engine->notifyValue(QStringLiteral("State:/b"));
    QTRY_COMPARE(logLines(), QStringList{"Key Updated: State:/b"});
    QTest::qWait(20);
    QCOMPARE(logLines(), QStringList{"Key Updated: State:/b"});
    QCOMPARE(controller->storeKeysList, (QStringList{"State:/a", "State:/b"}));
    QCOMPARE(controller->columnZeroLoads, 1);
    QCOMPARE(controller->kvnKey->stringValue(), QStringLiteral("none"));
    QCOMPARE(controller->inspectorView->string(), QStringLiteral("untouched"));
}

void TestChangeMerging::onlyUpdatesKeepTheSelection()
{
    QStringList keys;
    for (int i = 0; i < 60; ++i)
        keys << QStringLiteral("State:/Network/Service/%1/IPv4").arg(i, 2, 10, QChar(u'0'));
    keys << QStringLiteral("Setup:/Network/Global/IPv4");
    startUp(keys);
    controller->kvnBrowser->resize(700, 200);
    select({"State", "Network", "Service", "42"});
    const QString path = controller->kvnBrowser->path();
    QCOMPARE(path, pathOf({"State", "Network", "Service", "42"}));
    const QList<kv::TreeBranch> treeBefore = controller->storeTree;
    auto *column = qobject_cast<QAbstractScrollArea *>(controller->kvnBrowser->columnView(3));
    const int scroll = column ? column->verticalScrollBar()->value() : -1;

    engine->setValue(QStringLiteral("State:/Network/Service/03/IPv4"), str(QStringLiteral("changed")));
    engine->setValue(QStringLiteral("Setup:/Network/Global/IPv4"), str(QStringLiteral("changed")));
    QTRY_COMPARE(logLines().size(), 2);
    QCOMPARE(logLines(),
             (QStringList{"Key Updated: State:/Network/Service/03/IPv4", "Key Updated: Setup:/Network/Global/IPv4"}));
    QCOMPARE(controller->columnZeroLoads, 1);
    QCOMPARE(controller->kvnBrowser->path(), path);
    QCOMPARE(controller->storeTree.size(), treeBefore.size());
    for (int c = 0; c < treeBefore.size(); ++c)
        QCOMPARE(controller->storeTree.at(c).names, treeBefore.at(c).names);
    if (column)
        QCOMPARE(column->verticalScrollBar()->value(), scroll);
    QCOMPARE(controller->kvnKey->stringValue(), QStringLiteral("none"));
}

void TestChangeMerging::severalAddsAreLoggedInListOrderAndRebuiltOnce()
{
    startUp({"State:/b"});
    for (const char *key : {"State:/z", "Setup:/a", "State:/a"})
        engine->setValue(QString::fromLatin1(key), str(QStringLiteral("v")));
    controller->storeNotification({"State:/z", "Setup:/a", "State:/a"});
    QCOMPARE(logLines(), (QStringList{"Key Added: State:/z", "Key Added: Setup:/a", "Key Added: State:/a"}));
    QCOMPARE(controller->storeKeysList, (QStringList{"Setup:/a", "State:/a", "State:/b", "State:/z"}));
    QCOMPARE(controller->columnZeroLoads, 1); // edited in place, not loaded again
    QCOMPARE(controller->storeTree.first().names, (QStringList{"Setup:", "State:"}));
}

void TestChangeMerging::batchedChangesRebuildOnce()
{
    startUp({"State:/b", "State:/c"});
    engine->beginBatch();
    engine->setValue(QStringLiteral("State:/a"), str(QStringLiteral("1")));
    engine->removeValue(QStringLiteral("State:/c"));
    engine->setValue(QStringLiteral("State:/b"), str(QStringLiteral("2")));
    engine->setValue(QStringLiteral("State:/d"), str(QStringLiteral("3")));
    engine->endBatch();
    QTRY_COMPARE(logLines().size(), 4);
    QCOMPARE(logLines(), (QStringList{"Key Added: State:/a", "Key Removed: State:/c", "Key Updated: State:/b",
                                      "Key Added: State:/d"}));
    QCOMPARE(controller->storeKeysList, (QStringList{"State:/a", "State:/b", "State:/d"}));
    QCOMPARE(controller->columnZeroLoads, 1); // edited in place, not loaded again
}

void TestChangeMerging::otherPolicyIgnoresEverything_data()
{
    QTest::addColumn<int>("policy");
    QTest::newRow("0") << 0;
    QTest::newRow("2") << 2;
    QTest::newRow("-1") << -1;
}

void TestChangeMerging::otherPolicyIgnoresEverything()
{
    QFETCH(int, policy);
    startUp({"State:/a", "State:/b"});
    select({"State", "a"});
    controller->browserUpdatePolicy = policy;
    const QString inspector = controller->inspectorView->string();
    engine->setValue(QStringLiteral("State:/a"), str(QStringLiteral("changed")));
    engine->removeValue(QStringLiteral("State:/b"));
    engine->setValue(QStringLiteral("State:/c"), str(QStringLiteral("new")));
    QTest::qWait(50);
    controller->storeNotification({"State:/a", "State:/b", "State:/c"});
    QCOMPARE(logLines(), QStringList());
    QCOMPARE(controller->storeKeysList, (QStringList{"State:/a", "State:/b"}));
    QCOMPARE(controller->columnZeroLoads, 1);
    QCOMPARE(controller->inspectorView->string(), inspector);
    QCOMPARE(controller->kvnBrowser->path(), pathOf({"State", "a"}));
}

void TestChangeMerging::removedSelectionFallsBackToDeepestColumn()
{
    startUp({"State:/Network/Interface/eth0/IPv4", "State:/Network/Interface/eth0/IPv6", "State:/Network/Global/IPv4"});
    select({"State", "Network", "Interface", "eth0", "IPv4"});
    QCOMPARE(controller->kvnKey->stringValue(), QStringLiteral("State:/Network/Interface/eth0/IPv4"));

    // The key goes; its parent stays (it still holds IPv6).
    engine->removeValue(QStringLiteral("State:/Network/Interface/eth0/IPv4"));
    QTRY_COMPARE(logLines(), QStringList{"Key Removed: State:/Network/Interface/eth0/IPv4"});
    QCOMPARE(controller->columnZeroLoads, 1); // edited in place, not loaded again
    QCOMPARE(controller->kvnBrowser->path(), pathOf({"State", "Network", "Interface", "eth0"}));
    QCOMPARE(controller->kvnKey->stringValue(), QStringLiteral("none"));

    // The last key below Interface goes: back to Network.
    select({"State", "Network", "Interface", "eth0", "IPv6"});
    engine->removeValue(QStringLiteral("State:/Network/Interface/eth0/IPv6"));
    QTRY_COMPARE(logLines().size(), 2);
    QCOMPARE(controller->kvnBrowser->path(), pathOf({"State", "Network"}));
    QCOMPARE(controller->storeKeysList, QStringList{"State:/Network/Global/IPv4"});
    QCOMPARE(controller->kvnBrowser->numberOfRowsInColumn(2), 1);
    QCOMPARE(controller->kvnBrowser->titleOfRow(0, 2), QStringLiteral("Global"));
}

void TestChangeMerging::displayedKeyUpdatedShowsTheNewValue_data()
{
    QTest::addColumn<QString>("leaf");
    QTest::newRow("short key") << "b";
    // Longer than a line edit holds by default (32,767 characters).
    QTest::newRow("long key") << QStringLiteral("long-") + QString(40000, u'x');
}

void TestChangeMerging::displayedKeyUpdatedShowsTheNewValue()
{
    QFETCH(QString, leaf);
    const QString key = QStringLiteral("State:/") + leaf;
    startUp({"State:/a", key});
    select({"State", leaf});
    QCOMPARE(controller->kvnKey->stringValue(), key);
    QVERIFY(controller->inspectorView->string().contains(key));

    engine->setValue(key, str(QStringLiteral("fresh value")));
    QTRY_VERIFY(controller->inspectorView->string().contains(QStringLiteral("fresh value")));
    QCOMPARE(logLines(), QStringList{"Key Updated: " + key});
    QCOMPARE(controller->columnZeroLoads, 1);
    QCOMPARE(controller->kvnKey->stringValue(), key);
    QCOMPARE(controller->selectedKeyContents.description().contains(QStringLiteral("fresh value")), true);
}

void TestChangeMerging::displayedKeyIsRefreshedBeforeLaterKeys()
{
    startUp({"State:/a", "State:/b"});
    select({"State", "b"});
    controller->browserUpdatePolicy = 0; // the engine's own change list is ignored
    engine->setValue(QStringLiteral("State:/b"), str(QStringLiteral("second")));
    engine->setValue(QStringLiteral("State:/c"), str(QStringLiteral("third")));
    QTest::qWait(50);
    controller->browserUpdatePolicy = 1;
    controller->inspectorView->setString(QString());

    // Updated (displayed) first, then an added key and a rebuild.
    controller->storeNotification({"State:/b", "State:/c"});
    QCOMPARE(logLines(), (QStringList{"Key Updated: State:/b", "Key Added: State:/c"}));
    QVERIFY(controller->inspectorView->string().contains(QStringLiteral("second")));
    QCOMPARE(controller->kvnBrowser->path(), pathOf({"State", "b"}));
    QCOMPARE(controller->kvnKey->stringValue(), QStringLiteral("State:/b"));
}

void TestChangeMerging::fetchWithoutAnswerRemovesListedKeys()
{
    startUp({"State:/a", "State:/b", "State:/c"});
    controller->store.reset();
    controller->storeNotification({"State:/c", "State:/unlisted", "State:/a", "Prefs:/p"});
    QCOMPARE(logLines(), (QStringList{"Key Removed: State:/c", "Key Removed: State:/a"}));
    QCOMPARE(controller->storeKeysList, QStringList{"State:/b"});
    QCOMPARE(controller->columnZeroLoads, 1); // edited in place, not loaded again
}

void TestChangeMerging::repeatedKeysFollowTheWalk()
{
    startUp({"State:/gone", "State:/kept"});
    controller->browserUpdatePolicy = 0; // the engine's own change list is ignored
    engine->setValue(QStringLiteral("State:/new"), str(QStringLiteral("1")));
    engine->removeValue(QStringLiteral("State:/gone"));
    QTest::qWait(50);
    controller->browserUpdatePolicy = 1;
    QCOMPARE(controller->storeKeysList, (QStringList{"State:/gone", "State:/kept"}));
    const int loads = controller->columnZeroLoads;

    controller->storeNotification({"State:/new", "State:/gone", "State:/new", "State:/gone", "State:/kept"});
    QCOMPARE(logLines(), (QStringList{"Key Added: State:/new", "Key Removed: State:/gone", "Key Updated: State:/new",
                                      "Key Updated: State:/kept"}));
    QCOMPARE(controller->storeKeysList, (QStringList{"State:/kept", "State:/new"}));
    QCOMPARE(controller->columnZeroLoads, loads); // edited in place
}

void TestChangeMerging::matchesKeyByKeyWalk_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 12; ++seed)
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

void TestChangeMerging::matchesKeyByKeyWalk()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    auto randomKey = [&random] {
        static const QStringList domains{"State:", "Setup:", "Prefs:", "state:", "S"};
        QString key = domains.at(random.bounded(int(domains.size())));
        const int depth = random.bounded(1, 4);
        for (int i = 0; i < depth; ++i)
            key += u'/' + QString(QChar(u'a' + random.bounded(4))) + QString(QChar(u'A' + random.bounded(3)));
        return key;
    };
    QSet<QString> initial;
    for (int i = 0; i < 150; ++i)
        initial.insert(randomKey());
    startUp(initial.values());
    controller->consoleView->setString(controller->consoleView->string().section(u'\n', 0, 0) + u'\n');

    ReferenceMerge reference;
    reference.list = controller->storeKeysList;
    for (int round = 0; round < 4; ++round) {
        // Change the store behind the controller's back (its own change list
        // is ignored), then hand over a change list with repeats, unchanged
        // and unknown keys.
        controller->browserUpdatePolicy = 0;
        QStringList changed;
        for (int i = 0; i < 80; ++i) {
            const QString key = random.bounded(3) == 0 && !reference.list.isEmpty()
                                    ? reference.list.at(random.bounded(int(reference.list.size())))
                                    : randomKey();
            switch (random.bounded(3)) {
            case 0: engine->setValue(key, str(QString::number(random.generate()))); break;
            case 1: engine->removeValue(key); break;
            default: break;
            }
            changed << key;
            if (random.bounded(8) == 0)
                changed << key;
        }
        QTest::qWait(30);
        controller->browserUpdatePolicy = 1;
        reference.list = controller->storeKeysList;
        reference.log.clear();
        controller->consoleView->setString(controller->consoleView->string().section(u'\n', 0, 0) + u'\n');

        QSet<QString> valued;
        for (const QString &key : changed)
            if (engine->contains(key))
                valued.insert(key);
        const std::optional<QSet<QString>> values = round == 3 ? std::nullopt : std::optional(valued);
        if (round == 3)
            controller->store.reset(); // the fetch answers nothing
        reference.run(changed, values);
        controller->storeNotification(changed);
        QCOMPARE(logLines(), reference.log);
        QCOMPARE(controller->storeKeysList, reference.list);
        QVERIFY(std::is_sorted(controller->storeKeysList.cbegin(), controller->storeKeysList.cend()));
    }
}

void TestChangeMerging::keyListEditMatchesImmediateEdits_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<bool>("duplicates");
    QTest::addColumn<int>("size");           // entries at first
    QTest::addColumn<int>("applyEvery");     // steps between applies, about
    QTest::addColumn<bool>("searchedAhead"); // the keys searched for together first
    for (quint32 seed = 1; seed <= 6; ++seed) {
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed << false << 60 << 50 << false;
        QTest::newRow(qPrintable(QStringLiteral("seed %1, repeated entries").arg(seed)))
            << seed << true << 60 << 50 << false;
        // A long list edited a little at a time: edited in place.
        QTest::newRow(qPrintable(QStringLiteral("seed %1, long list").arg(seed)))
            << seed << false << 3000 << 4 << false;
        QTest::newRow(qPrintable(QStringLiteral("seed %1, long list, repeated entries").arg(seed)))
            << seed << true << 3000 << 4 << false;
        // Searched ahead, some keys passed over, the search dropped by
        // each apply.
        QTest::newRow(qPrintable(QStringLiteral("seed %1, searched ahead").arg(seed)))
            << seed << true << 3000 << 150 << true;
    }
}

void TestChangeMerging::keyListEditMatchesImmediateEdits()
{
    QFETCH(quint32, seed);
    QFETCH(bool, duplicates);
    QFETCH(int, size);
    QFETCH(int, applyEvery);
    QFETCH(bool, searchedAhead);
    QRandomGenerator random(seed);
    const bool longKeys = size > 100;
    auto randomKey = [&random, longKeys] {
        QString key = QString(QChar(u'A' + random.bounded(40))) + QString(QChar(u'a' + random.bounded(3)));
        if (longKeys)
            key += QString(QChar(u'0' + random.bounded(40)));
        return key;
    };
    QStringList list;
    for (int i = 0; i < size; ++i) {
        const QString key = randomKey();
        if (duplicates || !list.contains(key))
            list << key;
    }
    std::sort(list.begin(), list.end());
    QStringList expected = list;

    // Each step as the merge makes it: ask, then remove a listed key or
    // insert one that is not listed.
    QStringList steps;
    for (int step = 0; step < 400; ++step)
        steps << randomKey();
    kv::store::KeyListEdit edit(list);
    if (searchedAhead) {
        edit.searchAhead(steps);
        // In the list's order: every key searched for, sorted.
        QStringList inListOrder;
        for (const qsizetype i : edit.aheadInListOrder())
            inListOrder << steps.at(i);
        QStringList sorted = steps;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(inListOrder, sorted);
    }
    for (const QString &key : std::as_const(steps)) {
        if (searchedAhead && random.bounded(8) == 0)
            continue;
        const bool listed = expected.contains(key);
        QCOMPARE(edit.isListed(key), listed);
        if (listed && random.bounded(2) == 0) {
            edit.remove(key);
            expected.removeAll(key);
        } else if (!listed && random.bounded(2) == 0) {
            edit.insert(key);
            qsizetype index = 0;
            while (index < expected.size() && key > expected.at(index))
                ++index;
            expected.insert(index, key);
        }
        if (random.bounded(applyEvery) == 0) {
            edit.apply();
            QCOMPARE(list, expected);
        }
    }
    edit.apply();
    QCOMPARE(list, expected);
}

void TestChangeMerging::keyListEditEdges()
{
    QStringList list{"b", "d", "d", "f"};
    {
        kv::store::KeyListEdit edit(list);
        edit.insert(QStringLiteral("a")); // before everything
        edit.insert(QStringLiteral("g")); // after everything
        edit.insert(QStringLiteral("c")); // between
        edit.insert(QStringLiteral("e")); // right after a removed run
        edit.remove(QStringLiteral("d")); // every equal entry
        edit.remove(QStringLiteral("b"));
        edit.insert(QStringLiteral("b")); // back in its place
        edit.remove(QStringLiteral("g")); // added, then removed: never there
        QVERIFY(edit.isListed(QStringLiteral("b")));
        QVERIFY(!edit.isListed(QStringLiteral("d")));
        QVERIFY(!edit.isListed(QStringLiteral("g")));
        QCOMPARE(list, (QStringList{"b", "d", "d", "f"})); // held back
    }
    QCOMPARE(list, (QStringList{"a", "b", "c", "e", "f"}));

    QStringList empty;
    kv::store::KeyListEdit edit(empty);
    edit.insert(QStringLiteral("z"));
    edit.insert(QStringLiteral("y"));
    edit.apply();
    QCOMPARE(empty, (QStringList{"y", "z"}));
    edit.remove(QStringLiteral("y"));
    edit.apply();
    QCOMPARE(empty, QStringList{"z"});
}

void TestChangeMerging::lowerBoundSharingPrefixes_data()
{
    QTest::addColumn<QStringList>("sorted");
    QTest::addColumn<QStringList>("keys");
    const QStringList shared{"State:/Network/Interface/en0/IPv4",  "State:/Network/Interface/en0/IPv6",
                             "State:/Network/Interface/en1",       "State:/Network/Interface/en1/IPv4",
                             "State:/Network/Interface/en10/IPv4", "State:/Network/Service/A/DNS"};
    QTest::newRow("empty list") << QStringList() << QStringList{"", "a"};
    QTest::newRow("shared prefixes") << shared
                                     << (shared
                                         + QStringList{"", "State:", "State:/Network/Interface/en0",
                                                       "State:/Network/Interface/en0/IPv5",
                                                       "State:/Network/Interface/en1/", "State:/Network/Interface/en2",
                                                       "State:/Network/Service/A/DNT", "State:/Network/Service/A/DNS/x",
                                                       "Z"});
    // The first of equal entries; an empty entry; a key a prefix of its
    // neighbours on both sides.
    QTest::newRow("repeated and empty entries") << QStringList{"", "", "ab", "ab", "ab", "abc", "abd"}
                                                << QStringList{"", "a", "ab", "abb", "abc", "abcd", "abe"};
    // Code units above 0x7fff order after the others (no sign), a surrogate
    // before a private-use character.
    QTest::newRow("high code units") << QStringList{"k/a", QString::fromUtf16(u"k/\u00e9"),
                                                    QString::fromUtf16(u"k/\U0001F600"),
                                                    QString::fromUtf16(u"k/\uE000")}
                                     << QStringList{"k/b", QString::fromUtf16(u"k/\u00ff"),
                                                    QStringLiteral("k/") + QChar(0xD83D),
                                                    QString::fromUtf16(u"k/\uFFFF"), QString::fromUtf16(u"k/\uE000")};
    // Keys that part at each place of the four code units compared at a
    // time, by a lower and by a higher unit.
    QStringList parting;
    for (int at = 0; at < 9; ++at) {
        for (const QChar c : {QChar(u'A'), QChar(0x00e9), QChar(0xFFFF)}) {
            QString key = QStringLiteral("State:/Network/abcdefghi");
            key[15 + at] = c;
            parting << key << key.left(15 + at + 1);
        }
    }
    parting.sort();
    parting.removeDuplicates();
    QTest::newRow("keys parting inside four code units") << parting.mid(0, parting.size() / 2) << parting;
}

void TestChangeMerging::lowerBoundSharingPrefixes()
{
    QFETCH(QStringList, sorted);
    QFETCH(QStringList, keys);
    QVERIFY(std::is_sorted(sorted.cbegin(), sorted.cend()));
    for (const QString &key : keys) {
        const qsizetype expected = std::lower_bound(sorted.cbegin(), sorted.cend(), key) - sorted.cbegin();
        QCOMPARE(kv::store::lowerBoundSharingPrefixes(sorted, key), expected);
    }
}

void TestChangeMerging::snapshotRewriteIsMerged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("store.plist"));
    auto write = [&path](const kv::PropertyListDictionary &contents) {
        QString error;
        QVERIFY2(kv::writePropertyListFile(path, PropertyListValue::fromDictionary(contents), &error),
                 qPrintable(error));
    };
    write({{QStringLiteral("State:/Network/Global/IPv4"), str(QStringLiteral("one"))},
           {QStringLiteral("State:/Network/Interface/eth0/IPv4"), str(QStringLiteral("two"))},
           {QStringLiteral("Setup:/System"), str(QStringLiteral("three"))}});
    engine->setSources(kv::app::makeStoreSources(kv::StoreConfiguration{kv::StoreConfiguration::Kind::Snapshot, path}));
    controller->awakeFromNib();
    QVERIFY(controller->store);
    QCOMPARE(controller->storeKeysList.size(), 3);
    select({"State", "Network", "Global", "IPv4"});
    QVERIFY(controller->inspectorView->string().contains(QStringLiteral("one")));

    // Rewritten: one key changed, one gone, one new.
    write({{QStringLiteral("State:/Network/Global/IPv4"), str(QStringLiteral("one, again"))},
           {QStringLiteral("Setup:/System"), str(QStringLiteral("three"))},
           {QStringLiteral("State:/Network/Interface/eth1/IPv4"), str(QStringLiteral("four"))}});
    QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 3, 5000);
    QStringList lines = logLines();
    lines.sort();
    QCOMPARE(lines, (QStringList{"Key Added: State:/Network/Interface/eth1/IPv4",
                                 "Key Removed: State:/Network/Interface/eth0/IPv4",
                                 "Key Updated: State:/Network/Global/IPv4"}));
    QCOMPARE(controller->storeKeysList,
             (QStringList{"Setup:/System", "State:/Network/Global/IPv4", "State:/Network/Interface/eth1/IPv4"}));
    QCOMPARE(controller->columnZeroLoads, 1); // edited in place, not loaded again
    QCOMPARE(controller->kvnBrowser->path(), pathOf({"State", "Network", "Global", "IPv4"}));
    QVERIFY(controller->inspectorView->string().contains(QStringLiteral("one, again")));
}

QTEST_MAIN(TestChangeMerging)
#include "tst_changemerging.moc"
