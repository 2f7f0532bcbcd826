#include "app/KVNController.h"

void KVNController::menuAboutAction(QObject *) {}
