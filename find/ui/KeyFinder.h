#pragma once

// Find in the window: the find bar, the results list that takes the
// browser's place while there is something to find, and the search behind
// them, following the store as it changes. Choosing a result selects its key
// in the browser, as a click would.

#include "find/FindSearch.h"
#include "platform/dynamicstore/DynamicStore.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class QStackedWidget;

namespace kv::find {

class FindBar;
class FindResultsView;

class KeyFinder : public QObject
{
    Q_OBJECT
public:
    // What the finder works with in its window.
    struct Window
    {
        // The sorted list of every key, as the browser lists it.
        std::function<const QStringList &()> keys;
        // A key's value (for finding in values).
        FindSearch::ValueLookup lookup;
        // Selects a key in the browser and shows its value; false when it cannot.
        std::function<bool(const QString &key)> selectKey;
    };
    // The bar goes in `barParent`; the results share `browserPlace` with the
    // browser, which it shows while the finder has no results to show.
    KeyFinder(const Window &window, QWidget *barParent, QStackedWidget *browserPlace, QWidget *browser,
              QObject *parent = nullptr);
    ~KeyFinder() override;

    FindBar *bar() const { return m_bar; }
    FindResultsView *results() const { return m_results; }
    FindSearch *search() const { return m_search; }

    // Shows the bar, its field focused; the results come back when it holds text.
    void open();
    // Hides the bar and the results; the browser stays where the last chosen
    // result left it.
    void close();
    bool isOpen() const;

    // The store changed (the key list is up to date already): the results
    // follow, the chosen one staying chosen.
    void keysChanged(const QStringList &changedKeys);

private:
    void queryChanged();
    void showResults(bool shown);
    void showStatus();
    void accept();
    static void storeChanged(StoreConnection *store, const QStringList *changedKeys, void *context);

    Window m_window;
    FindSearch *m_search;
    FindBar *m_bar;
    FindResultsView *m_results;
    QStackedWidget *m_place;
    QWidget *m_browser;
    std::unique_ptr<StoreConnection> m_store; // tells the finder about changes
};

} // namespace kv::find
