#include "run_state.h"

#include <algorithm>

unsigned slowestReaderVerified(const RunState& run) {
  const std::vector<ReaderProgress>& readers = run.progress.readers;
  unsigned slowest = readers.empty() ? 0 : verifiedUpTo(readers[0]);
  for (const ReaderProgress& r : readers) {
    slowest = std::min(slowest, verifiedUpTo(r));
  }
  return slowest;
}

unsigned mostVerified(const RunState& run) {
  unsigned most = 0;
  for (const ReaderProgress& r : run.progress.readers) {
    most = std::max(most, verifiedUpTo(r));
  }
  return most;
}

void notePoint(RunState& run, const TimelinePoint& point) {
  if (point.t % run.timeline_step != 0) {
    return;
  }
  run.timeline.push_back(point);
  if (run.timeline.size() < MAX_TIMELINE_POINTS) {
    return;
  }
  // Points are cumulative: dropping one loses nothing the next does not carry.
  size_t kept = 0;
  run.timeline_step *= 2;
  for (const TimelinePoint& p : run.timeline) {
    if (p.t % run.timeline_step == 0) {
      run.timeline[kept++] = p;
    }
  }
  run.timeline.resize(kept);
}

double testedSeconds(const RunState& run) {
  double seconds = measuredSeconds(run) - run.progress.writers_s;
  return seconds > 0 ? seconds : 0;
}

double measuredSeconds(const RunState& run) {
  return run.stop_s > 0 ? run.stop_s : run.end_s;
}

// In StopReason's order: the JSON name, then the words of the summary.
static const char* const STOP_REASONS[][2] = {
    {"none", "not stopped"},
    {"duration", "the time was up"},
    {"interrupted", "interrupted"},
    {"marker", "StopTest appeared"},
    {"process_ended", "a process ended"},
    {"start_failed", "a process could not be started"},
    {"stall", "nothing was appended"},
    {"log_vanished", "a numbered log vanished"},
    {"coverage_lost", "every reader of a path was left behind"},
    {"dir_replaced", "the directory was replaced"},
    {"diagnostic", "a process reported a defect"},
    {"host_lost", "a host was lost"},
};

const char* stopReasonName(StopReason reason) {
  return STOP_REASONS[static_cast<int>(reason)][0];
}

const char* stopReasonText(StopReason reason) {
  return STOP_REASONS[static_cast<int>(reason)][1];
}
