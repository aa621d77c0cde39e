#include "report.h"

#include <algorithm>
#include <cstdio>

#include "nemesis.h"
#include "status_line.h"

static double cpuSeconds(const Process& p) {
  return p.exit.user_s + p.exit.system_s;
}

static unsigned logsOf(const Process& p, const RunState& run) {
  if (p.role == Role::Writer) {
    return p.logs_renamed;
  }
  return verifiedUpTo(run.progress.readers[p.id - 1]);
}

static void printProcesses(const Report& r) {
  printf("%-10s %-12s %-20s %7s %8s %5s  %s\n", "process", "host", "result", "cpu s", "peak MB",
         "logs", "path");
  for (size_t i = 0; i < r.processes.size(); i++) {
    const Process& p = r.processes[i];
    // Figures come with the end its agent decoded; a process still running has none.
    bool measured = p.reaped && !p.unreapable;
    char cpu[32] = "-", mem[32] = "-";
    if (measured) {
      snprintf(cpu, sizeof(cpu), "%.2f", cpuSeconds(p));
      snprintf(mem, sizeof(mem), "%.1f", p.exit.rss_kb / 1024.0);
    }
    printf("%-10s %-12s %-20s %7s %8s %5u  %s\n", processName(p).c_str(), hostName(p).c_str(),
           r.verdict.ends[i].result.c_str(), cpu, mem, logsOf(p, r.run), p.path.c_str());
  }
}

// One line per host: how its agent did and what its processes used, when there are several.
static void printHosts(const Report& r) {
  if (r.run.hosts.size() < 2 && (r.run.hosts.empty() || r.run.hosts[0].name.empty())) {
    return;
  }
  printf("%-12s %9s %6s %7s %8s  %s\n", "host", "processes", "up s", "cpu s", "peak MB", "agent");
  for (const HostRecord& h : r.run.hosts) {
    int count = 0;
    double cpu = 0;
    long rss = 0;
    for (const Process& p : r.processes) {
      if (p.host == h.name) {
        count++;
        cpu += cpuSeconds(p);
        rss = std::max(rss, p.exit.rss_kb);
      }
    }
    std::string state =
        h.lost ? "lost at " + std::to_string(int(h.lost_s)) + " s: " + h.lost_why : "ended";
    printf("%-12s %9d %6.1f %7.2f %8.1f  %s\n", h.name.empty() ? "local" : h.name.c_str(), count,
           h.hello_s, cpu, rss / 1024.0, state.c_str());
  }
}

// Lines of one kind, as many as SUMMARY_LINES, after how many there were.
static void printLines(const char* title, const std::vector<OutputNote>& lines, unsigned count) {
  if (count == 0) {
    return;
  }
  size_t shown = std::min(lines.size(), SUMMARY_LINES);
  printf("%s (%zu of %u):\n", title, shown, count);
  for (size_t i = 0; i < shown; i++) {
    printf("  %s: %s\n", lines[i].process.c_str(), lines[i].line.c_str());
  }
}

static void printExplanation(const Explanation& e) {
  if (!e.found) {
    return;
  }
  // A finding of the launcher's own (records missing) has no record to show, only its cause.
  if (e.record != 0) {
    std::string log = e.log == 0 ? "last_log" : "log." + std::to_string(e.log);
    printf("Where it failed: %s, %s, record %d", e.process.c_str(), log.c_str(), e.record);
    printf(e.note.empty() ? " (the dump as this host sees it):\n" : ": %s\n", e.note.c_str());
  } else if (!e.where.empty()) {
    printf("Where it failed: %s\n", e.where.c_str());
  }
  for (const std::string& line : e.dump) {
    printf("  %s\n", line.c_str());
  }
  for (const std::string& line : e.hex) {
    printf("  %s\n", line.c_str());
  }
  if (!e.cause.empty()) {
    printf("Likely cause: %s\n", e.cause.c_str());
  }
}

static void printNemesis(const RunState& run) {
  if (run.nemesis_actions.empty() && run.nemesis.empty()) {
    return;
  }
  printf("Nemesis: %zu action%s of '%s', ", run.nemesis_actions.size(),
         run.nemesis_actions.size() == 1 ? "" : "s", run.nemesis.c_str());
  if (run.nemesis_at.empty()) {
    printf("one every %d s", run.nemesis_every);
  }
  for (size_t i = 0; i < run.nemesis_at.size(); i++) {
    const NemesisSlot& s = run.nemesis_at[i];
    printf("%s%g s", i == 0 ? "at " : ", ", s.start_s);
    if (s.seconds > 0) {
      printf(" (held %g s)", s.seconds);
    }
  }
  std::string before = nemesisBeforeDefect(run);
  printf("%s\n", before.empty() ? "" : ("; " + before).c_str());
}

