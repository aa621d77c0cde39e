// What a line of logtest output says. Three progress lines are known; the two notices of a
// reader that waits, for up to five seconds, for a log to become whole (the wait either ends
// well or ends in a diagnostic of its own); and the lines in which an rsh tool reports the exit
// status of its remote command, which the launcher judges from that status; and the line the
// launcher's own remote command line prints as it starts. Any other line is a diagnostic and
// fails the run.
#pragma once

#include <string>

enum class LineKind {
  LogRenamed,
  CheckingLog,
  Done,
  RetryNotice,
  RemoteExit,
  RemoteStarted,
  Diagnostic
};

// What the launcher's remote command line prints just before it execs logtest.
constexpr const char* REMOTE_STARTED_LINE = "logtest-run: remote command started";

struct OutputLine {
  LineKind kind = LineKind::Diagnostic;
  unsigned number = 0;  // LogRenamed, CheckingLog: the log's N; RemoteExit: the exit status
};

OutputLine classifyLine(const std::string& line);
