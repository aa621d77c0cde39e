#include "verdict.h"

#include <algorithm>
#include <cstdio>

#include "accounting.h"

static StopContext stopContext(const RunState& run) {
  StopContext stop;
  stop.stop_s = run.stop_s;
  stop.grace_waited_s = run.grace_waited_s;
  stop.grace_cut_short = run.grace_cut_short;
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
    v.warnings.push_back({"may_still_run", processName(p) + " may still be running on " +
                                               hostName(p) + " (PID " + std::to_string(p.pid) +
                                               ")"});
  }
}

static std::string seconds(double s) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f s", s);
  return text;
}

// A lost host stops the test and leaves its processes' ends unknown: only a defect found
// before the loss still fails the run; everything after it is the loss's doing.
static bool judgeLostHosts(const RunState& run, Verdict& v) {
  double first_loss = -1;
  for (const HostRecord& h : run.hosts) {
    if (h.lost) {
      v.lost.push_back(
          {"host_lost", h.name + " was lost at " + seconds(h.lost_s) + ": " + h.lost_why});
      first_loss = first_loss < 0 ? h.lost_s : std::min(first_loss, h.lost_s);
    }
  }
  if (first_loss < 0) {
    return false;
  }
  for (const OutputNote& d : run.diagnostics) {
    if (d.at_s < first_loss) {
      v.failures.push_back(
          {"diagnostic", d.process + " reported a defect before the loss: " + d.line});
      break;
    }
  }
  v.kind = v.failures.empty() ? VerdictKind::HostLost : VerdictKind::Fail;
  return true;
}

Verdict decideVerdict(const std::vector<Process>& processes, const RunState& run) {
  Verdict v;
  v.cut_short = run.cut_short;
  if (judgeLostHosts(run, v)) {
    v.warnings = run.warnings;
    StopContext stop = stopContext(run);
    for (const Process& p : processes) {
      v.ends.push_back(decideEnd(p, stop));
    }
    return v;
  }
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
  judgeLooks(processes, run.looks, v.failures, v.warnings);
  for (const Finding& lost : judgeAcknowledged(processes, run.looks)) {
    v.failures.push_back(lost);
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
    case VerdictKind::HostLost:
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
    case VerdictKind::HostLost:
      return EXIT_HOST_FAILED;
  }
  return EXIT_FAIL;
}

int exitStatusFor(const Verdict& v) {
  return v.cut_short && v.kind != VerdictKind::Fail ? EXIT_INTERRUPTED : exitStatusFor(v.kind);
}
