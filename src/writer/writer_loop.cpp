#include "control/roles.h"

void logWriter() {}
