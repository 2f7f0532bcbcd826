// SharedReference: the count follows every copy, move and assignment, the
// object goes exactly once with its last reference, and containers that
// move references as bytes keep the count right.

#include "platform/SharedReference.h"

#include <QList>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {

int objectsGone = 0;

struct Counted : kv::SharedCount
{
    int value = 0;
};

void destroyCounted(const Counted *counted)
{
    ++objectsGone;
    delete counted;
}

using Reference = kv::SharedReference<Counted, &destroyCounted>;

Reference make(int value)
{
    auto *counted = new Counted;
    counted->value = value;
    return Reference::adopt(counted);
}

enum class Step { Copy, CopyOverAnother, SelfCopy, SelfMove, Move, MoveOverAnother, Reset, CopiedObject };

} // namespace

class TestSharedReference : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { objectsGone = 0; }
    void countFollowsOwnership_data();
    void countFollowsOwnership();
    void containersMoveReferencesAsBytes();
};

void TestSharedReference::countFollowsOwnership_data()
{
    QTest::addColumn<Step>("step");
    QTest::addColumn<int>("count");           // references to the kept object afterwards
    QTest::addColumn<int>("destroyedDuring"); // objects gone by the end of the step
    QTest::addColumn<int>("value");           // the kept object's value

    QTest::newRow("copied") << Step::Copy << 2 << 0 << 1;
    QTest::newRow("copied over another") << Step::CopyOverAnother << 2 << 1 << 1;
    QTest::newRow("copied onto itself") << Step::SelfCopy << 1 << 0 << 1;
    QTest::newRow("moved onto itself") << Step::SelfMove << 1 << 0 << 1;
    QTest::newRow("moved") << Step::Move << 1 << 0 << 1;
    QTest::newRow("moved over another") << Step::MoveOverAnother << 1 << 1 << 1;
    QTest::newRow("reset") << Step::Reset << 0 << 1 << 0;
    QTest::newRow("object copied") << Step::CopiedObject << 1 << 1 << 1;
}

void TestSharedReference::countFollowsOwnership()
{
    QFETCH(Step, step);
    QFETCH(int, count);
    QFETCH(int, destroyedDuring);
    QFETCH(int, value);
    {
        Reference a = make(1);
        Reference b;
        Reference kept;
        switch (step) {
        case Step::Copy:
            b = a;
            kept = b;
            a.reset(); // b and kept hold it
            break;
        case Step::CopyOverAnother:
            b = make(2);
            b = a;
            kept = b;
            a.reset(); // b and kept hold the first; the second is gone
            break;
        case Step::SelfCopy: {
            Reference &same = a;
            a = same;
            kept = std::move(a);
            break;
        }
        case Step::SelfMove: {
            Reference &same = a;
            a = std::move(same);
            kept = std::move(a);
            break;
        }
        case Step::Move: kept = std::move(a); break;
        case Step::MoveOverAnother:
            kept = make(2);
            kept = std::move(a);
            break;
        case Step::Reset: a.reset(); break;
        case Step::CopiedObject: {
            // A copy of the object is a new one with its own first reference.
            kept = Reference::adopt(new Counted(*a));
            QCOMPARE(a.referenceCount(), 1);
            a.reset();
            break;
        }
        }
        QCOMPARE(a, Reference());
        QCOMPARE(kept.referenceCount(), count);
        QCOMPARE(objectsGone, destroyedDuring);
        QCOMPARE(kept ? kept->value : 0, value);
    }
    // Everything made is gone once its references are.
    const int made =
        step == Step::CopyOverAnother || step == Step::MoveOverAnother || step == Step::CopiedObject ? 2 : 1;
    QCOMPARE(objectsGone, made);
}

void TestSharedReference::containersMoveReferencesAsBytes()
{
    const Reference one = make(1);
    {
        QList<Reference> list;
        std::vector<Reference> vector;
        for (int i = 0; i < 100; ++i) {
            list.prepend(one); // moves every element along
            list.insert(list.size() / 2, make(i));
            vector.push_back(one);
        }
        QCOMPARE(one.referenceCount(), 201);
        list.remove(10, 50);
        list.squeeze();
        vector.erase(vector.begin(), vector.begin() + 60);
        qsizetype ones = std::count(list.cbegin(), list.cend(), one);
        QCOMPARE(one.referenceCount(), 1 + ones + 40);
        // The made objects removed from the list are gone, each once.
        QCOMPARE(objectsGone, 100 - (list.size() - ones));
    }
    QCOMPARE(one.referenceCount(), 1);
    QCOMPARE(objectsGone, 100);
}

QTEST_MAIN(TestSharedReference)
#include "tst_sharedreference.moc"
