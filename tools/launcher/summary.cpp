#include "summary.h"

#include <string.h>

#include <cstdio>

#include "status_line.h"
#include "verdict.h"

std::string processResult(const Process& p, const RunState& run) {
  if (p.pid <= 0) {
    return "not started";
  }
  if (p.unreapable) {
    return "not reaped";
  }
  if (!p.reaped) {
    return "running";
  }
  if (p.killed_by_launcher) {
    return "killed after grace";
  }
  if (WIFSIGNALED(p.wait_status)) {
    int sig = WTERMSIG(p.wait_status);
    return "signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  std::string text = "exit " + std::to_string(WEXITSTATUS(p.wait_status));
  return writerStoppedByMarker(p, run) ? text + " at StopTest" : text;
}

static double cpuSeconds(const Process& p) {
  const struct rusage& u = p.usage;
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

static void printProcesses(const std::vector<Process>& processes, const RunState& run) {
  printf("%-10s %-12s %-20s %7s %8s %5s  %s\n", "process", "host", "result", "cpu s", "peak MB",
         "logs", "path");
  for (const Process& p : processes) {
    // Usage of a remote process is that of its rsh client: not worth showing.
    bool local = p.host.empty() && p.reaped;
    char cpu[32] = "-", mem[32] = "-";
    if (local) {
      snprintf(cpu, sizeof(cpu), "%.2f", cpuSeconds(p));
      snprintf(mem, sizeof(mem), "%.1f", p.usage.ru_maxrss / 1024.0);
    }
    unsigned logs = p.role == Role::Writer ? p.logs_renamed : logsVerified(p);
    printf("%-10s %-12s %-20s %7s %8s %5u  %s\n", processName(p).c_str(),
           p.host.empty() ? "local" : p.host.c_str(), processResult(p, run).c_str(), cpu, mem, logs,
           p.path.c_str());
  }
}

static void printTotals(const std::vector<Process>& processes, const RunState& run) {
  double seconds = measuredSeconds(run);
  Rates r = ratesFor(run.sizes.total, seconds);
  printf("Logs written %u, verified %u by the slowest reader\n", logsWritten(run.sizes),
         slowestReaderVerified(processes));
  printf(
      "%.2f MB appended in %.1f s: %.2f MB/s, ~%.0f records, ~%.0f records/s (estimated from "
      "bytes)\n",
      run.sizes.total / 1e6, seconds, r.mb_per_s, r.records, r.records_per_s);
}

static const char* stopText(StopReason reason) {
  switch (reason) {
    case StopReason::Duration:
      return "the time was up";
    case StopReason::Interrupted:
      return "interrupted";
    case StopReason::Marker:
      return "StopTest appeared";
    case StopReason::ProcessEnded:
      return "a process ended";
    case StopReason::StartFailed:
      return "a process could not be started";
    case StopReason::None:
      break;
  }
  return "not stopped";
}

static void printDiagnostics(const RunState& run) {
  if (run.diagnostics.empty()) {
    return;
  }
  size_t shown = std::min(run.diagnostics.size(), SUMMARY_DIAGNOSTICS);
  printf("First diagnostic lines (%zu of %u):\n", shown, run.diagnostic_count);
  for (size_t i = 0; i < shown; i++) {
    printf("  %s: %s\n", run.diagnostics[i].process.c_str(), run.diagnostics[i].line.c_str());
  }
}

static void printDirectory(const LogDir& dir, const Outcome& outcome) {
  if (!outcome.dir_kept) {
    printf("Directory removed: %s\n", dir.paths[0].c_str());
  } else if (!outcome.failures.empty()) {
    printf("Directory kept for inspection: %s\n", dir.paths[0].c_str());
  } else {
    printf("Directory: %s\n", dir.paths[0].c_str());
  }
}

void printSummary(const Options& opt, const LogDir& dir, const std::vector<Process>& processes,
                  const RunState& run, const Outcome& outcome) {
  if (!opt.quiet) {
    printf("Stopped after %.1f s: %s%s\n", run.stop_s, stopText(run.stop_reason),
           run.launcher_raised_marker ? " (StopTest raised by the launcher)" : "");
    printProcesses(processes, run);
    printTotals(processes, run);
  }
  printDiagnostics(run);
  if (!outcome.failures.empty()) {
    printf("Failed because:\n");
    for (const std::string& why : outcome.failures) {
      printf("  %s\n", why.c_str());
    }
  }
  printDirectory(dir, outcome);
  printf("%s\n", outcome.failures.empty() ? "PASS" : "FAIL");
  fflush(stdout);
}
