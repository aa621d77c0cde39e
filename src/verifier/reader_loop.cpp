#include "control/roles.h"

void logReader() {}
