// What a line of logtest output says. Only three progress lines are known; any other line is
// a diagnostic and fails the run.
#pragma once

#include <string>

enum class LineKind { LogRenamed, CheckingLog, Done, Diagnostic };

struct OutputLine {
  LineKind kind = LineKind::Diagnostic;
  unsigned log_number = 0;  // the N of "Log rename DIR/log.N by writer ..." or "Checking log N"
};

OutputLine classifyLine(const std::string& line);
