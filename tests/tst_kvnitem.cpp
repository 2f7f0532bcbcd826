#include "inspector/KVNItem.h"

#include <QTest>

using kv::PropertyListValue;

Q_DECLARE_METATYPE(kv::PropertyListValue)

namespace {

PropertyListValue str(const char *s)
{
    return PropertyListValue::fromString(QString::fromUtf8(s));
}

PropertyListValue arrayOf(int n)
{
    kv::PropertyListArray a;
    for (int i = 0; i < n; ++i)
        a.append(PropertyListValue::fromInteger(i * 10));
    return PropertyListValue::fromArray(a);
}

QStringList indexNames(int n)
{
    QStringList names;
    for (int i = 0; i < n; ++i)
        names << QString::number(i);
    return names;
}

QStringList childNames(KVNItem *item)
{
    QStringList names;
    for (int i = 0; i < item->numberOfChildren(); ++i)
        names << item->childAtIndex(i)->name();
    return names;
}

} // namespace

class TestKVNItem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { KVNItem::setRootItem(nullptr); }
    void cleanupTestCase() { KVNItem::setRootItem(nullptr); }

    void rootOfValue_data();
    void rootOfValue();
    void noRootValue();
    void noneValueCountsAsNoValue();
    void rootItemIsStable();
    void setRootItemDropsCachedTree();
    void releaseRootItemDestroysTree();
    void childrenBuiltOnce();
    void nestedLevelsBuiltOnlyWhenAsked();
    void dictionaryChildrenFollowDictionaryOrder();
    void childValuesPointIntoTheValue();
    void childAtIndexOutOfRange();
    void scalarChildrenTypesAndTexts_data();
    void scalarChildrenTypesAndTexts();
    void largeArrayIsCheap();
};

void TestKVNItem::rootOfValue_data()
{
    QTest::addColumn<PropertyListValue>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("children");
    QTest::addColumn<QStringList>("names");

    PropertyListValue dict1 = PropertyListValue::fromDictionary({{QStringLiteral("a"), str("x")}});
    PropertyListValue dict2 =
        PropertyListValue::fromDictionary({{QStringLiteral("b"), str("y")}, {QStringLiteral("a"), str("x")}});

    QTest::newRow("empty dictionary") << PropertyListValue::fromDictionary({}) << "Dictionary"
                                      << "(0 Key/Value pairs)" << 0 << QStringList();
    QTest::newRow("one-entry dictionary") << dict1 << "Dictionary"
                                          << "(1 Key/Value pair)" << 1 << QStringList{"a"};
    QTest::newRow("two-entry dictionary") << dict2 << "Dictionary"
                                          << "(2 Key/Value pairs)" << 2 << QStringList{"a", "b"};
    QTest::newRow("empty array") << PropertyListValue::fromArray({}) << "Array"
                                 << "(0 Objects)" << 0 << QStringList();
    QTest::newRow("one-element array") << arrayOf(1) << "Array"
                                       << "(1 Object)" << 1 << QStringList{"0"};
    QTest::newRow("two-element array") << arrayOf(2) << "Array"
                                       << "(2 Objects)" << 2 << indexNames(2);
    QTest::newRow("twelve-element array") << arrayOf(12) << "Array"
                                          << "(12 Objects)" << 12 << indexNames(12);
    QTest::newRow("string") << str("hello") << "String"
                            << "hello" << -1 << QStringList();
    QTest::newRow("string with blank") << str("two words") << "String" << str("two words").description() << -1
                                       << QStringList();
    QTest::newRow("integer") << PropertyListValue::fromInteger(-42) << "Number"
                             << "-42" << -1 << QStringList();
    QTest::newRow("real") << PropertyListValue::fromReal(1.5) << "Number"
                          << "1.5" << -1 << QStringList();
    QTest::newRow("boolean true") << PropertyListValue::fromBoolean(true) << "Number"
                                  << PropertyListValue::fromBoolean(true).description() << -1 << QStringList();
    QTest::newRow("boolean false") << PropertyListValue::fromBoolean(false) << "Number"
                                   << PropertyListValue::fromBoolean(false).description() << -1 << QStringList();
    QTest::newRow("data") << PropertyListValue::fromData(QByteArray("\x01\x02\xff", 3)) << "Data"
                          << "<0102ff>" << -1 << QStringList();
    const PropertyListValue date = PropertyListValue::fromDate(QDateTime(QDate(2024, 3, 1), QTime(12, 30), Qt::UTC));
    QTest::newRow("date") << date << "Date" << date.description() << -1 << QStringList();
}

