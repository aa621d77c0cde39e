// What the launcher has seen of a test's progress, and the rules that judge it while it runs
// and at its end. Every rule is a function of recorded events and the time, so it can be
// tested on made-up event sequences without starting a process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "control/log_format.h"

// Logs renamed this shortly before the stop need not have been verified yet: a reader may wait
// up to the recheck window for a log to become whole, and be a few seconds behind besides.
constexpr double COVERAGE_MARGIN_S = 2 * RETRY_WINDOW_SECONDS;

// A reader's next log must be seen missing this long before the launcher says why: a
// deletion can reach the directory before the line that explains it reaches the launcher.
constexpr double MISSING_CONFIRM_S = 3;

struct Rename {
  std::string writer;  // "writer 3": the process whose line announced it
  double at_s = 0;
};

struct ReaderProgress {
  std::string name;       // "reader 2"
  std::string where;      // host and path: logs must be verified through each such place
  unsigned checking = 0;  // N of its last "Checking log N"; 0 before the first
  double progress_s = 0;  // when that line came (0: the start)
  bool ended = false;
  bool clean_end = false;       // ended with status 0: it finished the log it was checking
  double missing_since_s = -1;  // its next log has been missing since then; -1: it is there
  bool left_behind = false;     // reported once
  bool lagging = false;         // reported, until it makes progress again
};

// A pause in the appends this long is worth a word even when it stays below the stall timeout.
constexpr double NOTABLE_PAUSE_S = 10;

// Renames kept by log number; older ones are only counted, so a long run stays flat. Coverage
// and the words about a vanished log need only the recent ones.
constexpr size_t MAX_KEPT_RENAMES = 4096;

struct Progress {
  std::map<unsigned, Rename> renames;  // the latest, by log number, from the writers' lines
  unsigned highest_dropped = 0;        // the highest log whose rename was let go
  unsigned highest_seen = 0;           // highest numbered log found in the directory
  std::vector<ReaderProgress> readers;
  uint64_t bytes = 0;
  double writers_s = 0;        // when the writers were told to start
  double appended_s = 0;       // when bytes last grew or a log was renamed
  double longest_pause_s = 0;  // the longest time between two appends so far
  double longest_pause_end_s = 0;
  std::vector<std::string> places_lost;  // places whose every reader is left behind, reported
  // When each reader began each log (-1: not yet), for the latest MAX_KEPT_RENAMES logs: with
  // the renames, how far each reader ran behind the writers. Readers' lines come folded into
  // one a second, so every log a reader went past within a second begins at that second.
  std::map<unsigned, std::vector<double>> begun;
};

// A finding about the run: a stable code for the JSON and a sentence for people.
struct Finding {
  std::string code;
  std::string text;
};

// The reader's logs 1 to this were verified.
unsigned verifiedUpTo(const ReaderProgress& r);

void noteRename(Progress& p, unsigned log, const std::string& writer, double now);
void noteChecking(Progress& p, size_t reader, unsigned log, double now);
void noteBytes(Progress& p, uint64_t bytes, double now);
void noteReaderEnd(Progress& p, size_t reader, bool clean);

// The log a live reader looks for next; 0 when it has ended.
unsigned nextLogOf(const ReaderProgress& r);

// Records whether reader's next log exists now; missing only counts once a later log has
// been renamed, since the next log may simply not have been written yet.
void noteNextLog(Progress& p, size_t reader, bool exists, double now);

// Whether nothing has been appended for timeout seconds (timeout 0: never).
bool stalled(const Progress& p, double now, int timeout);

// Readers whose next log has been missing for MISSING_CONFIRM_S: a warning when another
// reader has gone far enough to have deleted it ("reader_left_behind"), a failure when none
// has ("log_vanished"). Each is reported once.
std::vector<Finding> judgeMissingLogs(Progress& p, double now);

// Places (host and path) whose every reader is left behind, once the first log they can no
// longer verify was renamed COVERAGE_MARGIN_S ago: the coverage judged at the end cannot be met,
// so the run fails now rather than at the stop. Each is reported once.
std::vector<Finding> judgeCoverageLost(Progress& p, double now);

// Readers that verified nothing for timeout seconds while later logs exist, once per episode.
std::vector<Finding> judgeLagging(Progress& p, double now, int timeout);

// At the end: the longest pause in the appends, if it was NOTABLE_PAUSE_S or more.
std::vector<Finding> judgePauses(const Progress& p);

// At the end: every log renamed COVERAGE_MARGIN_S before stop_s must have been verified
// through every place that has readers.
std::vector<Finding> judgeCoverage(const Progress& p, double stop_s);
