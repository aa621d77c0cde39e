// The check of last_log on logs built byte by byte, sound and damaged in each way it reports.
#include "last_log_check.h"

#include <gtest/gtest.h>

#include "last_look.h"
#include "support/test_logs.h"

namespace {

// Two clients interleaved; client 3 carries on from numbered logs at 40.
std::string soundLog() {
  return LogBuilder().data(3, 40, 100).data(1, 1, 7).data(3, 41, 5000).data(1, 2, 1).bytes;
}

TEST(LastLogCheckTest, SoundRecordsPassWithOrWithoutAClosingTerminator) {
  LastLogCheck check = checkLastLogBytes(soundLog());
  EXPECT_EQ(check.defect, "");
  EXPECT_EQ(check.records, 4u);
  LogBuilder closed{soundLog()};
  EXPECT_EQ(checkLastLogBytes(closed.terminator(3).bytes).defect, "");
  EXPECT_EQ(checkLastLogBytes("").defect, "");
  EXPECT_FALSE(checkLastLog("/nonexistent/last_log").present);
}

TEST(LastLogCheckTest, EachDefectIsReportedInAReadersWords) {
  std::string log = soundLog();
  size_t second = 36 + 100, third = second + 36 + 7;
  auto with = [&](size_t at, char byte) {
    std::string damaged = log;
    damaged[at] = byte;
    return damaged;
  };
  struct Case {
    std::string bytes;
    const char* defect;
    bool cut;
  } cases[] = {
      {with(second, 0), "last_log: Bad header at offset 136 in log size 5252, record = 2", false},
      {with(second + 4, 9),
       "last_log: Unexpected record offset, record = 2, offset = 136, expected offset = 9", false},
      {with(third + 12, 43),  // client 3 skips 41
       "last_log: Unexpected sequence numer for client ID 3, expected: 41 found: 43 at offset "
       "179 in log size 5252, record = 3",
       false},
      {with(third + 36 + 10, 'x'),
       "last_log: Cheksum failed for client ID 3 at offset 179 in log size 5252, record = 3",
       false},
      {log.substr(0, third + 30), "last_log: Unexpected EOF, record = 3, size = 30, offset = 179",
       true},
      {log.substr(0, third + 40),
       "last_log: Unexpected EOF, missing data at offset 179 in log size 219, record = 3", true},
      {LogBuilder{log}.terminator().data(1, 3, 5).bytes,
       "last_log: Bad header at offset 5252 in log size 5329, record = 5", false},
  };
  for (const Case& c : cases) {
    LastLogCheck check = checkLastLogBytes(c.bytes);
    EXPECT_EQ(check.defect, c.defect);
    EXPECT_EQ(check.cut_at_end, c.cut) << c.defect;
  }
  EXPECT_NE(checkLastLogBytes(std::string(1034312, '\0')).defect.find("more than the 1034311"),
            std::string::npos);
}

}  // namespace

namespace {

// Two numbered logs and last_log in a directory, client 3 running on through all three.
struct LookDir {
  std::string dir = makeLogDir();
  LookDir() {
    writeFile(dir + "/log.6", LogBuilder().data(3, 1, 100).data(1, 1, 50).terminator().bytes);
    writeFile(dir + "/log.7", LogBuilder().data(3, 2, 300).terminator(3).bytes);
    writeFile(dir + "/last_log", LogBuilder().data(3, 3, 10).data(1, 2, 10).bytes);
  }
  ~LookDir() { removeTree(dir); }
};

TEST(LastLookTest, SequencesRunOnAcrossLogsIntoLastLog) {
  LookDir d;
  PlaceLook look = lookAtLogs(d.dir);
  EXPECT_EQ(look.defect, "");
  EXPECT_EQ(look.first, 6u);
  EXPECT_EQ(look.last, 7u);
  EXPECT_EQ(look.records, 5u);
  EXPECT_EQ(look.highest, (std::map<unsigned, unsigned>{{1, 2}, {3, 3}}));
  // The agent's answer carries it whole.
  PlaceLook back = lookFromJson(lookToJson(look));
  EXPECT_EQ(back.highest, look.highest);
  EXPECT_EQ(back.last, 7u);

  // A client's first record in last_log skips one: its last numbered log says so.
  writeFile(d.dir + "/last_log", LogBuilder().data(3, 4, 10).bytes);
  EXPECT_EQ(lookAtLogs(d.dir).defect,
            "last_log: Unexpected sequence numer for client ID 3, expected: 3 found: 4 at "
            "offset 0 in log size 46, record = 1");
}

TEST(LastLookTest, LateDamageInANumberedLogIsFound) {
  LookDir d;
  std::string log = readFile(d.dir + "/log.6");
  std::string zeroed = log;
  zeroed.replace(50, 40, 40, '\0');  // a stale page written back over the payload
  writeFile(d.dir + "/log.6", zeroed);
  PlaceLook look = lookAtLogs(d.dir);
  EXPECT_EQ(look.defect_log, 6u);
  EXPECT_EQ(look.defect,
            "log.6: Cheksum failed for client ID 3 at offset 0 in log size 258, "
            "record = 1");
  // A numbered log without its terminator is short, in the reader's words.
  writeFile(d.dir + "/log.6", log.substr(0, log.size() - 36));
  EXPECT_EQ(lookAtLogs(d.dir).defect, "log.6: Small log file, size = 222, min size = 1024000");
}

}  // namespace
