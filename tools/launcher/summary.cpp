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

// Lines of one kind, as many as SUMMARY_LINES, after how many there were.
static void printLines(const char* title, const std::vector<Diagnostic>& lines, unsigned count) {
  if (count == 0) {
    return;
  }
  size_t shown = std::min(lines.size(), SUMMARY_LINES);
  printf("%s (%zu of %u):\n", title, shown, count);
  for (size_t i = 0; i < shown; i++) {
    printf("  %s: %s\n", lines[i].process.c_str(), lines[i].line.c_str());
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

// The last line, a report of the run on its own.
static void printVerdict(const std::vector<Process>& processes, const RunState& run,
                         const Outcome& outcome) {
  double seconds = measuredSeconds(run);
  Rates r = ratesFor(run.sizes.total, seconds);
  std::string verified = hasReaders(processes) ? std::to_string(slowestReaderVerified(processes)) +
                                                     " verified by the slowest reader"
                                               : "no reader";
  printf(
      "%s after %.1f s: %u logs written, %s, %.1f MB (~%.0f records), %.2f MB/s, ~%.0f "
      "records/s\n",
      outcome.failures.empty() ? "PASS" : "FAIL", seconds, logsWritten(run.sizes), verified.c_str(),
      run.sizes.total / 1e6, r.records, r.mb_per_s, r.records_per_s);
}

void printSummary(const Options& opt, const LogDir& dir, const std::vector<Process>& processes,
                  const RunState& run, const Outcome& outcome) {
  if (!opt.quiet) {
    printf("Stopped after %.1f s: %s%s\n", run.stop_s, stopReasonText(run.stop_reason),
           run.launcher_raised_marker ? " (StopTest raised by the launcher)" : "");
    printProcesses(processes, run);
  }
  printLines("Retry notices: a reader waited for a log to become whole", run.retry_notices,
             run.retry_notice_count);
  printLines("First diagnostic lines", run.diagnostics, run.diagnostic_count);
  if (!outcome.failures.empty()) {
    printf("Failed because:\n");
    for (const std::string& why : outcome.failures) {
      printf("  %s\n", why.c_str());
    }
  }
  printDirectory(dir, outcome);
  printVerdict(processes, run, outcome);
  fflush(stdout);
}