static void printFindings(const char* title, const std::vector<Finding>& findings) {
  if (findings.empty()) {
    return;
  }
  printf("%s\n", title);
  for (const Finding& f : findings) {
    printf("  %s\n", f.text.c_str());
  }
}

static std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) {
    text += (text.empty() ? "" : " ") + w;
  }
  return text;
}

static void printInjection(const Injection& in) {
  if (in.spec.empty()) {
    return;
  }
  if (in.report.writers == 0) {
    printf("Injected %s: no writer reported (remote writers report on their own hosts)\n",
           in.spec.c_str());
    return;
  }
  printf("Injected %s: the fault acted %lu times in %lu records of %u writers%s\n", in.spec.c_str(),
         in.report.fired, in.report.records, in.report.writers,
         in.report.fired == 0 && in.spec != "none" ? " (so this run did not test it)" : "");
}

static void printSystem(const Report& r) {
  printf("Tested with %s on %s (Linux %s): %s\n", r.system.version.c_str(), r.system.host.c_str(),
         r.system.kernel.c_str(), joined(r.command_line).c_str());
  for (const MountInfo& m : r.system.mounts) {
    if (m.fs_type.empty()) {
      printf("  %s: mount not found\n", m.path.c_str());
    } else {
      printf("  %s: %s from %s (%s)\n", m.path.c_str(), m.fs_type.c_str(), m.source.c_str(),
             m.options.c_str());
    }
  }
}

static void printDirectory(const Report& r) {
  const std::string& path = r.dir.paths[0];
  if (!r.dir_kept) {
    printf("Directory removed: %s\n", path.c_str());
  } else if (r.verdict.kind == VerdictKind::Fail) {
    printf("Directory kept for inspection: %s\n", path.c_str());
  } else {
    printf("Directory: %s\n", path.c_str());
  }
}

// "reader 1 logs 1-338, reader 2 none": what each reader verified.
static std::string verifiedRanges(const RunState& run) {
  std::string text;
  for (const ReaderProgress& reader : run.progress.readers) {
    unsigned n = verifiedUpTo(reader);
    text += (text.empty() ? "" : ", ") + reader.name +
            (n == 0 ? " none" : " logs 1-" + std::to_string(n));
  }
  return text;
}

// The last line, a report of the run on its own.
static void printVerdict(const Report& r) {
  double seconds = testedSeconds(r.run);
  Rates rates = ratesFor(r.run.sizes.total, seconds);
  char figures[160];
  snprintf(figures, sizeof(figures), "%.1f MB (~%.0f records), %.2f MB/s, ~%.0f records/s",
           r.run.sizes.total / 1e6, rates.records, rates.mb_per_s, rates.records_per_s);
  unsigned written = logsWritten(r.run.sizes);
  if (r.verdict.kind == VerdictKind::HostLost) {
    printf("NO VERDICT: %s (after %.1f s: %u logs written, %s)\n", r.verdict.lost[0].text.c_str(),
           seconds, written, figures);
    return;
  }
  if (r.verdict.kind == VerdictKind::NoVerdict) {
    printf("NO VERDICT: no reader verified the logs (after %.1f s: %u logs written, %s)\n", seconds,
           written, figures);
    return;
  }
  std::string verified = r.run.progress.readers.empty() ? "no reader" : verifiedRanges(r.run);
  printf("%s after %.1f s: %u logs written; verified: %s; %s\n", verdictName(r.verdict.kind),
         seconds, written, verified.c_str(), figures);
}

void printReport(const Report& r, bool quiet) {
  if (!quiet) {
    printf("Stopped after %.1f s: %s%s\n", testedSeconds(r.run), stopReasonText(r.run.stop_reason),
           r.run.launcher_raised_marker ? " (StopTest raised by the launcher)" : "");
    printProcesses(r);
    printHosts(r);
  }
  printLines("Retry notices: a reader waited for a log to become whole", r.run.retry_notices,
             r.run.retry_notice_count);
  printLines("First diagnostic lines", r.run.diagnostics, r.run.diagnostic_count);
  printExplanation(r.explanation);
  printInjection(r.injection);
  printNemesis(r.run);
  printFindings("Warnings:", r.verdict.warnings);
  if (r.verdict.kind == VerdictKind::Fail) {
    printFindings("Failed because:", r.verdict.failures);
  }
  printFindings("Hosts lost:", r.verdict.lost);
  if (!quiet) {
    printSystem(r);
  }
  printDirectory(r);
  printVerdict(r);
  fflush(stdout);
}
