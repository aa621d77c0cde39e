// The printed summary at the end of a run. It presents the verdict; it judges nothing.
#pragma once

#include <string>
#include <vector>

#include "explain.h"
#include "injection.h"
#include "log_dir.h"
#include "process.h"
#include "run_state.h"
#include "system_info.h"
#include "verdict.h"

// Diagnostic lines (and retry notices) shown in the summary; the JSON summary keeps more.
constexpr size_t SUMMARY_LINES = 10;

// The fault a run injected, and what the writers' injector reported of it.
struct Injection {
  std::string spec;  // FAULT[:RATE]; empty: none
  InjectionReport report;
};

struct Report {
  const std::vector<Process>& processes;
  const RunState& run;
  const Verdict& verdict;
  const LogDir& dir;
  bool dir_kept;
  const SystemInfo& system;
  const std::vector<std::string>& command_line;
  const Explanation& explanation;
  const Injection& injection;
};

void printReport(const Report& r, bool quiet);
