// The sorted key list, change registration, the store's change callback and
// the reload command.

#include "app/KVNController.h"
#include "app/MainInterface.h"
#include "inspector/KVNItem.h"
#include "platform/SystemLog.h"
#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextViewer.h"
#include "store/KeyList.h"

#include <QtTest>

using kv::PropertyListValue;

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
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

QStringList columnTitles(kv::ui::ColumnBrowser *browser, int column)
{
    QStringList titles;
    for (int row = 0; row < browser->numberOfRowsInColumn(column); ++row)
        titles << browser->titleOfRow(row, column);
    return titles;
}

} // namespace

class TestKeyList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void keysAreSortedByCodeUnits_data();
    void keysAreSortedByCodeUnits();
    void emptyStoreIsNoFailure();
    void failureWithErrorCodeKeepsTheList_data();
    void failureWithErrorCodeKeepsTheList();
    void failureWithoutErrorCodeLogsNoKeys();
    void reloadAfterFailureKeepsTheOldKeys();
    void reloadClearsKeyFieldInspectorAndValueTree();
    void reloadRebuildsTheBrowser();
    void registrationDeliversChangesToTheController();
    void registrationWithoutConnectionFails();
    void callbackWithoutListDoesNothing();
    void callbackForwardsToSelfObject();

private:
    void connect();

    std::unique_ptr<kv::StoreEngine> engine;
    std::unique_ptr<CountingController> controller;
    std::unique_ptr<kv::app::MainInterface> ui;
};

void TestKeyList::init()
{
    engine = std::make_unique<kv::StoreEngine>();
    kv::StoreEngine::setInstance(engine.get());
    controller = std::make_unique<CountingController>();
    ui = kv::app::loadMainInterface(controller.get());
}

void TestKeyList::cleanup()
{
    kv::store::keyListRequestOverride = {};
    ui.reset();
    controller.reset();
    kv::StoreEngine::setInstance(nullptr);
    engine.reset();
    KVNItem::setRootItem(nullptr);
}

void TestKeyList::connect()
{
    controller->store = kv::storeCreate(QStringLiteral("Vaneview"), ::storeNotification, nullptr);
    QVERIFY(controller->store);
}

void TestKeyList::keysAreSortedByCodeUnits_data()
{
    QTest::addColumn<QStringList>("published");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("upper case first") << QStringList{"b", "B", "a/c", "a"} << QStringList{"B", "a", "a/c", "b"};
    QTest::newRow("not locale aware") << QStringList{"é", "a", "Z", "_x", "B"} << QStringList{"B", "Z", "_x", "a", "é"};
    QTest::newRow("store keys") << QStringList{"State:/Network/Interface/eth0/IPv4", "Setup:/Network/Global/IPv4",
                                               "State:/Network/Global/IPv4", "State:/Network/Interface"}
                                << QStringList{"Setup:/Network/Global/IPv4", "State:/Network/Global/IPv4",
                                               "State:/Network/Interface", "State:/Network/Interface/eth0/IPv4"};
    QTest::newRow("prefix before longer key") << QStringList{"ab", "a", "a:"} << QStringList{"a", "a:", "ab"};
    QTest::newRow("keys with line ends") << QStringList{
        "State:/B", "State:/A\nB", "State:/A\r\n", QStringLiteral("State:/A\u2029"),
        "\n"} << QStringList{"\n", "State:/A\nB", "State:/A\r\n", QStringLiteral("State:/A\u2029"), "State:/B"};
}

void TestKeyList::keysAreSortedByCodeUnits()
{
    QFETCH(QStringList, published);
    QFETCH(QStringList, expected);
    for (const QString &key : published)
        engine->setValue(key, str(key));
    connect();
    kv::SystemLogCapture log;
    controller->getStoreKeysList();
    QCOMPARE(controller->storeKeysList, expected);
    QVERIFY(log.lines().isEmpty());

    // The same order whatever order the store answers in.
    QStringList reversed(published.crbegin(), published.crend());
    kv::store::keyListRequestOverride = [reversed](kv::StoreConnection *, const QString &pattern) {
        return pattern == QStringLiteral(".*") ? std::optional<QStringList>(reversed) : std::nullopt;
    };
    controller->storeKeysList.clear();
    controller->getStoreKeysList();
    QCOMPARE(controller->storeKeysList, expected);
}

