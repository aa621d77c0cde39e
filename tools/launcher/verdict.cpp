#include "verdict.h"

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
