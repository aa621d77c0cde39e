#include "explain.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "control/log_format.h"
#include "inject/faults.h"
#include "last_log_check.h"
#include "log_dir.h"
#include "spawn.h"

static const uint32_t HEADER = sizeof(LogRecordHeader);

// flock-noop makes the writers' flock a no-op; the launcher's preflight never loads the
// injector, so what it proved does not hold for the writers.
static bool locksInjectedAway(const std::string& inject) {
  std::string name = inject.substr(0, inject.find(':'));
  for (const FaultRow& f : FAULT_TABLE) {
    if (f.fault == Fault::FlockNoop) {
      return name == f.name;
    }
  }
  return false;
}

CauseContext causeContextOf(const RunState& run, bool preflight_ran, const std::string& inject) {
  CauseContext context;
  context.lock_proven = preflight_ran && !locksInjectedAway(inject);
  for (const HostRecord& host : run.hosts) {
    for (const PlaceAnswer& place : host.places) {
      // This host's paths the launcher tried itself, and it starts no test unless each held.
      // Elsewhere an agent that could not try the lock only earns a warning.
      if (!host.name.empty() && place.lock != "held") {
        context.lock_proven = false;
      }
    }
  }
  return context;
}

bool locateRecord(const std::string& line, int* record, uint32_t* offset) {
  static const std::regex record_re("record (= )?([0-9]+)");
  static const std::regex offset_re("offset (= )?([0-9]+)");
  static const std::regex small_re("Small log file, size = ([0-9]+)");
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

static bool isTerminator(const LogRecordHeader& h) {
  return h.magic == 0 && h.dataLen == 0;
}

// A header that says it lies where it does: a writer's data record, or a terminator. Payload
// bytes pass for one by chance about once in 2^64.
static bool headerInPlace(const std::string& log, size_t at) {
  LogRecordHeader h;
  if (!readHeader(log, at, &h) || h.offset != at) {
    return false;
  }
  return isTerminator(h) ||
         (h.magic == RECORD_MAGIC && h.dataLen > 0 && h.dataLen <= MAX_PAYLOAD_LEN);
}

// Where each header before until starts, walking the log by the headers' lengths from its
// first byte, as the readers and the dump do.
static std::vector<uint32_t> headerStarts(const std::string& log, size_t until) {
  std::vector<uint32_t> starts;
  LogRecordHeader h;
  for (size_t at = 0; at < until && readHeader(log, at, &h); at += HEADER + h.dataLen) {
    starts.push_back(static_cast<uint32_t>(at));
  }
  return starts;
}

// The header whose record ends exactly at offset, walking from the start; false if the walk
// passes offset by.
static bool headerBefore(const std::string& log, uint32_t offset, uint32_t* before) {
  std::vector<uint32_t> starts = headerStarts(log, offset);
  LogRecordHeader h;
  if (starts.empty() || !readHeader(log, starts.back(), &h) ||
      starts.back() + HEADER + h.dataLen != offset) {
    return false;
  }
  *before = starts.back();
  return true;
}

static uint32_t offsetOfRecord(const std::string& log, int record) {
  std::vector<uint32_t> starts = headerStarts(log, log.size());
  return record >= 1 && static_cast<size_t>(record) <= starts.size() ? starts[record - 1]
                                                                     : UNKNOWN_OFFSET;
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

static std::string num(uint64_t n) {
  return std::to_string(n);
}

// Why two writers acted on one log at once. Under a lock proven to exclude, a lock manager that
// lost its state, or an open of last_log by a cached name that reaches the log already renamed.
static std::string atOnce(const CauseContext& context) {
  if (!context.lock_proven) {
    return ", so the lock did not exclude";
  }
  return "; the lock was seen to exclude, so one of: a lock that stopped excluding (a lock "
         "manager that lost its state), an open of last_log by a stale name that reached the log "
         "already renamed";
}

static std::string twoTerminators(const std::string& log, uint32_t first, uint32_t second,
                                  const CauseContext& context) {
  LogRecordHeader a, b;
  readHeader(log, first, &a);
  readHeader(log, second, &b);
  return "two terminators in a row, from client " + num(a.clientID) + " at offset " + num(first) +
         " and client " + num(b.clientID) + " at offset " + num(second) +
         ": two writers rolled the log over at once" + atOnce(context);
}

// The header at found says the file ended at seen when its writer appended it.
static std::string misplacedCause(const std::string& log, uint32_t found, uint32_t seen,
                                  const CauseContext& context) {
  LogRecordHeader h;
  if (!readHeader(log, found, &h)) {
    return "";
  }
  if (seen < found && log.compare(seen, HEADER + h.dataLen, log, found, HEADER + h.dataLen) == 0) {
    return "the record at offset " + num(found) + " repeats the one at " + num(seen) +
           " byte for byte: one append was stored twice (a retransmitted write)";
  }
  uint32_t before = 0;
  LogRecordHeader previous;
  bool chained = headerBefore(log, found, &before) && readHeader(log, before, &previous);
  if (chained && isTerminator(h) && isTerminator(previous)) {
    return twoTerminators(log, before, found, context);
  }
  if (seen > found) {
    return "the record at offset " + num(found) + " says it starts at " + num(seen) + ", " +
           num(seen - found) +
           " bytes further on: one of: bytes before it lost after a writer saw the file's size, "
           "appends written over one another (a lock that does not exclude)";
  }
  // Appends at once can only see a size the file had: where an earlier record starts, or, on a
  // file system whose size grows while a write is under way, anywhere. A stale size is any
  // size below the true one. Only a lock known to exclude rules the first out.
  bool at_before = chained && seen == before;
  std::string saw = "the writer that appended the record at offset " + num(found) +
                    " saw the file end at " + num(seen) +
                    (at_before ? ", where the record before it starts"
                               : ", " + num(found - seen) + " bytes short of its true end");
  std::string stale = at_before ? "a file size cached from before the previous append"
                                : "a file size that lagged the appends before it";
  if (context.lock_proven) {
    return saw + ", although the lock excludes: " + stale + " (a stale attribute cache)";
  }
  return saw +
         "; nothing proved that the lock excludes, so one of: two appends at once (a lock that "
         "does not exclude), " +
         stale + " (a stale attribute cache)";
}

static std::string sequenceCause(const std::string& log, const std::smatch& m,
                                 const CauseContext& context) {
  uint32_t client = std::stoul(m[1]), expected = std::stoul(m[2]), found = std::stoul(m[3]);
  if (found > expected) {
    return "client ID " + num(client) + " skips from " + num(expected - 1) + " to " + num(found) +
           ": its records in between were lost (a lost write)";
  }
  if (!interleaved(sequenceOf(log, client))) {
    return "";
  }
  std::string two = "client ID " + num(client) +
                    " carries two interleaved sequences: two writers got the same client ID";
  if (context.lock_proven) {
    return two + ", as a next_id read from a stale cache hands out";
  }
  return two +
         ": two writers read next_id at once, as locks that do not exclude allow, or a next_id "
         "read from a stale cache";
}

// The record at offset fails its digest, or claims more bytes than the log holds.
static std::string payloadCause(const std::string& log, uint32_t offset, bool digest_failed) {
  LogRecordHeader h;
  if (!readHeader(log, offset, &h) || h.magic != RECORD_MAGIC) {
    return "";
  }
  size_t whole = HEADER + h.dataLen, end = offset + whole;
  std::string of = " of " + num(whole) + " bytes of the record at " + num(offset) + " were stored";
  for (size_t at = offset + HEADER; at < end && at < log.size(); at++) {
    if (headerInPlace(log, at)) {
      return "only " + num(at - offset) + of +
             "; the next record starts inside its payload (a torn or short append)";
    }
  }
  if (end > log.size()) {
    return "only " + num(log.size() - offset) + of +
           "; the log ends inside its payload (a torn or short append, or a log cut short)";
  }
  if (digest_failed && (end == log.size() || headerInPlace(log, end))) {
    return "the header is in place and in sequence but the payload's digest does not match: "
           "payload bytes changed after they were written (data corruption)";
  }
  return "";
}

// A header without the record magic: a terminator with more after it?
static std::string badHeaderCause(const std::string& log, uint32_t offset,
                                  const CauseContext& context) {
  LogRecordHeader h, next;
  if (!readHeader(log, offset, &h) || !isTerminator(h)) {
    return "";
  }
  uint32_t after = offset + HEADER;
  bool more = readHeader(log, after, &next);
  if (more && isTerminator(next)) {
    return twoTerminators(log, offset, after, context);
  }
  std::string first = more && next.magic == RECORD_MAGIC
                          ? ", a record of client " + num(next.clientID) + " first"
                          : "";
  return "client " + num(h.clientID) + "'s terminator at offset " + num(offset) +
         " ends the log, yet " + num(log.size() - after) + " more bytes follow it" + first +
         ": a writer appended after the log was rolled over" + atOnce(context);
}

static std::string smallLogCause(const std::string& log, const CauseContext& context) {
  if (log.size() >= LOG_SIZE_LIMIT) {
    return "the log has had its name for over five seconds without its terminator: a rename "
           "visible before the renamed file's last bytes";
  }
  return "the log holds " + num(log.size()) + " bytes, short of the " + num(LOG_SIZE_LIMIT) +
         " a rollover waits for: a last_log just begun was renamed, as a second rollover at once "
         "does" +
         atOnce(context);
}

// The line may carry a prefix that names the file ("last_log: Bad header at ...").
std::string likelyCause(const std::string& log, uint32_t offset, const std::string& line,
                        const CauseContext& context) {
  static const std::regex misplaced("offset = ([0-9]+), expected offset = ([0-9]+)");
  static const std::regex sequence("client ID ([0-9]+), expected: (-?[0-9]+) found: (-?[0-9]+)");
  std::smatch m;
  size_t zeros = zerosAt(log, offset);
  if (offset < log.size() && zeros >= HEADER) {
    return num(zeros) + " zero bytes at offset " + num(offset) +
           ": the file's size was visible before its data (or the data never arrived)";
  }
  if (std::regex_search(line, m, misplaced)) {
    return misplacedCause(log, std::stoul(m[1]), std::stoul(m[2]), context);
  }
  if (std::regex_search(line, m, sequence)) {
    return sequenceCause(log, m, context);
  }
  if (line.find("Cheksum failed") != std::string::npos) {
    return payloadCause(log, offset, true);
  }
  if (line.find("Unexpected EOF, missing data") != std::string::npos) {
    return payloadCause(log, offset, false);
  }
  if (line.find("Bad header") != std::string::npos) {
    return badHeaderCause(log, offset, context);
  }
  if (line.find("Small log file") != std::string::npos) {
    return smallLogCause(log, context);
  }
  return "";
}

Explanation explainDefect(const std::string& dir, const std::string& logtest, unsigned log,
                          const std::string& line, const CauseContext& context) {
  Explanation e;
  e.line = line;
  e.log = log;
  if (!locateRecord(line, &e.record, &e.offset)) {
    return e;
  }
  e.found = true;
  std::string name = log == 0 ? LAST_LOG_NAME : NUMBERED_LOG_PREFIX + num(log);
  // Never through a link, never held by a FIFO put in the log's place.
  std::string bytes;
  uint64_t size = 0;
  readLogFile(log == 0 ? dir + "/" + name : numberedLogPath(dir, log), &bytes, &size);
  if (bytes.empty()) {
    e.note = name + " is gone or empty";
    return e;
  }
  if (log != 0) {
    std::string dump;
    runCaptured({logtest, "T", dir, num(log)}, 30, &dump);
    e.dump = dumpAround(dump, e.record, 3);
  }
  if (e.offset == UNKNOWN_OFFSET) {
    e.offset = offsetOfRecord(bytes, e.record);
  }
  if (e.record == LAST_RECORDS) {
    e.hex = hexLines(bytes, bytes.size() >= HEADER ? bytes.size() - HEADER : 0, HEADER);
  } else if (e.offset != UNKNOWN_OFFSET) {
    e.hex = hexLines(bytes, e.offset, HEADER + 32);
  }
  e.cause = likelyCause(bytes, e.offset, line, context);
  return e;
}

// The first line of a reader that names a record, and the defect in one line: the record
// checks say what (the sequence, the digest) a line before they say where
// ("checkRecord() failed at offset 4096 in log size 1024036, record = 5").
struct ReaderDefect {
  std::string process;
  std::string where;  // as the reader printed it
  std::string defect;
};

static bool firstReaderDefect(const RunState& run, ReaderDefect* d) {
  static const std::string record_failed = "checkRecord() failed";
  std::map<std::string, std::string> previous;  // by process
  for (const OutputNote& note : run.diagnostics) {
    int record = 0;
    uint32_t offset = 0;
    if (note.process.rfind("reader ", 0) == 0 && locateRecord(note.line, &record, &offset)) {
      d->process = note.process;
      d->where = d->defect = note.line;
      auto what = previous.find(note.process);
      if (note.line.rfind(record_failed, 0) == 0 && what != previous.end()) {
        d->defect = what->second + note.line.substr(record_failed.size());
      }
      return true;
    }
    previous[note.process] = note.line;
  }
  return false;
}

Explanation explainFailure(const std::vector<Process>& processes, const RunState& run,
                           const std::string& dir, const std::string& logtest,
                           const CauseContext& context) {
  ReaderDefect d;
  if (!firstReaderDefect(run, &d)) {
    return {};
  }
  unsigned log = 0;
  for (const Process& p : processes) {
    if (processName(p) == d.process) {
      log = p.last_checking;
    }
  }
  Explanation e;
  if (log != 0) {
    e = explainDefect(dir, logtest, log, d.defect, context);
  }
  e.process = d.process;
  e.line = d.where;
  return e;
}

// What the last look found, where the look was made: this host's path, or the first path for
// another host's look (the same directory, as this host sees it).
static Explanation explainLook(const PlaceLook& look, const RunState& run, const std::string& dir,
                               const std::string& logtest, const CauseContext& context) {
  std::string name =
      look.defect_log == 0 ? LAST_LOG_NAME : NUMBERED_LOG_PREFIX + num(look.defect_log);
  std::string line =
      look.defect.substr(look.defect.rfind(name + ": ", 0) == 0 ? name.size() + 2 : 0);
  Explanation e =
      explainDefect(look.host.empty() ? look.path : dir, logtest, look.defect_log, line, context);
  e.found = true;
  e.process = "the last look" + (look.host.empty() ? "" : " on " + look.host);
  if (look.defect_log != 0 && look.defect_log <= mostVerified(run)) {
    e.cause = name +
              " was verified sound by the readers and is damaged now: bytes were written into "
              "it after its rename (a stale page or block written back late)";
  }
  return e;
}

// A writer that could not make its record durable says so itself; the cause is the error.
static std::string writerCause(const RunState& run) {
  static const std::regex durable("^(fflush|fsync|fclose)\\(last_log\\): (.+)$");
  std::smatch m;
  for (const OutputNote& note : run.diagnostics) {
    if (note.process.rfind("writer ", 0) == 0 && std::regex_match(note.line, m, durable)) {
      return "the file system reported an error as the writer made its record durable (" +
             m[1].str() + ": " + m[2].str() +
             "): the record may not be stored; a write-back that failed on the server, a full "
             "or read-only file system, or a lost connection";
    }
  }
  return "";
}

Explanation explainFinding(const std::vector<Finding>& failures, const RunState& run,
                           const std::string& dir, const std::string& logtest,
                           const CauseContext& context) {
  Explanation e;
  for (const Finding& f : failures) {
    if (f.code == "last_look" || f.code == "last_log") {
      for (const PlaceLook& look : run.looks) {
        if (!look.defect.empty()) {
          return explainLook(look, run, dir, logtest, context);
        }
      }
    }
    e.line = f.text;
    if (f.code == "diagnostic" && !writerCause(run).empty()) {
      e.cause = writerCause(run);
    } else if (f.code == "records_lost") {
      e.cause =
          "the file system acknowledged writes it did not keep: every record named was written, "
          "synced and closed without an error, yet no reader verified it and no log left holds "
          "it (a write-back cache lost, as at a server restart, or a client cut off that kept "
          "answering success)";
    } else if (f.code == "coverage") {
      e.cause =
          "new logs reached that path late or not at all, and readers elsewhere deleted them "
          "before its readers could see them: one of: renames visible late through that path (a "
          "directory or lookup cache that lags), readers there far slower than elsewhere";
    } else {
      continue;
    }
    e.found = true;
    return e;
  }
  return {};
}