void TestKeyList::emptyStoreIsNoFailure()
{
    connect();
    controller->storeKeysList = QStringList{"old:/a", "old:/b"};
    kv::SystemLogCapture log;
    controller->getStoreKeysList();
    QVERIFY(controller->storeKeysList.isEmpty());
    QVERIFY(log.lines().isEmpty());
}

void TestKeyList::failureWithErrorCodeKeepsTheList_data()
{
    QTest::addColumn<bool>("engineGone");
    QTest::newRow("no connection") << false;
    QTest::newRow("store went away") << true;
}

void TestKeyList::failureWithErrorCodeKeepsTheList()
{
    QFETCH(bool, engineGone);
    engine->setValue(QStringLiteral("State:/a"), str(QStringLiteral("1")));
    connect();
    controller->getStoreKeysList();
    QCOMPARE(controller->storeKeysList, QStringList{"State:/a"});

    if (engineGone) {
        kv::StoreEngine::setInstance(nullptr);
        engine.reset();
    } else {
        controller->store.reset();
    }
    kv::SystemLogCapture log;
    controller->getStoreKeysList();
    QCOMPARE(controller->storeKeysList, QStringList{"State:/a"});
    const int code = kv::storeError();
    QVERIFY(code != 0);
    QCOMPARE(log.lines(), QStringList{kv::storeErrorString(code)});
    QVERIFY(log.lines().first() != QStringLiteral("There are no keys in configuration store"));
    QVERIFY(!log.lines().first().isEmpty());
}

void TestKeyList::failureWithoutErrorCodeLogsNoKeys()
{
    engine->setValue(QStringLiteral("State:/a"), str(QStringLiteral("1")));
    connect();
    controller->getStoreKeysList();
    // The store answers nothing and reports no error.
    kv::store::keyListRequestOverride = [](kv::StoreConnection *store, const QString &pattern) {
        if (!kv::storeCopyKeyList(store, pattern)) // leaves the error code at 0
            qFatal("the store was expected to answer");
        return std::optional<QStringList>();
    };
    kv::SystemLogCapture log;
    controller->getStoreKeysList();
    QCOMPARE(kv::storeError(), 0);
    QCOMPARE(log.lines(), QStringList{"There are no keys in configuration store"});
    QCOMPARE(controller->storeKeysList, QStringList{"State:/a"});
}

void TestKeyList::reloadAfterFailureKeepsTheOldKeys()
{
    engine->setValue(QStringLiteral("State:/x"), str(QStringLiteral("1")));
    engine->setValue(QStringLiteral("Setup:/y"), str(QStringLiteral("2")));
    connect();
    controller->reloadKeys(nullptr);
    QCOMPARE(columnTitles(controller->kvnBrowser, 0), (QStringList{"Setup", "State"}));

    controller->store.reset();
    kv::SystemLogCapture log;
    controller->reloadKeys(controller.get());
    QCOMPARE(log.lines().size(), 1);
    QCOMPARE(controller->storeKeysList, (QStringList{"Setup:/y", "State:/x"}));
    // The browser is rebuilt from the kept keys.
    QCOMPARE(columnTitles(controller->kvnBrowser, 0), (QStringList{"Setup", "State"}));
}

