#include "run.h"

bool hasReaders(const std::vector<Process>& processes) {
  for (const Process& p : processes) {
    if (p.role == Role::Reader) {
      return true;
    }
  }
  return false;
}

unsigned slowestReaderVerified(const std::vector<Process>& processes) {
  bool any = false;
  unsigned slowest = 0;
  for (const Process& p : processes) {
    if (p.role == Role::Reader) {
      unsigned n = logsVerified(p);
      slowest = any && slowest < n ? slowest : n;
      any = true;
    }
  }
  return slowest;
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
};

const char* stopReasonName(StopReason reason) {
  return STOP_REASONS[static_cast<int>(reason)][0];
}

const char* stopReasonText(StopReason reason) {
  return STOP_REASONS[static_cast<int>(reason)][1];
}
