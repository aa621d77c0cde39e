// The explanation of a FAIL on hand-made logs: where the defect lies, and the cause named for
// each way a log goes wrong, with and without a lock known to exclude.
#include "explain.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/test_logs.h"
#include "writer_defect.h"

namespace {

const uint32_t MAGIC = 0xDEADBEAF;
const CauseContext PROVEN{true};
const CauseContext UNPROVEN{false};

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
      {"Cheksum failed for client ID 3 at offset 4096 in log size 9000, record = 5", 5, 4096},
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
  EXPECT_FALSE(locateRecord("Last records verified: 6 by writer 1", &record, &offset));
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

std::string terminatorAt(uint32_t offset, uint32_t client) {
  return encodeHeader(0, offset, client, 0, 0, std::string(16, '\0'));
}

std::string flipped(std::string log, size_t at) {
  log[at] ^= 0x10;
  return log;
}

TEST(ExplainTest, ACauseIsNamedWhereTheLogMakesItClear) {
  std::string first = LogBuilder().data(1, 1, 100).bytes;  // 136 bytes
  std::string record = encodeRecord(MAGIC, 0, 1, 1, makePayload(100, 1));
  std::string cut = record.substr(0, 76);  // 40 of its 100 payload bytes
  std::string interleaved = LogBuilder().data(2, 40, 10).data(2, 1, 10).data(2, 41, 10).bytes;
  std::string sound = LogBuilder().data(1, 1, 100).data(2, 1, 10).bytes;
  const char* misplaced = "Unexpected record offset, record = 2, offset = 136, expected offset = ";
  std::string at_136 = std::string(misplaced) + "0";
  struct Case {
    std::string log;
    uint32_t offset;
    std::string line;
    CauseContext context;
    const char* cause;  // a regex; "" for no cause at all
  } cases[] = {
      // A size from before the previous append: only a lock known to exclude tells it from two
      // appends at once.
      {first + encodeRecord(MAGIC, 0, 2, 1, makePayload(50, 2)), 136, at_136, PROVEN,
       "^the writer that appended the record at offset 136 saw the file end at 0, where the "
       "record before it starts, although the lock excludes: a file size cached from before the "
       "previous append \\(a stale attribute cache\\)$"},
      {first + encodeRecord(MAGIC, 0, 2, 1, makePayload(50, 2)), 136, at_136, UNPROVEN,
       "^the writer that appended the record at offset 136 saw the file end at 0, where the "
       "record before it starts; nothing proved that the lock excludes, so one of: two appends "
       "at once \\(a lock that does not exclude\\), a file size cached from before the previous "
       "append \\(a stale attribute cache\\)$"},
      {first + encodeRecord(MAGIC, 100, 2, 1, makePayload(50, 2)), 136,
       std::string(misplaced) + "100", PROVEN,
       "^the writer that appended the record at offset 136 saw the file end at 100, 36 bytes "
       "short of its true end, although the lock excludes: a file size that lagged the appends "
       "before it \\(a stale attribute cache\\)$"},
      {first + encodeRecord(MAGIC, 500, 2, 1, makePayload(50, 2)), 136,
       std::string(misplaced) + "500", PROVEN,
       "^the record at offset 136 says it starts at 500, 364 bytes further on: one of"},
      {first + first, 136, at_136, PROVEN,
       "^the record at offset 136 repeats the one at 0 byte for byte: one append was stored "
       "twice \\(a retransmitted write\\)$"},
      // Two rollovers at once: the second terminator seen first as misplaced or as following
      // the first.
      {first + terminatorAt(136, 1) + terminatorAt(136, 2), 172,
       "Unexpected record offset, record = 3, offset = 172, expected offset = 136", UNPROVEN,
       "^two terminators in a row, from client 1 at offset 136 and client 2 at offset 172: two "
       "writers rolled the log over at once, so the lock did not exclude$"},
      {first + terminatorAt(136, 1) + terminatorAt(172, 2), 136,
       "Bad header at offset 136 in log size 208, record = 2", PROVEN,
       "^two terminators in a row, .*; the lock was seen to exclude, so one of: a lock that "
       "stopped excluding"},
      {first + terminatorAt(136, 1) + encodeRecord(MAGIC, 100, 2, 1, makePayload(10, 3)), 136,
       "Bad header at offset 136 in log size 218, record = 2", UNPROVEN,
       "^client 1's terminator at offset 136 ends the log, yet 46 more bytes follow it, a record "
       "of client 2 first: a writer appended after the log was rolled over, so the lock did not "
       "exclude$"},
      // A record cut short, the next header inside its payload, or the log's end.
      {cut + encodeRecord(MAGIC, 76, 2, 1, makePayload(200, 4)), 0,
       "Cheksum failed for client ID 1 at offset 0 in log size 312, record = 1", PROVEN,
       "^only 76 of 136 bytes of the record at 0 were stored; the next record starts inside its "
       "payload \\(a torn or short append\\)$"},
      {cut + terminatorAt(76, 2), 0,
       "Unexpected EOF, missing data at offset 0 in log size 112, record = 1", PROVEN,
       "^only 76 of 136 bytes of the record at 0 were stored; the next record starts inside"},
      {cut, 0, "last_log: Unexpected EOF, missing data at offset 0 in log size 76, record = 1",
       PROVEN,
       "^only 76 of 136 bytes of the record at 0 were stored; the log ends inside its payload"},
      // Changed bytes: lengths intact, the next header where the length says, or the end.
      {flipped(sound, 50), 0, "Cheksum failed for client ID 1", PROVEN,
       "^the header is in place and in sequence but the payload's digest does not match: "
       "payload bytes changed after they were written \\(data corruption\\)$"},
      {flipped(first, 50), 0, "Cheksum failed for client ID 1", PROVEN, "\\(data corruption\\)$"},
      {flipped(first, 50) + std::string(40, 'x'), 0, "Cheksum failed for client ID 1", PROVEN, ""},
      {interleaved, 46, "Unexpected sequence numer for client ID 2, expected: 41 found: 1", PROVEN,
       "^client ID 2 carries two interleaved sequences: two writers got the same client ID, as "
       "a next_id read from a stale cache hands out$"},
      {interleaved, 46, "Unexpected sequence numer for client ID 2, expected: 41 found: 1",
       UNPROVEN,
       "two writers got the same client ID: two writers read next_id at once, as locks that do "
       "not exclude allow, or a next_id read from a stale cache$"},
      {interleaved, 46, "Unexpected sequence numer for client ID 2, expected: 5 found: 7", PROVEN,
       "^client ID 2 skips from 4 to 7: its records in between were lost"},
      {first + std::string(200, '\0'), 136, "Bad header at offset 136 in log size 336, record = 2",
       PROVEN, "^200 zero bytes at offset 136: the file's size was visible before its data"},
      {std::string(LOG_SIZE_LIMIT, 'x'), 1024000, "Small log file, size = 1024000, min size = 1",
       PROVEN, "^the log has had its name for over five seconds without its terminator"},
      {first, 136, "Small log file, size = 136, min size = 1024000", UNPROVEN,
       "^the log holds 136 bytes, short of the 1024000 a rollover waits for: .* so the lock did "
       "not exclude$"},
      {first + std::string(40, 'x'), 136, "Bad header at offset 136 in log size 176, record = 2",
       PROVEN, ""},
  };
  for (const Case& c : cases) {
    std::string cause = likelyCause(c.log, c.offset, c.line, c.context);
    EXPECT_TRUE(std::regex_search(cause, std::regex(c.cause))) << c.line << "\n" << cause;
    EXPECT_EQ(cause.empty(), c.cause[0] == '\0') << c.line << "\n" << cause;
  }
}

TEST(ExplainTest, TheLockIsProvenByAPreflightThatSawItExcludeEverywhere) {
  RunState run;
  run.hosts.resize(2);
  run.hosts[0].places = {{"/a", "t", "free"}};  // this host: the launcher tried its paths
  run.hosts[1].name = "h1";
  run.hosts[1].places = {{"/a", "t", "held"}, {"/b", "t", "held"}};
  EXPECT_TRUE(causeContextOf(run, true, "").lock_proven);
  EXPECT_TRUE(causeContextOf(run, true, "stale-size:0.5").lock_proven);
  EXPECT_FALSE(causeContextOf(run, false, "").lock_proven);
  EXPECT_FALSE(causeContextOf(run, true, "flock-noop").lock_proven);
  EXPECT_FALSE(causeContextOf(run, true, "flock-noop:0.5").lock_proven);
  run.hosts[1].places[1].lock = "flock: Operation not supported";
  EXPECT_FALSE(causeContextOf(run, true, "").lock_proven);
}

class ExplainDirTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = makeLogDir(); }
  void TearDown() override { removeTree(dir); }
  std::string dir;
};