void TestKeyList::reloadClearsKeyFieldInspectorAndValueTree()
{
    const QString key = QStringLiteral("State:/Network/Global/IPv4");
    engine->setValue(key,
                     PropertyListValue::fromDictionary({{QStringLiteral("Router"), str(QStringLiteral("10.0.0.1"))}}));
    connect();
    controller->reloadKeys(nullptr);
    kv::ui::ColumnBrowser *browser = controller->kvnBrowser;
    const QString separator = QStringLiteral("{|}~@!@");
    browser->setPathSeparator(separator);
    QVERIFY(browser->setPath(separator + QStringList{"State", "Network", "Global", "IPv4"}.join(separator)));
    controller->browserSingleClick(browser);
    QCOMPARE(controller->kvnKey->stringValue(), key);
    QVERIFY(!controller->inspectorView->string().isEmpty());
    QVERIFY(KVNItem::root != nullptr);
    QVERIFY(KVNItem::hasCachedRootItem());
    QVERIFY(controller->kvnOutlineView->model()->rowCount() > 0);

    controller->reloadKeys(controller.get());
    QCOMPARE(controller->kvnKey->stringValue(), QStringLiteral("none"));
    QCOMPARE(controller->inspectorView->string(), QString());
    QCOMPARE(KVNItem::root, nullptr);
    QVERIFY(!KVNItem::hasCachedRootItem());
    // Nothing is shown again until the user selects a cell: the selection is gone.
    QCOMPARE(browser->selectedColumn(), -1);
    QCOMPARE(browser->path(), separator);
    // The value itself is kept until the next selection replaces it.
    QVERIFY(!controller->selectedKeyContents.isNone());

    // Selecting the same key again shows it again.
    QVERIFY(browser->setPath(separator + QStringList{"State", "Network", "Global", "IPv4"}.join(separator)));
    controller->browserSingleClick(browser);
    QCOMPARE(controller->kvnKey->stringValue(), key);
}

void TestKeyList::reloadRebuildsTheBrowser()
{
    engine->setValue(QStringLiteral("State:/a"), str(QStringLiteral("1")));
    connect();
    controller->reloadKeys(nullptr);
    QCOMPARE(controller->columnZeroLoads, 1);
    QCOMPARE(columnTitles(controller->kvnBrowser, 0), QStringList{"State"});

    engine->setValue(QStringLiteral("Setup:/b"), str(QStringLiteral("2")));
    engine->removeValue(QStringLiteral("State:/a"));
    controller->reloadKeys(controller.get());
    QCOMPARE(controller->columnZeroLoads, 2);
    QCOMPARE(controller->storeKeysList, QStringList{"Setup:/b"});
    QCOMPARE(columnTitles(controller->kvnBrowser, 0), QStringList{"Setup"});
}

void TestKeyList::registrationDeliversChangesToTheController()
{
    connect();
    QVERIFY(controller->setStoreNotification());
    controller->reloadKeys(nullptr);
    engine->setValue(QStringLiteral("State:/new"), str(QStringLiteral("1")));
    QTRY_COMPARE(controller->storeKeysList, QStringList{"State:/new"});
    QCOMPARE(columnTitles(controller->kvnBrowser, 0), QStringList{"State"});
    engine->removeValue(QStringLiteral("State:/new"));
    QTRY_VERIFY(controller->storeKeysList.isEmpty());
}

void TestKeyList::registrationWithoutConnectionFails()
{
    QVERIFY(!controller->store);
    QVERIFY(!controller->setStoreNotification());
}

void TestKeyList::callbackWithoutListDoesNothing()
{
    controller->storeKeysList = QStringList{"State:/a"};
    const QString console = controller->consoleView->string();
    ::storeNotification(nullptr, nullptr, nullptr);
    QCOMPARE(controller->storeKeysList, QStringList{"State:/a"});
    QCOMPARE(controller->consoleView->string(), console);
}

void TestKeyList::callbackForwardsToSelfObject()
{
    engine->setValue(QStringLiteral("State:/b"), str(QStringLiteral("1")));
    connect();
    QCOMPARE(selfObject, controller.get());
    const QStringList changed{"State:/b"};
    ::storeNotification(controller->store.get(), &changed, nullptr);
    QCOMPARE(controller->storeKeysList, QStringList{"State:/b"});
    QVERIFY(controller->consoleView->string().endsWith(QStringLiteral("Key Added: State:/b\n")));
}

QTEST_MAIN(TestKeyList)
#include "tst_keylist.moc"
