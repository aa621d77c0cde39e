// A FAIL that explains itself: where the first defect a reader reported lies in its log, as the
// dump and the bytes show it, and what probably went wrong when the log makes that clear.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"
#include "run_state.h"

struct Explanation {
  bool found = false;
  std::string process;  // "reader 1"
  std::string line;     // its diagnostic that names the record
  unsigned log = 0;     // the numbered log it was checking
  int record = 0;
  uint32_t offset = 0;
  std::vector<std::string> dump;  // the dump's lines around the record
  std::vector<std::string> hex;   // the header and the first payload bytes at offset
  std::string cause;              // a named likely cause; empty when the log does not say
  std::string note;               // why there is less to show ("log.17 is gone")
};

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

// What the log's bytes say went wrong at offset, given the diagnostic; empty when unclear.
std::string likelyCause(const std::string& log, uint32_t offset, const std::string& line);

// Gathers it all for the first reader that reported a defect: runs the dump (logtest T) on
// the log it was checking, through dir, and reads the log.
Explanation explainFailure(const std::vector<Process>& processes, const RunState& run,
                           const std::string& dir, const std::string& logtest);
