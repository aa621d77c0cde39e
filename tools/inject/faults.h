// The faults the injector makes, and what a sound test makes of each: the one table that the
// injector (names and rates), logtest-run's --inject and --self-test (expectations) and the
// tests read.
#pragma once

enum class Fault {
  None,
  FlockNoop,
  LostWrite,
  ShortWrite,
  BitFlip,
  DupWrite,
  StaleSize,
  FsyncEio,
  CloseEio,
  TornRename,
  SlowRename,
  DropAll,
  DropOne,
  LateWrite,
  HiddenRename
};

struct FaultRow {
  const char* name;
  Fault fault;
  // Default rates make every fault show within seconds: a numbered log holds about 200
  // records, so a rate of 0.01 puts two in each log, and every rollover is a rename.
  double default_rate;
  const char* stands_for;
  bool expect_pass;
  int seconds;  // how long a run of it lasts at most; a FAIL ends sooner
  // FAIL: "process: line" of the first diagnostic, a regex; "" where no process reports the
  // fault and the run fails through what the launcher finds itself.
  const char* first_line;
  const char* cause;  // the likely cause the launcher names for the row, a regex
};

// A row the launcher finds by the writers' accounts against what the logs hold.
inline constexpr const char* LOST_RECORDS =
    "^records_lost: client [0-9]+ \\(writer [0-9]+\\) wrote records up to [0-9,]+; the logs "
    "(end at [0-9,]+|hold none of its records): [0-9,]+ acknowledged records? (is|are) missing$";

// The first diagnostic of a FAIL row is the one the fault leads to first; locks that exclude
// nobody show in many ways: appends land past the size seen, and two rollovers at once give
// one log two terminators, or one name to two logs. Dropped records leave a log that reads as
// sound, a late write damages a log after its readers verified it, and a hidden rename only
// delays one path's readers: these four are the launcher's to find, in the writers' last
// acknowledged records, its last look at the logs and the readers left behind.
inline constexpr FaultRow FAULT_TABLE[] = {
    {"none", Fault::None, 1.0, "the injector itself is transparent", true, 10, "", ""},
    {"flock-noop", Fault::FlockNoop, 1.0,
     "locks that are local only, or a lock manager that lost its state", false, 30,
     "^(reader [0-9]+: (Unexpected (record offset|sequence numer|EOF)|Bad header at offset|"
     "Error: Data found beyond|Small log file)|writer [0-9]+: (New log file already exists|"
     "rename\\(\\)))",
     "a lock that does not exclude|so the lock did not exclude"},
    {"lost-write", Fault::LostWrite, 0.01, "lost write-back", false, 30,
     "^reader [0-9]+: Unexpected sequence numer for client ID",
     "its records in between were lost \\(a lost write\\)$"},
    {"short-write", Fault::ShortWrite, 0.01, "a torn append", false, 30,
     "^reader [0-9]+: (Cheksum failed for client ID|Unexpected EOF, missing data)",
     "were stored; the (next record starts|log ends) inside its payload \\(a torn or short append"},
    {"bit-flip", Fault::BitFlip, 0.01, "data corruption", false, 30,
     "^reader [0-9]+: Cheksum failed for client ID",
     "payload bytes changed after they were written \\(data corruption\\)$"},
    {"dup-write", Fault::DupWrite, 0.01, "a retransmitted append", false, 30,
     "^reader [0-9]+: Unexpected record offset",
     "one append was stored twice \\(a retransmitted write\\)$"},
    {"stale-size", Fault::StaleSize, 0.01, "a stale attribute cache", false, 30,
     "^reader [0-9]+: Unexpected record offset",
     "although the lock excludes: a file size (cached from before the previous append|that lagged "
     "the appends before it) \\(a stale attribute cache\\)$"},
    {"fsync-eio", Fault::FsyncEio, 0.01, "a write-back error at fsync", false, 30,
     "^writer [0-9]+: fsync\\(last_log\\): Input/output error$",
     "^the file system reported an error as the writer made its record durable"},
    {"close-eio", Fault::CloseEio, 0.01, "a write-back error at close", false, 30,
     "^writer [0-9]+: fclose\\(last_log\\): Input/output error$",
     "^the file system reported an error as the writer made its record durable"},
    {"torn-rename", Fault::TornRename, 1.0, "a rename visible to others before its data", false, 30,
     "^reader [0-9]+: Small log file, size = [0-9]+, min size = 1024000$",
     "a rename visible before the renamed file's last bytes$"},
    {"slow-rename", Fault::SlowRename, 1.0, "a slow but well-ordered rename", true, 10, "", ""},
    {"drop-all", Fault::DropAll, 1.0, "a write-back cache lost at a server restart", false, 30,
     LOST_RECORDS, "^the file system acknowledged writes it did not keep"},
    {"drop-one", Fault::DropOne, 1.0, "a client cut off while it keeps returning success", false,
     30, LOST_RECORDS, "^the file system acknowledged writes it did not keep"},
    // Readers have verified the log long before: the last look finds the damage, unless a reader
    // slow to get there meets it first.
    {"late-write", Fault::LateWrite, 1.0, "a stale page written back late", false, 20,
     "^(last_look: log\\.[0-9]+|reader [0-9]+): ",
     "(was verified sound by the readers and is damaged now|zero bytes at offset)"},
    {"hidden-rename", Fault::HiddenRename, 1.0, "a rename visible late through one path", false, 30,
     "^coverage: every reader of .* is left behind", "^new logs reached that path late"},
};
