#include "verdict.h"

#include <sys/wait.h>

#include "options.h"
#include "spawn.h"

static StopContext stopContext(const RunState& run) {
  StopContext stop;
  stop.stop_s = run.stop_s;
  stop.grace_waited_s = run.grace_waited_s;
  stop.grace_cut_short = run.grace_cut_short;
  stop.marker_for_a_reason = run.launcher_raised_marker || run.diagnostic_count > 0;
  return stop;
}

static void judgeProcess(const Process& p, const ProcessEnd& end, Verdict& v) {
  if (p.diagnostics > 0) {
    v.failures.push_back(
        {"diagnostic", processName(p) + " printed " + std::to_string(p.diagnostics) +
                           (p.diagnostics == 1 ? " diagnostic line" : " diagnostic lines")});
  }
  if (!end.ok) {
    v.failures.push_back({"process_end", end.failure});
  }
  if (end.may_still_run) {
    v.warnings.push_back({"remote_may_still_run", processName(p) + " may still be running on " +
                                                      p.host + ": " + remoteCommandLine(p)});
  }
}

static bool writerKilled(const std::vector<Process>& processes) {
  for (const Process& p : processes) {
    if (p.role == Role::Writer && (p.killed_by_launcher || WIFSIGNALED(p.wait_status))) {
      return true;
    }
  }
  return false;
}

// A writer killed in the middle of its one write(2) leaves a record cut short at the end:
// that alone says nothing about the file system.
static void judgeLastLog(const std::vector<Process>& processes, const RunState& run, Verdict& v) {
  const LastLogCheck& check = run.last_log;
  if (check.defect.empty()) {
    return;
  }
  if (check.cut_at_end && writerKilled(processes)) {
    v.warnings.push_back({"last_log_cut", check.defect + " (a writer was killed)"});
  } else {
    v.failures.push_back({"last_log", check.defect});
  }
}

Verdict decideVerdict(const std::vector<Process>& processes, const RunState& run) {
  Verdict v;
  for (const std::string& error : run.launcher_errors) {
    v.failures.push_back({"launcher_error", error});
  }
  v.failures.insert(v.failures.end(), run.failures.begin(), run.failures.end());
  v.warnings = run.warnings;
  for (const Finding& pause : judgePauses(run.progress)) {
    v.warnings.push_back(pause);
  }
  StopContext stop = stopContext(run);
  for (const Process& p : processes) {
    v.ends.push_back(decideEnd(p, stop));
    judgeProcess(p, v.ends.back(), v);
  }
  judgeLastLog(processes, run, v);
  for (const Finding& gap : judgeCoverage(run.progress, measuredSeconds(run))) {
    v.failures.push_back(gap);
  }
  if (!v.failures.empty()) {
    v.kind = VerdictKind::Fail;
  } else if (mostVerified(run) == 0) {
    v.kind = VerdictKind::NoVerdict;
  }
  return v;
}

const char* verdictName(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::Pass:
      return "PASS";
    case VerdictKind::Fail:
      return "FAIL";
    case VerdictKind::NoVerdict:
      return "NO VERDICT";
  }
  return "FAIL";
}

int exitStatusFor(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::Pass:
      return EXIT_PASS;
    case VerdictKind::Fail:
      return EXIT_FAIL;
    case VerdictKind::NoVerdict:
      return EXIT_NO_VERDICT;
  }
  return EXIT_FAIL;
}
