// One verdict for the run, decided once from the processes' ends and what the run loop found;
// the printed summary and the JSON only present it.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "process_end.h"
#include "progress.h"
#include "run_state.h"

enum class VerdictKind { Pass, Fail, NoVerdict };

struct Verdict {
  VerdictKind kind = VerdictKind::Pass;
  std::vector<ProcessEnd> ends;   // one per process, in the same order
  std::vector<Finding> failures;  // why it failed; empty unless Fail
  std::vector<Finding> warnings;  // worth a look, fail nothing by themselves
};

Verdict decideVerdict(const std::vector<Process>& processes, const RunState& run);

const char* verdictName(VerdictKind kind);  // "PASS", "FAIL", "NO VERDICT"
int exitStatusFor(VerdictKind kind);
