// What a line of logtest output says. Three progress lines are known, and the two notices of a
// reader that waits, for up to five seconds, for a log to become whole (the wait either ends
// well or ends in a diagnostic of its own). Any other line is a diagnostic and fails the run.
#pragma once

#include <string>

enum class LineKind { LogRenamed, CheckingLog, Done, RetryNotice, Diagnostic };

struct OutputLine {
  LineKind kind = LineKind::Diagnostic;
  unsigned number = 0;  // LogRenamed, CheckingLog: the log's N
};

OutputLine classifyLine(const std::string& line);
