#include "app/KVNController.h"

void KVNController::exportStore(QObject *) {}
void KVNController::didEnd(kv::ui::SavePanel *, int, void *) {}
