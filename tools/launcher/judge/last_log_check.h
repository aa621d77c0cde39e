// Readers verify numbered logs only, so the records in last_log when the test stops (up to a
// megabyte) would never be checked, and a fault in the last second of a run would pass. Once
// every process has ended, the launcher checks them with a reader's checks: magic, offsets,
// digests, and each client's sequence rising by one within the file. No terminator is
// expected; one is accepted as the last 36 bytes (a test stopped between a rollover's
// terminator and its rename leaves it).
#pragma once

#include <cstdint>
#include <string>

struct LastLogCheck {
  bool present = false;
  uint64_t bytes = 0;
  unsigned records = 0;     // data records found sound
  std::string defect;       // the first one, in a reader's words; empty when sound
  bool cut_at_end = false;  // the defect is a record cut short at the end of the file
};

LastLogCheck checkLastLogBytes(const std::string& bytes);

// Reads path; a missing file is no defect (no writer appended).
LastLogCheck checkLastLog(const std::string& path);
