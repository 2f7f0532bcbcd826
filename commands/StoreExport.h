#pragma once

// Exporting the whole store: a save panel as a sheet on the main window, then
// every listed key's value, fetched in one request, written as one XML
// property-list file, which joins the recent documents. A failed export is
// told to the user and to the system log; the file at the path is left as
// it was.

#include "platform/dynamicstore/DynamicStore.h"
#include "platform/ui/SavePanel.h"

#include <QStringList>

#include <memory>

namespace kv::ui {
class ColumnBrowser;
}

namespace kv::commands {

class StoreExport
{
public:
    // The owner's fields this reads. They are references: the owner's
    // widgets may be filled in after this is made.
    struct Fields
    {
        std::unique_ptr<StoreConnection> &store;
        const QStringList &storeKeysList;
        ui::ColumnBrowser *const &kvnBrowser;
    };
    explicit StoreExport(const Fields &fields);

    // Opens a fresh save panel as a sheet on the browser's window, in the
    // recent documents' folder, proposing "System Configuration", with
    // `modalDelegate` as its delegate (and parent); `didEnd` finishes the
    // export when the sheet ends.
    void exportStore(QObject *modalDelegate, ui::SavePanel::DidEndHandler didEnd);
    // Finishes an export: with OK and a chosen location, the values are read
    // and written there. The panel is let go either way.
    void didEnd(ui::SavePanel *panel, int returnCode);

private:
    Fields m_fields;
};

} // namespace kv::commands
