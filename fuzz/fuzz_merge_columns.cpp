// Key-list edits made to the browser's columns in place must leave what
// building the columns afresh leaves. The input's bytes choose store keys
// from a small alphabet (so that rows share names and titles repeat), a path
// of selected rows, then rounds of keys added and removed; after each round
// the columns edited in place (column 0 from the key-list edit, deeper ones
// following their row's keys) are compared with columns built afresh from
// the same keys along the same titles.

#include "browser/BrowserDataSource.h"
#include "fuzz/FuzzSupport.h"
#include "store/KeyListEdit.h"

#include <algorithm>
#include <iterator>

namespace {

struct Bytes
{
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    int next(int bound) { return at < size ? data[at++] % bound : 0; }
    bool done() const { return at >= size; }
};

QString keyFrom(Bytes &in)
{
    static const char *const odd[] = {" ", ":x", "NoColon", "A: /x", "A:", " A:/A", "A:/A/", "A://A"};
    static const char *const domains[] = {"State:", "Setup:", "A:", "A-1:", "a:"};
    static const char *const pieces[] = {"A", "A-1", "B", "a", "0", "C D"};
    if (in.next(16) == 0)
        return QString::fromLatin1(odd[in.next(int(std::size(odd)))]);
    QString key = QString::fromLatin1(domains[in.next(int(std::size(domains)))]);
    const int depth = 1 + in.next(4);
    for (int i = 0; i < depth; ++i)
        key += u'/' + QString::fromLatin1(pieces[in.next(int(std::size(pieces)))]);
    return key;
}

// The columns a browser shows along `titles` (each row selected by its first
// title match), built afresh: the titles found, and the loaded columns.
QStringList freshColumns(const QStringList &keys, const QStringList &titles, QList<kv::TreeBranch> *tree)
{
    kv::browser::BrowserDataSource fresh(keys, *tree);
    fresh.numberOfRowsInColumn(0, -1);
    QStringList found;
    for (int column = 0; column < titles.size(); ++column) {
        const int row = fresh.rowTitled(titles.at(column), column);
        if (row < 0)
            break;
        found << titles.at(column);
        const kv::BranchNode *node = fresh.node(row, column);
        if (!node || !node->leaf)
            break;
        fresh.numberOfRowsInColumn(column + 1, row);
    }
    return found;
}

void checkSame(const kv::TreeBranch &edited, const kv::TreeBranch &fresh)
{
    fuzz::check(edited.names == fresh.names, "a column's titles are those a fresh build gives");
    for (qsizetype row = 0; row < fresh.nodes.size(); ++row) {
        const kv::BranchNode &a = edited.nodes.at(row);
        const kv::BranchNode &b = fresh.nodes.at(row);
        fuzz::check(bool(a.leaf) == bool(b.leaf), "a row leads further as in a fresh build");
        fuzz::check(bool(a.key) == bool(b.key), "a row ends a key as in a fresh build");
        if (a.key)
            fuzz::check(a.key->storeKey() == b.key->storeKey(), "a row ends the same key");
        if (a.leaf)
            fuzz::check(a.leaf->size() == b.leaf->size(), "a row holds as many keys below it");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes in{data, size};
    QStringList keys;
    const int count = in.next(80);
    for (int i = 0; i < count; ++i)
        keys << keyFrom(in);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    // The columns along a path of rows the input picks.
    QList<kv::TreeBranch> tree;
    kv::browser::BrowserDataSource columns(keys, tree);
    columns.numberOfRowsInColumn(0, -1);
    QStringList titles;
    for (int column = 0; column < 4 && column < tree.size() && !tree.at(column).names.isEmpty(); ++column) {
        const int row = in.next(int(tree.at(column).names.size()));
        QString title;
        bool leaf = false;
        columns.cell(row, column, &title, &leaf);
        titles << title;
        if (leaf)
            break;
        columns.numberOfRowsInColumn(column + 1, row);
    }

    for (int round = 0; round < 6 && !in.done(); ++round) {
        // Keys added and removed, as a merge edits the list.
        std::vector<kv::SortedListEdit> edits;
        {
            kv::store::KeyListEdit edit(keys);
            const int changes = 1 + in.next(12);
            for (int i = 0; i < changes; ++i) {
                const QString key =
                    in.next(2) == 0 || keys.isEmpty() ? keyFrom(in) : keys.at(in.next(int(keys.size())));
                if (edit.isListed(key))
                    edit.remove(key);
                else
                    edit.insert(key);
                if (in.next(8) == 0)
                    edits.push_back(edit.apply());
            }
            edits.push_back(edit.apply());
        }
        const std::optional<bool> edited = columns.applyKeyListEdits(edits);
        fuzz::check(edited.has_value(), "column 0 is edited in place");

        // The path again, deeper columns following their row's keys.
        QStringList found;
        int loaded = 1;
        for (int column = 0; column < titles.size() && column < loaded; ++column) {
            const int row = columns.rowTitled(titles.at(column), column);
            if (row < 0)
                break;
            found << titles.at(column);
            const std::shared_ptr<kv::DecomposedKeyList> below = columns.node(row, column)->leaf;
            if (!below)
                break;
            const bool wasLoaded = column + 1 < tree.size();
            if (!(wasLoaded && columns.columnBuiltFrom(column + 1, below.get()))
                && !(wasLoaded && columns.followLeaf(column + 1, below)))
                columns.numberOfRowsInColumn(column + 1, row);
            loaded = column + 2;
        }

        QList<kv::TreeBranch> freshTree;
        const QStringList freshFound = freshColumns(keys, titles, &freshTree);
        fuzz::check(found == freshFound, "the path is found as far as in a fresh build");
        fuzz::check(freshTree.size() == loaded, "as many columns as a fresh build loads");
        for (int column = 0; column < loaded; ++column)
            checkSame(tree.at(column), freshTree.at(column));
        titles = found;
    }
    return 0;
}
