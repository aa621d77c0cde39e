#include "progress.h"

#include <algorithm>
#include <cstdio>

static std::string logName(unsigned n) {
  return "log." + std::to_string(n);
}

static std::string seconds(double s) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f s", s);
  return text;
}

static unsigned highestKnown(const Progress& p) {
  unsigned renamed = p.renames.empty() ? p.highest_dropped : p.renames.rbegin()->first;
  return std::max(renamed, p.highest_seen);
}

unsigned verifiedUpTo(const ReaderProgress& r) {
  if (r.clean_end || r.checking == 0) {
    return r.checking;
  }
  return r.checking - 1;
}

static void noteAppend(Progress& p, double now) {
  if (now - p.appended_s > p.longest_pause_s) {
    p.longest_pause_s = now - p.appended_s;
    p.longest_pause_end_s = now;
  }
  p.appended_s = now;
}

void noteRename(Progress& p, unsigned log, const std::string& writer, double now) {
  p.renames.emplace(log, Rename{writer, now});
  if (p.renames.size() > MAX_KEPT_RENAMES) {
    p.highest_dropped = std::max(p.highest_dropped, p.renames.begin()->first);
    p.renames.erase(p.renames.begin());
  }
  noteAppend(p, now);
}

static void noteBegun(Progress& p, size_t reader, unsigned from, unsigned to, double now) {
  // A reader far behind (or a made-up line) must not fill the table with a million logs.
  unsigned window = static_cast<unsigned>(MAX_KEPT_RENAMES);
  from = std::max(from, to > window ? to - window : 0u);
  for (unsigned log = from + 1; log <= to; log++) {
    std::vector<double>& times = p.begun[log];
    times.resize(p.readers.size(), -1);
    times[reader] = times[reader] < 0 ? now : times[reader];
  }
  while (p.begun.size() > MAX_KEPT_RENAMES) {
    p.begun.erase(p.begun.begin());
  }
}

void noteChecking(Progress& p, size_t reader, unsigned log, double now) {
  ReaderProgress& r = p.readers[reader];
  if (log > r.checking) {
    noteBegun(p, reader, r.checking, log, now);
  }
  r.checking = log;
  r.progress_s = now;
  r.lagging = false;
  r.missing_since_s = -1;
}

void noteBytes(Progress& p, uint64_t bytes, double now) {
  if (bytes > p.bytes) {
    p.bytes = bytes;
    noteAppend(p, now);
  }
}

void noteReaderEnd(Progress& p, size_t reader, bool clean) {
  p.readers[reader].ended = true;
  p.readers[reader].clean_end = clean;
}

unsigned nextLogOf(const ReaderProgress& r) {
  return r.ended ? 0 : r.checking + 1;
}

void noteNextLog(Progress& p, size_t reader, bool exists, double now) {
  ReaderProgress& r = p.readers[reader];
  // Renames are serialised under the lock: once a later log exists, this one was renamed.
  bool overdue = !exists && highestKnown(p) > nextLogOf(r);
  if (!overdue) {
    r.missing_since_s = -1;
  } else if (r.missing_since_s < 0) {
    r.missing_since_s = now;
  }
}

bool stalled(const Progress& p, double now, int timeout) {
  return timeout > 0 && now - p.appended_s >= timeout;
}

// A reader that has announced log N + 10 deletes log N once it has verified it.
static const ReaderProgress* deleterOf(const Progress& p, unsigned log) {
  for (const ReaderProgress& r : p.readers) {
    if (r.checking >= log + LOGS_KEPT) {
      return &r;
    }
  }
  return nullptr;
}

static const ReaderProgress* verifierOf(const Progress& p, unsigned log) {
  for (const ReaderProgress& r : p.readers) {
    if (verifiedUpTo(r) >= log) {
      return &r;
    }
  }
  return nullptr;
}

static unsigned renamedBy(const Progress& p, double at_s);

static std::string renameText(const Progress& p, unsigned log) {
  auto it = p.renames.find(log);
  if (it == p.renames.end()) {
    return logName(log) + (log <= p.highest_dropped ? " (renamed long before)"
                                                    : " (no writer announced its rename)");
  }
  return logName(log) + " (renamed by " + it->second.writer + " at " + seconds(it->second.at_s) +
         ")";
}

static Finding leftBehind(const ReaderProgress& r, const ReaderProgress& deleter, unsigned log) {
  return {"reader_left_behind", r.name + " is left behind: " + logName(log) +
                                    " was deleted by a reader that went on (" + deleter.name +
                                    " is at " + logName(deleter.checking) + ") before " + r.name +
                                    " verified it; " + r.name + " can verify no further log"};
}

static Finding vanished(const Progress& p, const ReaderProgress& r, unsigned log) {
  const ReaderProgress* verifier = verifierOf(p, log);
  std::string text = renameText(p, log) + " is gone";
  text += verifier == nullptr
              ? " and no reader verified it"
              : " before " + r.name + " verified it, and no reader can have deleted it";
  return {"log_vanished", text};
}

