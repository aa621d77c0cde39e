#include "status_line.h"

#include <cstdio>

Rates ratesFor(uint64_t bytes, double seconds) {
  Rates r;
  r.records = bytes / MEAN_RECORD_BYTES;
  if (seconds > 0) {
    r.mb_per_s = bytes / 1e6 / seconds;
    r.records_per_s = r.records / seconds;
  }
  return r;
}

std::string statusText(const RunState& run, double elapsed_s, unsigned live) {
  // Once stopping, nothing more is appended: the rates keep to the time that was measured.
  bool stopping = run.stop_reason != StopReason::None;
  double since_writers = (stopping ? run.stop_s : elapsed_s) - run.progress.writers_s;
  Rates r = ratesFor(run.sizes.total, since_writers > 0 ? since_writers : 0);
  std::string verified =
      run.progress.readers.empty() ? "-" : std::to_string(slowestReaderVerified(run));
  char text[256];
  snprintf(text, sizeof(text),
           "%5.0f s  logs written %u, verified %s  %.2f MB/s  ~%.0f records/s  %u live%s",
           elapsed_s, logsWritten(run.sizes), verified.c_str(), r.mb_per_s, r.records_per_s, live,
           stopping ? ", stopping" : "");
  return text;
}
