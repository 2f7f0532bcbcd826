#include "app/KVNController.h"

#include "platform/ui/Application.h"
#include "platform/ui/ColumnBrowser.h"
#include "platform/ui/SplitView.h"

KVNController *selfObject = nullptr;

namespace {
// The browser's path separator: a string no title is expected to hold, so
// titles may contain "/" and ":".
const QString BrowserPathSeparator = QStringLiteral("{|}~@!@");
constexpr float MinimumPaneHeight = 80.0f;
} // namespace

KVNController::KVNController(QObject *parent) : QObject(parent)
{
    selfObject = this;
    storeKeysList = QStringList();
    storeTree = QList<kv::TreeBranch>();
    selectedKeyContents = kv::PropertyListValue();
    browserUpdatePolicy = 1;
    outlineViewModeExpended = 1;
}

KVNController::~KVNController()
{
    if (selfObject == this)
        selfObject = nullptr;
}

void KVNController::awakeFromNib()
{
    // 1. Open the store connection.
    store = kv::storeCreate(QStringLiteral("Vaneview"), ::storeNotification, nullptr);
    // 2. Register for changes to every key (only with a connection).
    if (store)
        setStoreNotification();
    // 3. Wire the browser.
    kvnBrowser->setTarget(this);
    kvnBrowser->setAction(QByteArrayLiteral("browserSingleClick"));
    kvnBrowser->setDoubleAction(QByteArrayLiteral("browserDoubleClick"));
    kvnBrowser->setPathSeparator(BrowserPathSeparator);
    // 4. The toolbar.
    setupToolbar();
    // 5. The console banner.
    initLog();
    // 6. The keys and the first column.
    reloadKeys(nullptr);
}

void KVNController::windowWillClose(kv::ui::Window *)
{
    kv::ui::terminate(this);
}

float KVNController::splitViewConstrainMinCoordinate(kv::ui::SplitView *, float proposedMin, int)
{
    return float(std::max(double(proposedMin), double(MinimumPaneHeight)));
}

float KVNController::splitViewConstrainMaxCoordinate(kv::ui::SplitView *splitView, float proposedMax, int)
{
    const float limit = float(splitView->frame().height()) - MinimumPaneHeight;
    return std::min(proposedMax, limit);
}
