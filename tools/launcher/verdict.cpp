#include "verdict.h"

#include <string.h>

// A writer that meets StopTest while opening the log ends through the stop path, with 1 and
// without a word. That is no fault of its own once someone with a reason raised the marker:
// the launcher, or a process that said why.
bool writerStoppedByMarker(const Process& p, const RunState& run) {
  bool raised_for_a_reason = run.launcher_raised_marker || run.diagnostic_count > 0;
  return p.role == Role::Writer && p.reaped && WIFEXITED(p.wait_status) &&
         WEXITSTATUS(p.wait_status) == 1 && p.diagnostics == 0 && !p.ended_early &&
         p.end_s >= run.stop_s && raised_for_a_reason;
}

// Why p ended wrongly, or "" if it ended well.
static std::string endFailure(const Options& opt, const Process& p, const RunState& run) {
  std::string name = processName(p);
  if (p.pid <= 0) {
    return "";  // never started; the launcher's own error says why
  }
  if (p.unreapable) {
    return name + " did not end even after SIGKILL";
  }
  if (p.killed_by_launcher) {
    return name + " did not end within " + std::to_string(opt.grace) +
           " s after StopTest and was killed";
  }
  if (WIFSIGNALED(p.wait_status)) {
    int sig = WTERMSIG(p.wait_status);
    return name + " was killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  int status = WEXITSTATUS(p.wait_status);
  if (p.ended_early) {
    return name + " ended with status " + std::to_string(status) +
           " while the test was running and no StopTest existed";
  }
  if (status != 0 && !writerStoppedByMarker(p, run)) {
    return name + " exited with status " + std::to_string(status);
  }
  if (p.role == Role::Reader && status == 0 && logsVerified(p) == 0 &&
      measuredSeconds(run) > MIN_SECONDS_FOR_READER_PROGRESS) {
    return name + " verified no log";
  }
  return "";
}

std::vector<std::string> findFailures(const Options& opt, const std::vector<Process>& processes,
                                      const RunState& run) {
  std::vector<std::string> failures = run.launcher_errors;
  for (const Process& p : processes) {
    if (p.diagnostics > 0) {
      failures.push_back(processName(p) + " printed " + std::to_string(p.diagnostics) +
                         (p.diagnostics == 1 ? " diagnostic line" : " diagnostic lines"));
    }
    std::string why = endFailure(opt, p, run);
    if (!why.empty()) {
      failures.push_back(why);
    }
  }
  return failures;
}
