#include "writer_defect.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "control/log_format.h"
#include "last_log_check.h"

// Where the writer ran, for a run of several hosts or paths.
static std::string placeOf(const std::vector<Process>& processes, const std::string& name) {
  for (const Process& p : processes) {
    if (processName(p) == name) {
      return (p.host.empty() ? "" : " on " + p.host) + " through " + p.path;
    }
  }
  return "";
}

// The number logInfo holds now, as this host reads it; -1 when it cannot be read.
static long logInfoNow(const std::string& dir) {
  std::string bytes;
  uint64_t size = 0;
  int32_t number = 0;
  if (!readLogFile(dir + "/" + LOG_INFO_NAME, &bytes, &size) || bytes.size() != sizeof(number)) {
    return -1;
  }
  memcpy(&number, bytes.data(), sizeof(number));
  return number;
}

static std::string seconds(double s) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f s", s);
  return text;
}

// "log.17 had been renamed by writer 1 at 12.3 s, 0.4 s before": what the run saw of the log
// the writer meant to make.
static std::string renamedBefore(const RunState& run, unsigned log, const std::string& writer,
                                 double at_s) {
  auto it = run.progress.renames.find(log);
  std::string name = "log." + std::to_string(log);
  if (it == run.progress.renames.end() || it->second.writer == writer) {
    return name + " was there already";
  }
  return name + " had been renamed by " + it->second.writer + " at " + seconds(it->second.at_s) +
         ", " + seconds(at_s - it->second.at_s) + " before";
}

static std::string staleOrLock(const CauseContext& context, const std::string& stale) {
  if (context.lock_proven) {
    return stale;
  }
  return "one of: " + stale + "; a lock on logInfo that does not exclude across clients";
}

static Explanation existing(const std::vector<Process>& processes, const RunState& run,
                            const OutputNote& note, unsigned log, const std::string& dir,
                            const CauseContext& context) {
  Explanation e;
  e.found = true;
  e.process = note.process;
  e.line = note.line;
  e.log = log;
  e.where = note.process + placeOf(processes, note.process) + ", as it renamed last_log to log." +
            std::to_string(log);
  long now = logInfoNow(dir);
  std::string facts = note.process + " read " + std::to_string(log) +
                      " from logInfo through its client, but " +
                      renamedBefore(run, log, note.process, note.at_s) +
                      (now > 0 ? " (logInfo holds " + std::to_string(now) + " on disk now)" : "");
  e.cause = facts + ": " +
            staleOrLock(context,
                        "its client served an old copy of logInfo (a page or attribute cache "
                        "that another client's write did not invalidate)");
  return e;
}

static Explanation vanished(const std::vector<Process>& processes, const RunState& run,
                            const OutputNote& note, const CauseContext& context) {
  Explanation e;
  e.found = true;
  e.process = note.process;
  e.line = note.line;
  // Its "Log rename log.N" line came just before the rename failed.
  for (const auto& [log, rename] : run.progress.renames) {
    if (rename.writer == note.process && rename.at_s <= note.at_s) {
      e.log = log;
    }
  }
  e.where = note.process + placeOf(processes, note.process) + ", as it renamed last_log" +
            (e.log != 0 ? " to log." + std::to_string(e.log) : "");
  e.cause = note.process +
            " found last_log over the size limit under the lock, yet last_log was gone when it "
            "renamed it: another writer had rolled it over already, and " +
            staleOrLock(context,
                        "its client still showed the old last_log (a size or a name served "
                        "from a cache after another client's rename)");
  return e;
}

Explanation explainWriterDefect(const std::vector<Process>& processes, const RunState& run,
                                const std::string& dir, const CauseContext& context) {
  static const std::regex existing_log("^New log file already exists: .*log\\.([0-9]+)$");
  std::smatch m;
  for (const OutputNote& note : run.diagnostics) {
    if (note.process.rfind("writer ", 0) != 0) {
      continue;
    }
    if (std::regex_match(note.line, m, existing_log)) {
      unsigned log = static_cast<unsigned>(strtoul(m[1].str().c_str(), nullptr, 10));
      return existing(processes, run, note, log, dir, context);
    }
    if (note.line == "rename(): No such file or directory") {
      return vanished(processes, run, note, context);
    }
  }
  return {};
}
