// Preparing, watching and tidying the log directory shared by every process of a test.
#pragma once

#include <string>
#include <vector>

struct LogDir {
  std::vector<std::string> paths;  // paths[0] is the one the launcher prepares and watches
  bool temporary = false;          // made by the launcher, removed after a PASS
};

// Makes a temporary directory or checks the given ones without touching them: each must be a
// directory it can write, and the first must hold no earlier test's files and no counter a
// writer cannot read, unless --clean is to remove them. Prints why and returns false when the
// run cannot start.
bool checkLogDir(const std::vector<std::string>& dirs, bool clean, LogDir& dir);

// Once every check passed: with --clean removes the earlier test's files and the counters
// (saying what it removed), then creates logInfo (empty) and next_id ("0") where missing.
bool setUpLogDir(const LogDir& dir, bool clean, bool quiet);

// Both, for a run that has no checks of its own in between.
bool prepareLogDir(const std::vector<std::string>& dirs, bool clean, bool quiet, LogDir& dir);

// Names of files an earlier test left in dir: StopTest, last_log, log.N, and a logInfo that
// holds a log number (its next logs would not start at log.1, where readers begin).
std::vector<std::string> findLeftovers(const std::string& dir);

enum class MarkerResult { Raised, AlreadyThere, Failed };

// Creates StopTest exclusively, so the caller learns whether someone else had raised it.
MarkerResult raiseStopMarker(const std::string& dir);
bool stopMarkerExists(const std::string& dir);

// The name writers give log n, "DIR/log.N".
std::string numberedLogPath(const std::string& dir, unsigned n);

// Removes the files of a finished test from dir (StopTest, last_log, log.N, a logInfo holding
// a log number), and logInfo and next_id too when with_id_files; false (and a note) if one
// could not be removed.
bool removeTestFiles(const std::string& dir, bool with_id_files);

// Removes every file a test makes, then the directory; false (and a note) if anything else
// is left in it.
bool removeTestDir(const std::string& dir);