void TestKVNItem::rootOfValue()
{
    QFETCH(PropertyListValue, value);
    QFETCH(QString, type);
    QFETCH(QString, text);
    QFETCH(int, children);
    QFETCH(QStringList, names);

    KVNItem::setRootItem(&value);
    KVNItem *root = KVNItem::rootItem();
    QVERIFY(root);
    QCOMPARE(root->name(), QStringLiteral("Root"));
    QCOMPARE(root->objectType(), type);
    QCOMPARE(root->value(), text);
    QCOMPARE(root->numberOfChildren(), children);
    QCOMPARE(root->children() == nullptr, children < 0);
    QCOMPARE(childNames(root), names);
    QVERIFY(root->itemParent == nullptr);
    for (int i = 0; i < std::max(children, 0); ++i)
        QVERIFY(root->childAtIndex(i)->itemParent == &value);
}

void TestKVNItem::noRootValue()
{
    KVNItem *root = KVNItem::rootItem();
    QVERIFY(root);
    QVERIFY(KVNItem::root == nullptr);
    QCOMPARE(root->name(), QString(""));
    QVERIFY(!root->name().isNull());
    QCOMPARE(root->objectType(), QString(""));
    QVERIFY(root->value().isNull());
    QCOMPARE(root->numberOfChildren(), -1);
    QVERIFY(root->children() == nullptr);
    QVERIFY(root->childAtIndex(0) == nullptr);
    // The item keeps its own name; only the text shown is empty.
    QCOMPARE(root->itemName, QStringLiteral("Root"));
}

void TestKVNItem::noneValueCountsAsNoValue()
{
    const PropertyListValue none;
    KVNItem::setRootItem(&none);
    QVERIFY(KVNItem::root == nullptr);
    KVNItem *root = KVNItem::rootItem();
    QCOMPARE(root->name(), QString(""));
    QCOMPARE(root->numberOfChildren(), -1);
    QVERIFY(root->value().isNull());
}

void TestKVNItem::rootItemIsStable()
{
    const PropertyListValue value = arrayOf(3);
    KVNItem::setRootItem(&value);
    KVNItem *first = KVNItem::rootItem();
    KVNItem *second = KVNItem::rootItem();
    QCOMPARE(first, second);
    QCOMPARE(first->childAtIndex(2), second->childAtIndex(2));
}

void TestKVNItem::setRootItemDropsCachedTree()
{
    const PropertyListValue a = arrayOf(3);
    const PropertyListValue b = PropertyListValue::fromDictionary({{QStringLiteral("k"), str("v")}});
    KVNItem::setRootItem(&a);
    KVNItem *first = KVNItem::rootItem();
    QCOMPARE(first->numberOfChildren(), 3);
    QVERIFY(KVNItem::hasCachedRootItem());

    KVNItem::setRootItem(&b);
    QVERIFY(!KVNItem::hasCachedRootItem());
    QVERIFY(KVNItem::root == &b);
    KVNItem *second = KVNItem::rootItem();
    QCOMPARE(second->objectType(), QStringLiteral("Dictionary"));
    QCOMPARE(second->numberOfChildren(), 1);
    QCOMPARE(second->childAtIndex(0)->name(), QStringLiteral("k"));
}

