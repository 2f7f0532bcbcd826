#include "app/KVNController.h"