std::vector<Finding> judgeMissingLogs(Progress& p, double now) {
  std::vector<Finding> found;
  std::vector<unsigned> reported;
  for (ReaderProgress& r : p.readers) {
    if (r.ended || r.left_behind || r.missing_since_s < 0 ||
        now - r.missing_since_s < MISSING_CONFIRM_S) {
      continue;
    }
    r.left_behind = true;
    unsigned log = nextLogOf(r);
    if (const ReaderProgress* deleter = deleterOf(p, log)) {
      found.push_back(leftBehind(r, *deleter, log));
    } else if (std::find(reported.begin(), reported.end(), log) == reported.end()) {
      reported.push_back(log);
      found.push_back(vanished(p, r, log));
    }
  }
  return found;
}

std::vector<Finding> judgeLagging(Progress& p, double now, int timeout) {
  std::vector<Finding> found;
  unsigned highest = highestKnown(p);
  for (ReaderProgress& r : p.readers) {
    if (timeout == 0 || r.ended || r.left_behind || r.lagging || now - r.progress_s < timeout ||
        highest <= r.checking) {
      continue;
    }
    r.lagging = true;
    std::string at =
        r.checking == 0 ? "has not started on log.1" : "is still at " + logName(r.checking);
    found.push_back({"reader_lagging", r.name + " has verified nothing for " +
                                           std::to_string(timeout) + " s while logs up to " +
                                           logName(highest) + " exist; it " + at});
  }
  return found;
}

std::vector<Finding> judgePauses(const Progress& p) {
  if (p.longest_pause_s < NOTABLE_PAUSE_S) {
    return {};
  }
  return {{"append_pause", "nothing was appended for " + seconds(p.longest_pause_s) + " (from " +
                               seconds(p.longest_pause_end_s - p.longest_pause_s) + " to " +
                               seconds(p.longest_pause_end_s) + ")"}};
}

// The highest log number announced by a rename line by the time at_s; 0 if none.
static unsigned renamedBy(const Progress& p, double at_s) {
  unsigned highest = p.highest_dropped;  // thousands of logs before the stop
  for (const auto& [log, rename] : p.renames) {
    if (rename.at_s <= at_s) {
      highest = log;
    }
  }
  return highest;
}

std::vector<Finding> judgeCoverageLost(Progress& p, double now) {
  std::map<std::string, std::vector<const ReaderProgress*>> places;
  for (const ReaderProgress& r : p.readers) {
    places[r.where].push_back(&r);
  }
  std::vector<Finding> found;
  unsigned required = renamedBy(p, now - COVERAGE_MARGIN_S);
  for (const auto& [where, readers] : places) {
    unsigned first_lost = 0;
    std::string at;
    for (const ReaderProgress* r : readers) {
      if (!r->left_behind) {
        first_lost = 0;
        break;
      }
      first_lost = first_lost == 0 ? nextLogOf(*r) : std::min(first_lost, nextLogOf(*r));
      at += (at.empty() ? "" : ", ") + r->name + " waits for " + logName(nextLogOf(*r));
    }
    if (first_lost == 0 || first_lost > required ||
        std::find(p.places_lost.begin(), p.places_lost.end(), where) != p.places_lost.end()) {
      continue;
    }
    p.places_lost.push_back(where);
    found.push_back({"coverage", "every reader of " + where + " is left behind (" + at +
                                     ", deleted by readers elsewhere): no log from " +
                                     logName(first_lost) +
                                     " on can be verified through it, so the run cannot pass"});
  }
  return found;
}

std::vector<Finding> judgeCoverage(const Progress& p, double stop_s) {
  std::vector<Finding> found;
  unsigned required = renamedBy(p, stop_s - COVERAGE_MARGIN_S);
  std::map<std::string, std::vector<const ReaderProgress*>> places;
  for (const ReaderProgress& r : p.readers) {
    places[r.where].push_back(&r);
  }
  for (const auto& [where, readers] : places) {
    if (std::find(p.places_lost.begin(), p.places_lost.end(), where) != p.places_lost.end()) {
      continue;  // said while the test ran
    }
    unsigned best = 0;
    std::string names;
    for (const ReaderProgress* r : readers) {
      best = std::max(best, verifiedUpTo(*r));
      names += (names.empty() ? "" : ", ") + r->name;
    }
    if (best >= required) {
      continue;
    }
    std::string verified =
        best == 0 ? "verified no log" : "verified logs 1 to " + std::to_string(best);
    std::string logs = best + 1 == required
                           ? logName(required) + ", renamed more than 10 s before the stop, was"
                           : logName(best + 1) + " to " + logName(required) +
                                 ", renamed more than 10 s before the stop, were";
    found.push_back(
        {"coverage", logs + " not verified through " + where + ": " + names + " " + verified});
  }
  return found;
}
