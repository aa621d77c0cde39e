// Readers verify numbered logs only, so the records in last_log when the test stops (up to a
// megabyte) would never be checked, and a fault in the last second of a run would pass. Once
// every process has ended, the launcher checks them with a reader's checks: magic, offsets,
// digests, and each client's sequence rising by one within the file. No terminator is
// expected; one is accepted as the last 36 bytes (a test stopped between a rollover's
// terminator and its rename leaves it).
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct LastLogCheck {
  bool present = false;
  uint64_t bytes = 0;
  unsigned records = 0;     // data records found sound
  std::string defect;       // the first one, in a reader's words; empty when sound
  bool cut_at_end = false;  // the defect is a record cut short at the end of the file
  bool terminated = false;  // it ends with a terminator
};

// The last record seen of each client ID, carried from one log to the next in their order, so
// that a client's first record in a log must follow its last one in the log before.
using Sequences = std::map<uint32_t, uint32_t>;

// Walks one log's bytes as a reader would; name starts the defect ("log.17: ..."). A numbered
// log must end with its terminator. Clients not in seqs may start at any number; seqs comes
// back with the last record of each client up to the first defect.
LastLogCheck checkLogBytes(const std::string& bytes, const std::string& name, bool numbered,
                           Sequences& seqs);

// last_log on its own: every client may start at any number.
LastLogCheck checkLastLogBytes(const std::string& bytes);

// The bytes of path, at most one byte more than any sound log holds, and the file's size;
// false if it cannot be opened.
bool readLogFile(const std::string& path, std::string* bytes, uint64_t* size);

// Reads path; a missing file is no defect (no writer appended).
LastLogCheck checkLastLog(const std::string& path);
