#include "find/ui/KeyFinder.h"

#include "find/ui/FindBar.h"
#include "find/ui/FindResultsView.h"
#include "platform/ProgramInfo.h"

#include <QLineEdit>
#include <QStackedWidget>

namespace kv::find {

KeyFinder::KeyFinder(const Window &window, QWidget *barParent, QStackedWidget *browserPlace, QWidget *browser,
                     QObject *parent)
    : QObject(parent), m_window(window), m_search(new FindSearch(this)), m_bar(new FindBar(barParent)),
      m_results(new FindResultsView(m_search, browserPlace)), m_place(browserPlace), m_browser(browser)
{
    m_bar->hide();
    m_place->addWidget(m_results);
    connect(m_bar, &FindBar::queryChanged, this, &KeyFinder::queryChanged);
    connect(m_bar, &FindBar::moveRequested, m_results, &FindResultsView::moveCurrent);
    connect(m_bar, &FindBar::accepted, this, &KeyFinder::accept);
    connect(m_bar, &FindBar::dismissed, this, &KeyFinder::close);
    connect(m_results, &FindResultsView::currentKeyChanged, this, [this](const QString &key) {
        if (m_window.selectKey)
            m_window.selectKey(key);
    });
    connect(m_results, &QAbstractItemView::activated, this, &KeyFinder::accept);
    connect(m_search, &FindSearch::hitsChanged, this, [this] {
        m_results->refresh();
        showStatus();
    });
    connect(m_search, &FindSearch::finished, this, &KeyFinder::showStatus);
}

KeyFinder::~KeyFinder() = default;

void KeyFinder::open()
{
    if (!m_store) {
        // A connection of its own, made when first needed and delivered after
        // the window's (a higher order), so that the key list is up to date
        // when the finder hears of a change.
        m_store = storeCreate(StoreClientName, &KeyFinder::storeChanged, this);
        if (m_store) {
            const QStringList everything{QStringLiteral(".*")};
            storeSetNotificationKeys(m_store.get(), nullptr, &everything);
            storeRunLoopAddSource(storeCreateRunLoopSource(m_store.get(), 1));
        }
    }
    m_bar->activate();
    queryChanged();
}

void KeyFinder::close()
{
    m_search->cancel();
    m_bar->hide();
    showResults(false);
    m_browser->setFocus(Qt::OtherFocusReason);
}

bool KeyFinder::isOpen() const
{
    return m_bar->isVisible();
}

void KeyFinder::keysChanged(const QStringList &changedKeys)
{
    if (!isOpen() || m_bar->text().isEmpty() || !m_window.keys)
        return;
    m_search->keysChanged(changedKeys, m_window.keys());
}

void KeyFinder::storeChanged(StoreConnection *, const QStringList *changedKeys, void *context)
{
    if (changedKeys)
        static_cast<KeyFinder *>(context)->keysChanged(*changedKeys);
}

void KeyFinder::queryChanged()
{
    const QString text = m_bar->text();
    if (text.isEmpty()) {
        m_search->cancel();
        m_results->refresh();
        showResults(false);
        m_bar->showError(QString());
        // Meanwhile, what the next keystroke's search needs (values' texts).
        if (m_window.keys)
            m_search->prepare(m_window.keys(), m_bar->options(), m_window.lookup);
        return;
    }
    QString error;
    static const QStringList none;
    const QStringList &keys = m_window.keys ? m_window.keys() : none;
    if (!m_search->start(keys, text, m_bar->options(), m_window.lookup, &error)) {
        m_results->refresh();
        showResults(true);
        m_bar->showError(error);
        return;
    }
    m_results->refresh();
    showResults(true);
    showStatus();
}

void KeyFinder::showResults(bool shown)
{
    m_place->setCurrentWidget(shown ? static_cast<QWidget *>(m_results) : m_browser);
}

void KeyFinder::showStatus()
{
    if (!m_search->matcher())
        return; // an invalid expression stays reported
    m_bar->showCount(m_search->hitCount(), m_search->keyCount(), m_search->isRunning());
}

void KeyFinder::accept()
{
    // Enter with no result chosen takes the first.
    if (m_results->currentKey().isEmpty())
        m_results->moveCurrent(1);
    close();
}

} // namespace kv::find
