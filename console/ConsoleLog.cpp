#include "app/KVNController.h"

void KVNController::initLog() {}
void KVNController::updateLog(const QString &, qint32) {}
void KVNController::showConsole(QObject *) {}
