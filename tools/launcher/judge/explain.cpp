#include "explain.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "control/log_format.h"
#include "file_text.h"
#include "log_dir.h"
#include "spawn.h"

static const size_t HEADER = sizeof(LogRecordHeader);

bool locateRecord(const std::string& line, int* record, uint32_t* offset) {
  static const std::regex record_re("record (= )?([0-9]+)");
  static const std::regex offset_re("offset (= )?([0-9]+)");
  static const std::regex small_re("^Small log file, size = ([0-9]+)");
  std::smatch m;
  if (std::regex_search(line, m, small_re)) {
    *record = LAST_RECORDS;  // the end of the log is the place
    *offset = std::stoul(m[1]);
    return true;
  }
  if (!std::regex_search(line, m, record_re)) {
    return false;
  }
  *record = std::stoi(m[2]);
  *offset = std::regex_search(line, m, offset_re) ? std::stoul(m[2]) : UNKNOWN_OFFSET;
  return true;
}

std::vector<std::string> dumpAround(const std::string& dump_output, int record, int context) {
  std::vector<std::string> lines;
  std::istringstream in(dump_output);
  for (std::string line; std::getline(in, line);) {
    int n = 0;
    // Header lines start with the record number; the dump's closing remarks are kept too.
    bool header = sscanf(line.c_str(), "%d (", &n) == 1;
    bool near = record == LAST_RECORDS || (n >= record - context && n <= record + context);
    bool remark = !header && line.rfind("Dumping log", 0) != 0 && line != "Done!";
    if ((header && near) || remark) {
      lines.push_back(line);
    }
  }
  // For the end of the log, its last records.
  if (record == LAST_RECORDS) {
    size_t keep = 2 * context + 1;
    lines.erase(lines.begin(), lines.size() > keep ? lines.end() - keep : lines.begin());
  }
  return lines;
}

// The offset of a record as the dump shows it: "  12 (   45678) {...}".
static uint32_t offsetInDump(const std::vector<std::string>& dump, int record) {
  for (const std::string& line : dump) {
    int n = 0;
    unsigned offset = 0;
    if (sscanf(line.c_str(), "%d (%u)", &n, &offset) == 2 && n == record) {
      return offset;
    }
  }
  return UNKNOWN_OFFSET;
}

std::vector<std::string> hexLines(const std::string& bytes, uint32_t offset, size_t length) {
  std::vector<std::string> lines;
  for (size_t at = offset; at < bytes.size() && at < offset + length; at += 16) {
    char text[16 * 3 + 16];
    int n = snprintf(text, sizeof(text), "%9zu:", at);
    for (size_t i = at; i < at + 16 && i < bytes.size() && i < offset + length; i++) {
      n += snprintf(text + n, sizeof(text) - n, " %02x", static_cast<uint8_t>(bytes[i]));
    }
    lines.push_back(text);
  }
  return lines;
}

static bool readHeader(const std::string& log, size_t at, LogRecordHeader* h) {
  if (at + HEADER > log.size()) {
    return false;
  }
  memcpy(h, log.data() + at, HEADER);
  return true;
}

// Sequence numbers of one client in file order, walking the log by its headers' lengths.
static std::vector<uint32_t> sequenceOf(const std::string& log, uint32_t client) {
  std::vector<uint32_t> seqs;
  LogRecordHeader h;
  for (size_t at = 0; readHeader(log, at, &h) && h.magic == RECORD_MAGIC && h.dataLen > 0;
       at += HEADER + h.dataLen) {
    if (h.clientID == client) {
      seqs.push_back(h.seqNo);
    }
  }
  return seqs;
}

// Two or more runs of consecutive numbers woven together: 40, 1, 41, 2, ...
static bool interleaved(const std::vector<uint32_t>& seqs) {
  std::vector<uint32_t> runs;  // the last number of each run
  for (uint32_t s : seqs) {
    bool extended = false;
    for (uint32_t& last : runs) {
      if (s == last + 1) {
        last = s;
        extended = true;
        break;
      }
    }
    if (!extended) {
      runs.push_back(s);
    }
  }
  return runs.size() > 1;
}

static size_t zerosAt(const std::string& log, uint32_t offset) {
  size_t n = 0;
  while (offset + n < log.size() && log[offset + n] == '\0') {
    n++;
  }
  return n;
}

