// What a line of logtest output says. Three progress lines are known, the two lines of account
// a writer and a reader give at their end, and the two notices of a
// reader that waits, for up to five seconds, for a log to become whole (the wait either ends
// well or ends in a diagnostic of its own). Any other line is a diagnostic and fails the run.
#pragma once

#include <map>
#include <string>

enum class LineKind {
  LogRenamed,
  CheckingLog,
  Done,
  LastWritten,
  LastVerified,
  RetryNotice,
  Diagnostic
};

struct OutputLine {
  LineKind kind = LineKind::Diagnostic;
  unsigned number = 0;  // LogRenamed, CheckingLog: the log's N; LastWritten: the record's
  unsigned writer = 0;  // LastWritten: the client ID
  std::map<unsigned, unsigned> verified;  // LastVerified: the last record, by client ID
};

OutputLine classifyLine(const std::string& line);