// The damaged record is the second; the first reader to speak names no record.
TEST_F(ExplainDirTest, TheFirstReaderThatNamesARecordIsExplainedInItsLog) {
  std::string log = LogBuilder().data(1, 1, 100).data(2, 1, 10).terminator().bytes;
  writeFile(dir + "/log.3", flipped(log, 136 + 40));
  RunState run;
  run.diagnostics = {
      {"reader 1", "Last records verified: none", 1},
      {"reader 2", "Cheksum failed for client ID 2", 1},
      {"reader 2", "checkRecord() failed at offset 136 in log size 218, record = 2", 1}};
  std::vector<Process> processes(2);
  processes[0].role = processes[1].role = Role::Reader;
  processes[0].id = 1;
  processes[1].id = 2;
  processes[1].last_checking = 3;
  Explanation e = explainFailure(processes, run, dir, LOGTEST_BINARY, PROVEN);
  ASSERT_TRUE(e.found);
  EXPECT_EQ(e.process, "reader 2");
  EXPECT_EQ(e.line, "checkRecord() failed at offset 136 in log size 218, record = 2");
  EXPECT_EQ(e.log, 3u);
  EXPECT_EQ(e.offset, 136u);
  ASSERT_FALSE(e.dump.empty());
  EXPECT_EQ(e.dump[0].substr(0, 15), "   1 (       0)");
  EXPECT_EQ(e.hex[0].substr(0, 22), "      136: af be ad de");
  EXPECT_NE(e.cause.find("(data corruption)"), std::string::npos) << e.cause;
}

