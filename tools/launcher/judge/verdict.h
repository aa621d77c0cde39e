// One verdict for the run, decided once from the processes' ends and what the run loop found;
// the printed summary and the JSON only present it.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "process_end.h"
#include "progress.h"
#include "run_state.h"

// Exit statuses of logtest-run; every part of the launcher returns one of these.
constexpr int EXIT_PASS = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;       // bad usage, a directory it cannot prepare, a refused preflight
constexpr int EXIT_NO_VERDICT = 3;  // no reader verified any log
constexpr int EXIT_HOST_FAILED =
    4;  // a host could not start or was lost: no verdict on the file system
constexpr int EXIT_INTERRUPTED = 5;  // SIGINT or SIGTERM cut the run (or its start) short

// HostLost is a NO VERDICT too, with its own exit status: the launch failed, not the file system.
enum class VerdictKind { Pass, Fail, NoVerdict, HostLost };

struct Verdict {
  VerdictKind kind = VerdictKind::Pass;
  std::vector<ProcessEnd> ends;   // one per process, in the same order
  std::vector<Finding> failures;  // why it failed; empty unless Fail
  std::vector<Finding> warnings;  // worth a look, fail nothing by themselves
  std::vector<Finding> lost;      // hosts lost while the test ran; HostLost unless it failed before
  bool cut_short = false;         // SIGINT or SIGTERM ended a run before its duration
};

Verdict decideVerdict(const std::vector<Process>& processes, const RunState& run);

const char* verdictName(VerdictKind kind);  // "PASS", "FAIL", "NO VERDICT"
int exitStatusFor(VerdictKind kind);
// The same, except that a run cut short that found no defect says so: scripts and CI must tell
// it from a whole PASS.
int exitStatusFor(const Verdict& v);
