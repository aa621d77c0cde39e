// The run loop: start every process, follow its output and the log directory once a second,
// apply the progress rules, stop the test when it is time, and wait for every process within
// the grace time.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "run_state.h"

struct RunSettings {
  std::string dir;  // the path the launcher watches and raises StopTest in
  int duration = 0;
  int grace = 15;
  int stall_timeout = 60;
  bool quiet = false;
};

// Returns once every process has been reaped (or given up on after SIGKILL). SIGINT, SIGTERM
// and SIGHUP raise StopTest; a second one ends the grace time at once.
void runTest(const RunSettings& settings, std::vector<Process>& processes, RunState& run);
