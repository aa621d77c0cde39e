// The figures of a run, for the status line while it runs and for the summary after it.
#pragma once

#include <string>

#include "run_state.h"

struct Rates {
  double mb_per_s = 0;       // 10^6 bytes per second
  double records = 0;        // estimated from bytes
  double records_per_s = 0;  // estimated from bytes
};

Rates ratesFor(uint64_t bytes, double seconds);

// "   12 s  logs written 5, verified 4  4.71 MB/s  ~913 records/s  6 live[, stopping]"
std::string statusText(const RunState& run, double elapsed_s, unsigned live);
