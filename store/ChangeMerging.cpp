#include "app/KVNController.h"

void KVNController::storeNotification(const QStringList &) {}
