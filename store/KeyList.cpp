#include "app/KVNController.h"

// Key list, change registration and reload. (to be written)
bool KVNController::setStoreNotification() { return false; }
void KVNController::getStoreKeysList() {}
void KVNController::reloadKeys(QObject *) {}
void storeNotification(kv::StoreConnection *, const QStringList *, void *) {}
