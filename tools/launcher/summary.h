// The report at the end of a run, on standard output.
#pragma once

#include <string>
#include <vector>

#include "log_dir.h"
#include "options.h"
#include "process.h"
#include "run.h"

struct Outcome {
  std::vector<std::string> failures;  // empty for a PASS
  bool dir_kept = true;
};

// Diagnostic lines (and retry notices) shown in the summary; the JSON summary keeps more.
constexpr size_t SUMMARY_LINES = 10;

void printSummary(const Options& opt, const LogDir& dir, const std::vector<Process>& processes,
                  const RunState& run, const Outcome& outcome);

// How p ended, e.g. "exit 0", "exit 1 at StopTest", "signal 9 (Killed)", "killed after grace".
std::string processResult(const Process& p, const RunState& run);