void TestKVNItem::releaseRootItemDestroysTree()
{
    const PropertyListValue a = arrayOf(2);
    KVNItem::releaseRootItem(); // nothing cached: harmless
    QVERIFY(!KVNItem::hasCachedRootItem());
    KVNItem::setRootItem(&a);
    KVNItem::rootItem()->children();
    QVERIFY(KVNItem::hasCachedRootItem());
    KVNItem::releaseRootItem();
    QVERIFY(!KVNItem::hasCachedRootItem());
    // The root value stays; the next request makes a fresh item for it.
    QVERIFY(KVNItem::root == &a);
    KVNItem *fresh = KVNItem::rootItem();
    QVERIFY(!fresh->childrenBuilt());
    QCOMPARE(fresh->numberOfChildren(), 2);
}

void TestKVNItem::childrenBuiltOnce()
{
    const PropertyListValue value = arrayOf(5);
    KVNItem::setRootItem(&value);
    KVNItem *root = KVNItem::rootItem();
    QVERIFY(!root->childrenBuilt());
    const KVNItem::ChildList *first = root->children();
    QVERIFY(root->childrenBuilt());
    QVERIFY(first);
    const KVNItem *firstChild = &first->front();
    const KVNItem::ChildList *second = root->children();
    QCOMPARE(first, second);
    QCOMPARE(&second->front(), firstChild);
    QCOMPARE(root->childAtIndex(0), firstChild);
    // Asking for the value text of a container builds its children too.
    KVNItem::setRootItem(&value);
    KVNItem *other = KVNItem::rootItem();
    QVERIFY(!other->childrenBuilt());
    QCOMPARE(other->value(), QStringLiteral("(5 Objects)"));
    QVERIFY(other->childrenBuilt());
}

void TestKVNItem::nestedLevelsBuiltOnlyWhenAsked()
{
    // { outer = ( { inner = leaf; } ); }
    const PropertyListValue innerDict = PropertyListValue::fromDictionary({{QStringLiteral("inner"), str("leaf")}});
    const PropertyListValue array = PropertyListValue::fromArray({innerDict});
    const PropertyListValue value = PropertyListValue::fromDictionary({{QStringLiteral("outer"), array}});
    KVNItem::setRootItem(&value);
    KVNItem *root = KVNItem::rootItem();
    QCOMPARE(root->numberOfChildren(), 1);
    KVNItem *outer = root->childAtIndex(0);
    QCOMPARE(outer->name(), QStringLiteral("outer"));
    QCOMPARE(outer->objectType(), QStringLiteral("Array"));
    QVERIFY(!outer->childrenBuilt());

    QCOMPARE(outer->numberOfChildren(), 1);
    KVNItem *element = outer->childAtIndex(0);
    QCOMPARE(element->name(), QStringLiteral("0"));
    QCOMPARE(element->objectType(), QStringLiteral("Dictionary"));
    QVERIFY(element->itemParent == outer->itemValue);
    QVERIFY(!element->childrenBuilt());

    QCOMPARE(element->value(), QStringLiteral("(1 Key/Value pair)"));
    QVERIFY(element->childrenBuilt());
    KVNItem *leaf = element->childAtIndex(0);
    QCOMPARE(leaf->name(), QStringLiteral("inner"));
    QCOMPARE(leaf->objectType(), QStringLiteral("String"));
    QCOMPARE(leaf->value(), QStringLiteral("leaf"));
    QVERIFY(!leaf->childrenBuilt());
    QCOMPARE(leaf->numberOfChildren(), -1);
}

void TestKVNItem::dictionaryChildrenFollowDictionaryOrder()
{
    kv::PropertyListDictionary d;
    for (const char *k : {"b", "a", "Z", "_", "aa", "A"})
        d.insert(QString::fromLatin1(k), str(k));
    const PropertyListValue value = PropertyListValue::fromDictionary(d);
    KVNItem::setRootItem(&value);
    QCOMPARE(childNames(KVNItem::rootItem()), QStringList(value.dictionary().keys()));
    QCOMPARE(childNames(KVNItem::rootItem()), (QStringList{"A", "Z", "_", "a", "aa", "b"}));
}

