// Bytes appended to the log directory so far, from the sizes of its files.
#pragma once

#include <cstdint>
#include <set>
#include <string>

// A numbered log never changes once it exists, so its size is taken once and only the sum is
// kept: a day's run writes hundreds of thousands of logs. Readers delete log.(N-10) after
// verifying log.N, so a log can be gone before it is looked at; it then counts as a log of
// mean size.
struct LogSizes {
  unsigned measured = 0;          // numbered logs whose size was taken
  unsigned highest_measured = 0;  // every log up to it was measured or estimated
  std::set<unsigned> pending;     // announced by a "Log rename" line, not yet seen
  uint64_t numbered_bytes = 0;
  unsigned estimated_logs = 0;  // deleted before they could be measured
  uint64_t last_log = 0;
  uint64_t total = 0;  // never decreases, though a sample can catch a rename half seen
};

// A numbered log measures 1,024,037 to 1,034,311 bytes.
constexpr uint64_t MEAN_LOG_BYTES = 1029174;

// Mean record: 36-byte header and a payload of 1 to 10,239 bytes, drawn uniformly from
// 0..10,239 with 0 made 1.
constexpr double MEAN_RECORD_BYTES = 5156;

void noteRenamed(LogSizes& sizes, unsigned n);

// Measures the announced logs, any later ones that exist, and last_log, through dir.
void sampleSizes(LogSizes& sizes, const std::string& dir);

unsigned logsWritten(const LogSizes& sizes);
