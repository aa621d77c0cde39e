// Why nothing moves, from what each host's agent saw in its /proc when the stall came: who
// holds the logInfo lock, and what each writer is doing.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "run_state.h"

// "writer 2 (PID 28116) on h3 holds the logInfo lock and is stopped; writers waiting for a
// lock: 1; stopped: 2". On a cluster whose hosts share one kernel every agent sees every
// holder: a holder that is a process of the test on the host that saw it comes first.
std::string stallCause(const std::vector<HostRecord>& hosts, const std::vector<Process>& procs);