static std::string misplacedCause(const std::string& log, uint32_t offset, uint32_t expected) {
  LogRecordHeader h;
  if (expected < offset && readHeader(log, offset, &h) &&
      log.compare(expected, HEADER + h.dataLen, log, offset, HEADER + h.dataLen) == 0) {
    return "the record at offset " + std::to_string(offset) + " repeats the one at " +
           std::to_string(expected) +
           " byte for byte: one append was stored twice (a retransmitted write)";
  }
  if (expected < offset) {
    return "records overlap: the record at offset " + std::to_string(offset) +
           " was written by a writer that saw the file end at " + std::to_string(expected) +
           ", where another record starts: two appends ran at once, so the lock did not exclude";
  }
  return "";
}

static std::string sequenceCause(const std::string& log, const std::smatch& m) {
  uint32_t client = std::stoul(m[1]), expected = std::stoul(m[2]), found = std::stoul(m[3]);
  if (found > expected) {
    return "client ID " + std::to_string(client) + " skips from " + std::to_string(expected - 1) +
           " to " + std::to_string(found) + ": its records in between were lost (a lost write)";
  }
  if (interleaved(sequenceOf(log, client))) {
    return "client ID " + std::to_string(client) +
           " carries two interleaved sequences: two writers got the same client ID, as a "
           "next_id read from a stale cache hands out";
  }
  return "";
}

std::string likelyCause(const std::string& log, uint32_t offset, const std::string& line) {
  static const std::regex misplaced("offset = ([0-9]+), expected offset = ([0-9]+)");
  static const std::regex sequence("client ID ([0-9]+), expected: (-?[0-9]+) found: (-?[0-9]+)");
  std::smatch m;
  size_t zeros = zerosAt(log, offset);
  if (offset < log.size() && zeros >= HEADER) {
    return std::to_string(zeros) + " zero bytes at offset " + std::to_string(offset) +
           ": the file's size was visible before its data (or the data never arrived)";
  }
  if (std::regex_search(line, m, misplaced)) {
    return misplacedCause(log, std::stoul(m[1]), std::stoul(m[2]));
  }
  if (std::regex_search(line, m, sequence)) {
    return sequenceCause(log, m);
  }
  if (line.rfind("Cheksum failed", 0) == 0) {
    return "the header is in place and in sequence but the payload's digest does not match: "
           "payload bytes changed after they were written (data corruption)";
  }
  if (line.rfind("Small log file", 0) == 0) {
    return "the log has had its name for over five seconds without its terminator: a rename "
           "visible before the renamed file's last bytes";
  }
  return "";
}

// The first reader's diagnostics, in order.
static std::vector<std::string> firstReaderLines(const RunState& run, std::string* process) {
  std::vector<std::string> lines;
  for (const OutputNote& note : run.diagnostics) {
    if (process->empty() && note.process.rfind("reader ", 0) == 0) {
      *process = note.process;
    }
    if (!process->empty() && note.process == *process) {
      lines.push_back(note.line);
    }
  }
  return lines;
}

Explanation explainFailure(const std::vector<Process>& processes, const RunState& run,
                           const std::string& dir, const std::string& logtest) {
  Explanation e;
  std::vector<std::string> lines = firstReaderLines(run, &e.process);
  for (const std::string& line : lines) {
    if (locateRecord(line, &e.record, &e.offset)) {
      e.line = line;
      break;
    }
  }
  for (const Process& p : processes) {
    if (processName(p) == e.process) {
      e.log = p.last_checking;
    }
  }
  if (e.line.empty() || e.log == 0) {
    return e;
  }
  e.found = true;
  std::string path = numberedLogPath(dir, e.log);
  std::string log = readFileText(path);
  if (log.empty()) {
    e.note = "log." + std::to_string(e.log) + " is gone or empty";
    return e;
  }
  std::string dump;
  runCaptured({logtest, "T", dir, std::to_string(e.log)}, 30, &dump);
  e.dump = dumpAround(dump, e.record, 3);
  if (e.offset == UNKNOWN_OFFSET) {
    e.offset = offsetInDump(e.dump, e.record);
  }
  if (e.record == LAST_RECORDS) {
    e.hex = hexLines(log, log.size() >= HEADER ? log.size() - HEADER : 0, HEADER);
  } else if (e.offset != UNKNOWN_OFFSET) {
    e.hex = hexLines(log, e.offset, HEADER + 32);
  }
  // The sequence and digest lines come before the line that says where: judge by the first.
  e.cause = likelyCause(log, e.offset, lines.front());
  if (e.cause.empty()) {
    e.cause = likelyCause(log, e.offset, e.line);
  }
  return e;
}
