// Process-wide paths of the log directory and the stop protocol shared by every role.
#pragma once

#include "control/log_format.h"

extern const char* log_root;  // the <log_path> argument as given, trailing slash and all
extern char stop_test_file[PATH_BUFFER_SIZE];
extern char space_lock_file[PATH_BUFFER_SIZE];
extern char last_log[PATH_BUFFER_SIZE];

// The name of numbered log n in log_root. Writers, readers and the dump all form it here,
// with the same bound, so a long directory path cannot make them name different files.
void formLogName(char (&name)[PATH_BUFFER_SIZE], int n);

// Points log_root at root and derives the three paths. main refuses a root longer than
// MAX_LOG_PATH_LEN first; here a path too long for its buffer would be cut.
void initLogPaths(const char* root);

// True while the StopTest marker (any entry of that name) is absent. Any other stat failure also
// counts as stopped: a directory we cannot look into is no test to go on with.
bool testIsRunning();

// Raises the StopTest marker (if it can) and exits with status 1.
[[noreturn]] void stopTest();
