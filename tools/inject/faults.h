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
     ""},
    {"lost-write", Fault::LostWrite, 0.01, "lost write-back", false, 30,
     "^reader [0-9]+: Unexpected sequence numer for client ID", ""},
    {"short-write", Fault::ShortWrite, 0.01, "a torn append", false, 30,
     "^reader [0-9]+: (Cheksum failed for client ID|Unexpected EOF, missing data)", ""},
    {"bit-flip", Fault::BitFlip, 0.01, "data corruption", false, 30,
     "^reader [0-9]+: Cheksum failed for client ID", ""},
    {"dup-write", Fault::DupWrite, 0.01, "a retransmitted append", false, 30,
     "^reader [0-9]+: Unexpected record offset", ""},
    {"stale-size", Fault::StaleSize, 0.01, "a stale attribute cache", false, 30,
     "^reader [0-9]+: Unexpected record offset", ""},
    {"fsync-eio", Fault::FsyncEio, 0.01, "a write-back error at fsync", false, 30,
     "^writer [0-9]+: fsync\\(last_log\\): Input/output error$", ""},
    {"close-eio", Fault::CloseEio, 0.01, "a write-back error at close", false, 30,
     "^writer [0-9]+: fclose\\(last_log\\): Input/output error$", ""},
    {"torn-rename", Fault::TornRename, 1.0, "a rename visible to others before its data", false, 30,
     "^reader [0-9]+: Small log file, size = [0-9]+, min size = 1024000$", ""},
    {"slow-rename", Fault::SlowRename, 1.0, "a slow but well-ordered rename", true, 10, "", ""},
    {"drop-all", Fault::DropAll, 1.0, "a write-back cache lost at a server restart", false, 30, "",
     ""},
    {"drop-one", Fault::DropOne, 1.0, "a client cut off while it keeps returning success", false,
     30, "", ""},
    {"late-write", Fault::LateWrite, 1.0, "a stale page written back late", false, 20, "", ""},
    {"hidden-rename", Fault::HiddenRename, 1.0, "a rename visible late through one path", false, 30,
     "", ""},
};