TEST_F(ExplainDirTest, ADefectOfLastLogIsShownInBytesAlone) {
  writeFile(dir + "/last_log", LogBuilder().data(1, 1, 100).data(1, 2, 10).bytes);
  Explanation e =
      explainDefect(dir, LOGTEST_BINARY, 0, "Partial read retry timeout, record 2", PROVEN);
  ASSERT_TRUE(e.found);
  EXPECT_TRUE(e.dump.empty());
  EXPECT_EQ(e.offset, 136u);
  EXPECT_EQ(e.hex[0].substr(0, 22), "      136: af be ad de");
  EXPECT_EQ(explainDefect(dir, LOGTEST_BINARY, 7,
                          "Bad header at offset 0 in log size 9, record = 1", PROVEN)
                .note,
            "log.7 is gone or empty");
}

// A writer's rollover defect is set against what the run saw: who made the log it meant to
// make and when, and logInfo as it is now.
TEST_F(ExplainDirTest, AWriterThatMetAnExistingLogOrNoLastLogIsExplained) {
  writeFile(dir + "/logInfo", std::string("\x13\0\0\0", 4));
  RunState run;
  noteRename(run.progress, 17, "writer 1", 12.3);
  run.diagnostics = {{"writer 3", "New log file already exists: " + dir + "/log.17", 12.7}};
  std::vector<Process> processes(1);
  processes[0].id = 3;
  processes[0].host = "h2";
  processes[0].path = "/b";
  Explanation e = explainWriterDefect(processes, run, dir, UNPROVEN);
  ASSERT_TRUE(e.found);
  EXPECT_EQ(e.where, "writer 3 on h2 through /b, as it renamed last_log to log.17");
  EXPECT_EQ(e.cause.substr(0, e.cause.find(':')),
            "writer 3 read 17 from logInfo through its client, but log.17 had been renamed by "
            "writer 1 at 12.3 s, 0.4 s before (logInfo holds 19 on disk now)");
  EXPECT_NE(e.cause.find("one of: its client served an old copy of logInfo"), std::string::npos);

  noteRename(run.progress, 18, "writer 3", 13.0);
  run.diagnostics = {{"writer 3", "rename(): No such file or directory", 13.1}};
  e = explainWriterDefect(processes, run, dir, PROVEN);
  EXPECT_EQ(e.where, "writer 3 on h2 through /b, as it renamed last_log to log.18");
  EXPECT_NE(e.cause.find("another writer had rolled it over already, and its client still"),
            std::string::npos)
      << e.cause;
  run.diagnostics = {{"reader 1", "rename(): No such file or directory", 1}};
  EXPECT_FALSE(explainWriterDefect(processes, run, dir, PROVEN).found);
}

}  // namespace