void TestKVNItem::childValuesPointIntoTheValue()
{
    const PropertyListValue value = PropertyListValue::fromArray({str("x"), arrayOf(2)});
    KVNItem::setRootItem(&value);
    KVNItem *root = KVNItem::rootItem();
    QVERIFY(root->itemValue == &value);
    QVERIFY(root->childAtIndex(0)->itemValue == &value.array().at(0));
    QVERIFY(root->childAtIndex(1)->itemValue == &value.array().at(1));
    QCOMPARE(root->childAtIndex(1)->childAtIndex(1)->value(), QStringLiteral("10"));
}

void TestKVNItem::childAtIndexOutOfRange()
{
    const PropertyListValue value = arrayOf(2);
    KVNItem::setRootItem(&value);
    KVNItem *root = KVNItem::rootItem();
    QVERIFY(root->childAtIndex(-1) == nullptr);
    QVERIFY(root->childAtIndex(2) == nullptr);
    QVERIFY(root->childAtIndex(1) != nullptr);
}

void TestKVNItem::scalarChildrenTypesAndTexts_data()
{
    QTest::addColumn<PropertyListValue>("child");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("children");
    QTest::newRow("boolean") << PropertyListValue::fromBoolean(true) << "Number" << -1;
    QTest::newRow("string") << str("s") << "String" << -1;
    QTest::newRow("empty dictionary") << PropertyListValue::fromDictionary({}) << "Dictionary" << 0;
    QTest::newRow("empty array") << PropertyListValue::fromArray({}) << "Array" << 0;
    QTest::newRow("data") << PropertyListValue::fromData("ab") << "Data" << -1;
}

void TestKVNItem::scalarChildrenTypesAndTexts()
{
    QFETCH(PropertyListValue, child);
    QFETCH(QString, type);
    QFETCH(int, children);
    const PropertyListValue value = PropertyListValue::fromDictionary({{QStringLiteral("key"), child}});
    KVNItem::setRootItem(&value);
    KVNItem *item = KVNItem::rootItem()->childAtIndex(0);
    QCOMPARE(item->name(), QStringLiteral("key"));
    QCOMPARE(item->objectType(), type);
    QCOMPARE(item->numberOfChildren(), children);
    if (children < 0)
        QCOMPARE(item->value(), child.description());
}

void TestKVNItem::largeArrayIsCheap()
{
    // 1000 dictionaries of 100 entries: 100,000 leaves, every level built.
    kv::PropertyListDictionary entries;
    for (int i = 0; i < 100; ++i)
        entries.insert(QStringLiteral("key%1").arg(i, 3, 10, QLatin1Char('0')), PropertyListValue::fromInteger(i));
    const PropertyListValue inner = PropertyListValue::fromDictionary(entries);
    kv::PropertyListArray outer;
    for (int i = 0; i < 1000; ++i)
        outer.append(inner);
    const PropertyListValue value = PropertyListValue::fromArray(outer);
    KVNItem::setRootItem(&value);
    KVNItem *root = KVNItem::rootItem();
    qint64 leaves = 0;
    for (int i = 0; i < root->numberOfChildren(); ++i) {
        KVNItem *child = root->childAtIndex(i);
        for (int j = 0; j < child->numberOfChildren(); ++j)
            leaves += child->childAtIndex(j)->numberOfChildren() == -1 ? 1 : 0;
    }
    QCOMPARE(leaves, qint64(100000));
    QCOMPARE(root->childAtIndex(999)->childAtIndex(99)->name(), QStringLiteral("key099"));
    KVNItem::releaseRootItem();
}

QTEST_MAIN(TestKVNItem)
#include "tst_kvnitem.moc"
