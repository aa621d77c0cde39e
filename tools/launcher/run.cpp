#include "run.h"

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

const char* stopReasonName(StopReason reason) {
  switch (reason) {
    case StopReason::Duration:
      return "duration";
    case StopReason::Interrupted:
      return "interrupted";
    case StopReason::Marker:
      return "marker";
    case StopReason::ProcessEnded:
      return "process_ended";
    case StopReason::StartFailed:
      return "start_failed";
    case StopReason::None:
      break;
  }
  return "none";
}
