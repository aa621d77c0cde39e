// A FAIL that explains itself: where the first defect lies in its log, as the dump and the
// bytes show it, and what probably went wrong, or which few things could have, as the log and
// what the run knows tell it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"
#include "run_state.h"

struct Explanation {
  bool found = false;
  std::string process;  // "reader 1"; empty for a defect found by the launcher itself
  std::string line;     // the diagnostic that names the record
  unsigned log = 0;     // the numbered log the defect is in; 0 for last_log
  int record = 0;
  uint32_t offset = 0;
  std::vector<std::string> dump;  // the dump's lines around the record
  std::vector<std::string> hex;   // the header and the first payload bytes at offset
  std::string cause;              // a named likely cause, or its candidates; empty when unclear
  std::string note;               // why there is less to show ("log.17 is gone")
  std::string where;  // where a defect with no record happened ("writer 3 on h2 through /b, ...")
};

// What the run knows beyond the log's bytes. A stale size and a lock that does not exclude
// both leave a record that says it starts where the record before it does; only a lock known
// to exclude tells them apart.
struct CauseContext {
  bool lock_proven = false;  // the logInfo lock was seen to exclude through every path and host
};

// The lock is proven when the preflight ran and every host's agent found the lock held through
// each of its paths (the launcher checks its own paths before any agent answers). An injected
// fault that makes the writers' locks do nothing voids that: the preflight tried the lock
// without the injector.
CauseContext causeContextOf(const RunState& run, bool preflight_ran, const std::string& inject);

// A record number standing for "the last records of the log", and an offset not known.
constexpr int LAST_RECORDS = -1;
constexpr uint32_t UNKNOWN_OFFSET = 0xffffffff;

// The record and offset a diagnostic names ("record = 12", "at offset 4711", "offset = 4711");
// false if it names no record.
bool locateRecord(const std::string& line, int* record, uint32_t* offset);

// Lines of the dump's output for the records within context of record.
std::vector<std::string> dumpAround(const std::string& dump_output, int record, int context);

// Sixteen bytes a line, "   4711: de ad be af ...", from offset on.
std::vector<std::string> hexLines(const std::string& bytes, uint32_t offset, size_t length);

// What the log's bytes say went wrong at offset, given the diagnostic in a reader's words and
// what the run knows; empty when the log does not say.
std::string likelyCause(const std::string& log, uint32_t offset, const std::string& line,
                        const CauseContext& context);

// Explains one defect of log (0: dir's last_log) that line names in a reader's words, where
// and what ("Cheksum failed for client ID 3 at offset 4096 in log size 1024036, record = 5"):
// the dump around the record (numbered logs only; logtest T reads no last_log), its bytes,
// and the likely cause.
Explanation explainDefect(const std::string& dir, const std::string& logtest, unsigned log,
                          const std::string& line, const CauseContext& context);

// The same for the first reader that named a record in its diagnostics, in the log it was
// checking.
Explanation explainFailure(const std::vector<Process>& processes, const RunState& run,
                           const std::string& dir, const std::string& logtest,
                           const CauseContext& context);

// A FAIL that no reader's diagnostic explains, from the first of the launcher's own findings
// that has a cause to name: damage the last look found (in a log the readers had verified,
// it came after them), acknowledged records missing, a path whose readers were left behind.
Explanation explainFinding(const std::vector<Finding>& failures, const RunState& run,
                           const std::string& dir, const std::string& logtest,
                           const CauseContext& context);
