// The value diff: entries added, removed and changed between two values,
// arrays by their shortest edit, as a flat list and as a tree.

#include "history/ValueDiff.h"

#include <QElapsedTimer>
#include <QTest>

Q_DECLARE_METATYPE(kv::PropertyListValue)

using namespace kv;
using namespace kv::history;

namespace {

PropertyListValue str(const QString &s)
{
    return PropertyListValue::fromString(s);
}

PropertyListValue integer(qint64 n)
{
    return PropertyListValue::fromInteger(n);
}

PropertyListValue array(const QStringList &items)
{
    PropertyListArray a;
    for (const QString &item : items)
        a.append(str(item));
    return PropertyListValue::fromArray(a);
}

PropertyListValue dictionary(std::initializer_list<std::pair<QString, PropertyListValue>> entries)
{
    PropertyListDictionary d;
    for (const auto &[key, value] : entries)
        d.insert(key, value);
    return PropertyListValue::fromDictionary(d);
}

// "~ Addresses › 0: old → new", "+ path: new", "- path: old".
QStringList describe(const QList<DiffEntry> &entries)
{
    QStringList lines;
    for (const DiffEntry &entry : entries) {
        const QString path = entryPathText(entry.path);
        switch (entry.mark) {
        case DiffMark::Added: lines.append("+ " + path + ": " + entry.newValue.description()); break;
        case DiffMark::Removed: lines.append("- " + path + ": " + entry.oldValue.description()); break;
        case DiffMark::Changed:
            lines.append("~ " + path + ": " + entry.oldValue.description() + QStringLiteral(" → ")
                         + entry.newValue.description());
            break;
        case DiffMark::Unchanged: lines.append("= " + path); break;
        }
    }
    return lines;
}

// 100,000 numbered elements, the same shared values in both.
PropertyListArray numbered(qsizetype count)
{
    PropertyListArray items;
    items.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        items.append(integer(i));
    return items;
}

} // namespace

