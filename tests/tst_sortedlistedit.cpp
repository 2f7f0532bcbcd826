// applySortedListEdit against the edit spelled out entry by entry, on
// random edits of every size (few: edited in place; many: in one pass),
// for a QList and a std::vector.

#include "browser/SortedListEdit.h"

#include <QRandomGenerator>
#include <QTest>

class TestSortedListEdit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void editsAsSpelledOut_data();
    void editsAsSpelledOut();
};

namespace {

// The list after `edit`, made entry by entry.
QStringList spelledOut(const QStringList &list, const kv::SortedListEdit &edit)
{
    QStringList result;
    auto added = edit.added.cbegin();
    for (qsizetype i = 0; i <= list.size(); ++i) {
        for (; added != edit.added.cend() && added->first == i; ++added)
            result.append(added->second);
        const bool removed = std::any_of(edit.removed.cbegin(), edit.removed.cend(),
                                         [i](const auto &run) { return run.first <= i && i < run.second; });
        if (i < list.size() && !removed)
            result.append(list.at(i));
    }
    return result;
}

kv::SortedListEdit randomEdit(QRandomGenerator &random, qsizetype size, int edits)
{
    kv::SortedListEdit edit;
    qsizetype at = 0;
    for (int e = 0; e < edits && at <= size; ++e) {
        at += random.bounded(4);
        if (at > size)
            break;
        if (random.bounded(2) && at < size) {
            const qsizetype end = std::min(size, at + 1 + random.bounded(3));
            edit.removed.emplace_back(at, end);
            at = end + 1; // runs do not meet
        } else {
            for (int k = random.bounded(1, 3); k > 0; --k)
                edit.added.emplace_back(at, QStringLiteral("added %1 %2").arg(at).arg(k));
        }
    }
    std::sort(edit.added.begin(), edit.added.end());
    return edit;
}

} // namespace

void TestSortedListEdit::editsAsSpelledOut_data()
{
    QTest::addColumn<int>("edits");
    QTest::newRow("one") << 1;
    QTest::newRow("as many as are made in place") << int(kv::SortedListInPlaceEdits);
    QTest::newRow("many, made in one pass") << 40;
}

void TestSortedListEdit::editsAsSpelledOut()
{
    QFETCH(int, edits);
    QRandomGenerator random(static_cast<quint32>(edits));
    for (int round = 0; round < 300; ++round) {
        QStringList list;
        for (int i = random.bounded(0, 60); i > 0; --i)
            list.append(QString::number(list.size()));
        const kv::SortedListEdit edit = randomEdit(random, list.size(), edits);
        const QStringList expected = spelledOut(list, edit);

        QStringList edited = list;
        kv::applySortedListEdit(edited, edit, [](const QString &key) { return key; });
        QCOMPARE(edited, expected);

        std::vector<QString> vector(list.cbegin(), list.cend());
        kv::applySortedListEdit(vector, edit, [](const QString &key) { return key; });
        QCOMPARE(QStringList(vector.cbegin(), vector.cend()), expected);
    }
}

QTEST_MAIN(TestSortedListEdit)
#include "tst_sortedlistedit.moc"
