// Defects a writer meets as it rolls the log over, where no record is damaged yet: the number
// it read from logInfo names a log that is already there, or last_log is gone when it renames
// it. Both say the writer's client saw the shared files as they no longer were.
#pragma once

#include <string>
#include <vector>

#include "explain.h"
#include "process.h"
#include "run_state.h"

// The first such defect among the run's diagnostics, set against the renames the run saw and
// logInfo in dir now; not found when no writer met one.
Explanation explainWriterDefect(const std::vector<Process>& processes, const RunState& run,
                                const std::string& dir, const CauseContext& context);
