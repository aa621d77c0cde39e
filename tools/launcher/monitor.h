// Running a test: start every process, follow its output and the log directory once a second,
// stop the test when it is time, and wait for every process within the grace time.
#pragma once

#include <vector>

#include "log_dir.h"
#include "options.h"
#include "process.h"
#include "run.h"

// Returns once every process has been reaped (or given up on after SIGKILL). SIGINT, SIGTERM
// and SIGHUP raise StopTest; a second one ends the grace time at once.
void runTest(const Options& opt, const LogDir& dir, std::vector<Process>& processes, RunState& run);
