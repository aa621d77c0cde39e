// Faults of the file system itself during a run: a command of the user's (restart a server,
// cut a link, drop the caches) run on this host every so many seconds while the writers run,
// one action at a time. Each action's start and end go into the run's record, so a defect can
// be set against the last thing done to the file system.
#pragma once

#include <sys/types.h>

#include "run_state.h"

struct NemesisState {
  pid_t pid = -1;  // the action under way
  int out_fd = -1;
  double next_s = -1;    // when the next action begins
  size_t next_slot = 0;  // with a schedule: the next of run.nemesis_at
};

// Once a tick while the writers run: reaps an action that ended, starts one that is due.
void tickNemesis(NemesisState& n, RunState& run, double writers_s, double now);

// At the end of the test: an action still under way gets a few seconds, then is killed.
void endNemesis(NemesisState& n, RunState& run, double now);

// "the first defect came 2.3 s after the nemesis action that began at 20.0 s"; empty without
// an action before the first defect.
std::string nemesisBeforeDefect(const RunState& run);
