#include "output_lines.h"

#include <gtest/gtest.h>

TEST(OutputLinesTest, KnownProgressLines) {
  struct Case {
    const char* line;
    LineKind kind;
    unsigned n;
  } cases[] = {
      {"Done!", LineKind::Done, 0},
      {"Checking log 1", LineKind::CheckingLog, 1},
      {"Checking log 2147483647", LineKind::CheckingLog, 2147483647u},
      {"Log rename /tmp/d/log.7 by writer 3", LineKind::LogRenamed, 7},
      // A directory name may hold blanks, even the words of the line itself.
      {"Log rename /mnt/a by writer 2/log.12 by writer 3", LineKind::LogRenamed, 12},
      {"Log rename d/log.1 by writer 1", LineKind::LogRenamed, 1},
      {"Rechecking for log terminator record, cnt = 1.", LineKind::RetryNotice, 0},
      {"Rechecking for log terminator record, cnt = 4711.", LineKind::RetryNotice, 0},
      {"Partial read, retrying.", LineKind::RetryNotice, 0},
  };
  for (const Case& c : cases) {
    OutputLine out = classifyLine(c.line);
    EXPECT_EQ(out.kind, c.kind) << c.line;
    EXPECT_EQ(out.number, c.n) << c.line;
  }
}

TEST(OutputLinesTest, AnythingElseIsADiagnostic) {
  const char* lines[] = {
      "",
      "Done! ",
      "Done!\r",
      "Checking log ",
      "Checking log 3x",
      "Checking log -1",
      "Checking log 99999999999",
      "Log rename /tmp/d/log.7 by writer",
      "Log rename /tmp/d/last_log by writer 3",
      "Log rename /tmp/d/log. by writer 3",
      "Log rename /tmp/d/log.7 by writer 3 extra",
      "Rechecking for log terminator record, cnt = 1",
      "Rechecking for log terminator record, cnt = .",
      "Partial read retry timeout, record 3",
      "Small log file, size = 1000, min size = 1024000",
      "open(space_lock_file): No such file or directory",
      "Cheksum failed for client ID 3",
      "n1: ssh exited with exit code 1",
      "srun: error: n2: task 0: Killed",
      "pdsh@h: n1: ssh exited with exit code one",
      "Last record written: -1 by writer 3",
      "Last record written: 12 by writer",
      "Last records verified: ",
      "Last records verified: 12 by writer 1,",
      "Last records verified: 12 by writer 1, nothing",
  };
  for (const char* line : lines) {
    EXPECT_EQ(classifyLine(line).kind, LineKind::Diagnostic) << '"' << line << '"';
  }
}

TEST(OutputLinesTest, LinesOfAccount) {
  OutputLine written = classifyLine("Last record written: 4424 by writer 3");
  EXPECT_EQ(written.kind, LineKind::LastWritten);
  EXPECT_EQ(written.number, 4424u);
  EXPECT_EQ(written.writer, 3u);
  OutputLine verified = classifyLine("Last records verified: 4424 by writer 1, 0 by writer 12");
  EXPECT_EQ(verified.kind, LineKind::LastVerified);
  EXPECT_EQ(verified.verified, (std::map<unsigned, unsigned>{{1, 4424}, {12, 0}}));
  OutputLine none = classifyLine("Last records verified: none");
  EXPECT_EQ(none.kind, LineKind::LastVerified);
  EXPECT_TRUE(none.verified.empty());
}
