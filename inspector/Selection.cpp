#include "app/KVNController.h"

void KVNController::browserSingleClick(QObject *) {}
void KVNController::browserDoubleClick(QObject *) {}
void KVNController::showInspector(QObject *) {}
