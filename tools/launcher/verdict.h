// PASS or FAIL, and why.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "process.h"
#include "run.h"

// A reader that verified nothing in a run this long has been kept from the logs somehow.
constexpr double MIN_SECONDS_FOR_READER_PROGRESS = 60;

// One line per reason the run failed; empty for a PASS. Any diagnostic line fails the run, and
// so does any process that did not end by itself with status 0 - except a writer that exits
// with 1 and prints nothing once StopTest was raised by the launcher or by a process that
// printed why: it met the marker while opening the log, which ends a writer with 1.
// The writer's exit with 1 above.
bool writerStoppedByMarker(const Process& p, const RunState& run);

std::vector<std::string> findFailures(const Options& opt, const std::vector<Process>& processes,
                                      const RunState& run);