class TestValueDiff : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entries_data()
    {
        QTest::addColumn<PropertyListValue>("oldValue");
        QTest::addColumn<PropertyListValue>("newValue");
        QTest::addColumn<QStringList>("expected");
        const PropertyListValue same = dictionary({{"A", array({"x", "y"})}});
        QTest::newRow("same shared value") << same << same << QStringList{};
        QTest::newRow("equal, not shared")
            << dictionary({{"A", array({"x", "y"})}}) << dictionary({{"A", array({"x", "y"})}}) << QStringList{};
        QTest::newRow("scalar changed") << integer(1) << integer(2) << QStringList{QStringLiteral("~ : 1 → 2")};
        QTest::newRow("added") << PropertyListValue() << str("new") << QStringList{"+ : new"};
        QTest::newRow("removed") << str("old") << PropertyListValue() << QStringList{"- : old"};
        QTest::newRow("kind changed, not looked into")
            << dictionary({{"A", integer(1)}}) << array({"A"})
            << QStringList{QStringLiteral("~ : {\n    A = 1;\n} → (\n    A\n)")};
        QTest::newRow("integer to real is a change")
            << integer(1) << PropertyListValue::fromReal(1) << QStringList{QStringLiteral("~ : 1 → 1")};
        QTest::newRow("dictionary entries, in key order")
            << dictionary({{"B", integer(1)}, {"C", integer(2)}, {"D", integer(3)}})
            << dictionary({{"A", integer(0)}, {"C", integer(2)}, {"D", integer(4)}})
            << QStringList{"+ A: 0", "- B: 1", QStringLiteral("~ D: 3 → 4")};
        QTest::newRow("nested entry")
            << dictionary({{"Link", dictionary({{"Active", integer(1)}, {"Speed", integer(100)}})}})
            << dictionary({{"Link", dictionary({{"Active", integer(1)}, {"Speed", integer(1000)}})}})
            << QStringList{QStringLiteral("~ Link › Speed: 100 → 1000")};
        QTest::newRow("inserted in front")
            << array({"a", "b", "c"}) << array({"z", "a", "b", "c"}) << QStringList{"+ 0: z"};
        QTest::newRow("removed at the end") << array({"a", "b", "c"}) << array({"a", "b"}) << QStringList{"- 2: c"};
        QTest::newRow("removed from the middle")
            << array({"a", "b", "c", "d"}) << array({"a", "d"}) << QStringList{"- 1: b", "- 2: c"};
        QTest::newRow("replaced") << array({"a", "b", "c"}) << array({"a", "x", "c"})
                                  << QStringList{QStringLiteral("~ 1: b → x")};
        QTest::newRow("inserted and changed") << array({"a", "b", "c", "d"}) << array({"a", "n", "b", "c", "D"})
                                              << QStringList{"+ 1: n", QStringLiteral("~ 4: d → D")};
        QTest::newRow("moved to the front")
            << array({"a", "b", "c"}) << array({"c", "a", "b"}) << QStringList{"+ 0: c", "- 2: c"};
        QTest::newRow("repeated elements") << array({"a", "a", "a"}) << array({"a", "a"}) << QStringList{"- 2: a"};
        QTest::newRow("into an element")
            << PropertyListValue::fromArray({dictionary({{"Name", str("eth0")}}), dictionary({{"Name", str("lo")}})})
            << PropertyListValue::fromArray(
                   {dictionary({{"Name", str("eth0")}}), dictionary({{"Name", str("lo0")}, {"Up", integer(1)}})})
            << QStringList{QStringLiteral("~ 1 › Name: lo → lo0"), "+ 1 › Up: 1"};
        QTest::newRow("array to empty") << array({"a", "b"}) << array({}) << QStringList{"- 0: a", "- 1: b"};
        QTest::newRow("keys with the separator")
            << dictionary({{QStringLiteral("a › b"), integer(1)}})
            << dictionary({{QStringLiteral("a › b"), integer(2)}}) << QStringList{QStringLiteral("~ a › b: 1 → 2")};

        // Long arrays: ten elements changed and one inserted in front among
        // 100,000 report those and nothing else.
        PropertyListArray before = numbered(100'000);
        PropertyListArray after = before;
        after.prepend(str("first"));
        QStringList expected{"+ 0: first"};
        for (qsizetype i = 5; i < 100'000; i += 10'000) {
            after[i + 1] = integer(-i);
            expected.append(QStringLiteral("~ %1: %2 → %3").arg(i + 1).arg(i).arg(-i));
        }
        QTest::newRow("long array") << PropertyListValue::fromArray(before) << PropertyListValue::fromArray(after)
                                    << expected;

        // Nothing in common, longer than the search goes: paired by position.
        PropertyListArray unrelatedBefore;
        PropertyListArray unrelatedAfter;
        QStringList pairs;
        for (int i = 0; i < 3000; ++i) {
            unrelatedBefore.append(integer(i));
            unrelatedAfter.append(integer(-1 - i));
            pairs.append(QStringLiteral("~ %1: %1 → %2").arg(i).arg(-1 - i));
        }
        unrelatedAfter.append(integer(-5000));
        pairs.append(QStringLiteral("+ 3000: -5000"));
        QTest::newRow("unrelated long arrays")
            << PropertyListValue::fromArray(unrelatedBefore) << PropertyListValue::fromArray(unrelatedAfter) << pairs;
    }

    void entries()
    {
        QFETCH(PropertyListValue, oldValue);
        QFETCH(PropertyListValue, newValue);
        QFETCH(QStringList, expected);
        QElapsedTimer timer;
        timer.start();
        const QList<DiffEntry> found = diffValues(oldValue, newValue);
        QVERIFY2(timer.elapsed() < 5000, "the diff took too long");
        QCOMPARE(describe(found), expected);
        // The other way round, every entry turns around.
        const QList<DiffEntry> back = diffValues(newValue, oldValue);
        QCOMPARE(back.size(), found.size());
    }

    // The tree: changed containers hold their changed entries and count the
    // unchanged ones they leave out.
    void tree_data()
    {
        QTest::addColumn<PropertyListValue>("oldValue");
        QTest::addColumn<PropertyListValue>("newValue");
        QTest::addColumn<QString>("expected"); // node: name mark [unchanged] (children)
        QTest::newRow("equal") << array({"a"}) << array({"a"}) << "= 0";
        QTest::newRow("one entry of three")
            << dictionary({{"A", integer(1)}, {"B", integer(2)}, {"C", integer(3)}})
            << dictionary({{"A", integer(1)}, {"B", integer(5)}, {"C", integer(3)}}) << "~ 2 (B ~)";
        QTest::newRow("deeper")
            << dictionary({{"A", dictionary({{"x", integer(1)}, {"y", integer(2)}})}, {"B", integer(1)}})
            << dictionary({{"A", dictionary({{"x", integer(1)}, {"y", integer(3)}})}, {"B", integer(1)}})
            << "~ 1 (A ~ 1 (y ~))";
        QTest::newRow("array edits") << array({"a", "b", "c"}) << array({"z", "a", "c"}) << "~ 2 (0 + 1 -)";
        QTest::newRow("kind changed") << array({"a"}) << str("a") << "~ 0";
    }

    void tree()
    {
        QFETCH(PropertyListValue, oldValue);
        QFETCH(PropertyListValue, newValue);
        QFETCH(QString, expected);
        const std::function<QString(const DiffNode &)> text = [&text](const DiffNode &node) {
            static const char marks[] = {'=', '+', '-', '~'};
            QString out = node.step.text();
            if (!out.isEmpty())
                out += ' ';
            out += QLatin1Char(marks[int(node.mark)]);
            if (node.unchangedChildren > 0 || !node.children.isEmpty() || node.step.text().isEmpty())
                out += ' ' + QString::number(node.unchangedChildren);
            if (!node.children.isEmpty()) {
                QStringList children;
                for (const DiffNode &child : node.children)
                    children.append(text(child));
                out += " (" + children.join(' ') + ')';
            }
            return out;
        };
        const DiffNode root = diffTree(oldValue, newValue);
        QCOMPARE(text(root), expected);
        QVERIFY(root.oldValue == oldValue);
        QVERIFY(root.newValue == newValue);
    }
};

QTEST_MAIN(TestValueDiff)
#include "tst_valuediff.moc"
