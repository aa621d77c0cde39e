// The explanation of a FAIL on hand-made logs, one for each cause it names.
#include "explain.h"

#include <gtest/gtest.h>

#include "support/test_logs.h"

namespace {

const uint32_t MAGIC = 0xDEADBEAF;

TEST(ExplainTest, TheRecordAndOffsetADiagnosticNames) {
  struct Case {
    const char* line;
    int record;
    uint32_t offset;
  } cases[] = {
      {"Bad header at offset 4711 in log size 9000, record = 12", 12, 4711},
      {"Unexpected record offset, record = 3, offset = 136, expected offset = 0", 3, 136},
      {"Unexpected EOF, record = 7, size = 20, offset = 800", 7, 800},
      {"Partial read retry timeout, record 5", 5, UNKNOWN_OFFSET},
      {"Small log file, size = 1000, min size = 1024000", LAST_RECORDS, 1000},
  };
  for (const Case& c : cases) {
    int record = 0;
    uint32_t offset = 0;
    ASSERT_TRUE(locateRecord(c.line, &record, &offset)) << c.line;
    EXPECT_EQ(record, c.record) << c.line;
    EXPECT_EQ(offset, c.offset) << c.line;
  }
  int record;
  uint32_t offset;
  EXPECT_FALSE(locateRecord("Cheksum failed for client ID 3", &record, &offset));
}

TEST(ExplainTest, DumpLinesAroundTheRecordAndItsBytes) {
  std::string dump = "Dumping log 2\n";
  for (int n = 1; n <= 9; n++) {
    dump += std::string("   ") + std::to_string(n) + " (     100) {DEADBEAF, ...}\n";
  }
  dump += "Incompete record at end of file.\nDone!\n";
  std::vector<std::string> around = dumpAround(dump, 5, 1);
  ASSERT_EQ(around.size(), 4u);
  EXPECT_EQ(around[0].substr(0, 5), "   4 ");
  EXPECT_EQ(around[3], "Incompete record at end of file.");
  EXPECT_EQ(dumpAround(dump, LAST_RECORDS, 1).size(), 3u);
  EXPECT_EQ(hexLines(std::string("\x01\xff", 2) + std::string(20, 'a'), 1, 17),
            (std::vector<std::string>{"        1: ff 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61",
                                      "       17: 61"}));
}

TEST(ExplainTest, ACauseIsNamedWhereTheLogMakesItClear) {
  std::string first = encodeRecord(MAGIC, 0, 1, 1, makePayload(100, 1));  // 136 bytes
  std::string second = encodeRecord(MAGIC, 0, 2, 1, makePayload(50, 2));  // saw the end at 0
  std::string interleaved = LogBuilder().data(2, 40, 10).data(2, 1, 10).data(2, 41, 10).bytes;
  struct Case {
    std::string log;
    uint32_t offset;
    const char* line;
    const char* cause;  // the start of it; "" for none
  } cases[] = {
      {first + second, 136,
       "Unexpected record offset, record = 2, offset = 136, expected offset = 0",
       "records overlap: the record at offset 136 was written by a writer that saw the file end "
       "at 0"},
      {first + first, 136,
       "Unexpected record offset, record = 2, offset = 136, expected offset = 0",
       "the record at offset 136 repeats the one at 0 byte for byte"},
      {first + std::string(200, '\0'), 136, "Bad header at offset 136 in log size 336, record = 2",
       "200 zero bytes at offset 136: the file's size was visible before its data"},
      {interleaved, 46, "Unexpected sequence numer for client ID 2, expected: 41 found: 1",
       "client ID 2 carries two interleaved sequences: two writers got the same client ID"},
      {interleaved, 46, "Unexpected sequence numer for client ID 2, expected: 5 found: 7",
       "client ID 2 skips from 4 to 7: its records in between were lost"},
      {first, 0, "Cheksum failed for client ID 1", "the header is in place and in sequence"},
      {first, 136, "Small log file, size = 136, min size = 1024000",
       "the log has had its name for over five seconds without its terminator"},
      {first + std::string(40, 'x'), 136, "Bad header at offset 136 in log size 176, record = 2",
       ""},
  };
  for (const Case& c : cases) {
    std::string cause = likelyCause(c.log, c.offset, c.line);
    EXPECT_EQ(cause.substr(0, strlen(c.cause)), c.cause) << c.line;
    EXPECT_EQ(cause.empty(), c.cause[0] == '\0') << c.line;
  }
}

}  // namespace
