#include "control/roles.h"

void dumpLog(int) {}
