// The roles main dispatches to.
#pragma once

// Set to 0 from outside (gdb -p PID -batch -ex 'set var debug_hold = 0') to release a process
// started with role 'w' or 'r'. Global with external linkage so a debugger finds it by name.
extern volatile int debug_hold;

void logWriter();
void logReader();
void dumpLog(int n);
