// The scan of one numbered log: sound logs, each defect with its exact finding, cut logs and
// the wait for a late terminator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/log_dir_test.h"
#include "verifier/verifier.h"

namespace {

class LogScanTest : public LogDirTest {
 protected:
  std::string writeLog(int n, const std::string& bytes) {
    std::string path = dir + "/log." + std::to_string(n);
    writeFile(path, bytes);
    return path;
  }
};
using LogScanDeathTest = LogScanTest;

// Death-test body: the findings go to the file out, to be compared whole.
[[noreturn]] void scanAndExit(const std::string& path, const std::string& out) {
  freopen(out.c_str(), "w", stdout);
  checkLog(path.c_str());
  exit(0);
}

std::string flipByte(std::string bytes, size_t at) {
  bytes[at] ^= 0x40;
  return bytes;
}

TEST_F(LogScanTest, SoundLogsPassAndWritersRunOnAcrossLogs) {
  // The largest client ID costs the reader one table entry, not four billion.
  std::string first = writeLog(
      1, LogBuilder().data(1, 1, 1).data(0xFFFFFFFF, 1, 10239).data(1, 2, 7).terminator().bytes);
  // A header-only record with a good magic between the last data record and the terminator
  // becomes the terminator record, and the real one after it is passed over.
  LogBuilder second = LogBuilder().data(0xFFFFFFFF, 2, 500).data(1, 3, 64);
  second.bytes += encodeHeader(RECORD_MAGIC, second.bytes.size(), 1, 0, 0, std::string(16, '\0'));
  std::string path2 = writeLog(2, second.terminator().bytes);
  testing::internal::CaptureStdout();
  checkLog(first.c_str());
  checkLog(path2.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(LogScanDeathTest, EachDefectStopsTheTestWithItsFinding) {
  const std::string record1 = LogBuilder().data(1, 1, 100).bytes;                    // 136 bytes
  const std::string sound = LogBuilder{record1}.data(1, 2, 100).terminator().bytes;  // 308
  const std::string zeroLen = encodeHeader(RECORD_MAGIC, 136, 1, 0, 0, std::string(16, '\0'));
  struct Case {
    const char* name;
    std::string bytes;
    std::string finding;
  } cases[] = {
      {"payload damage", flipByte(sound, 136 + 36 + 99),
       "Cheksum failed for client ID 1\n"
       "checkRecord() failed at offset 136 in log size 308, record = 2\n"},
      {"repeated number", record1 + encodeRecord(RECORD_MAGIC, 136, 1, 1, "x"),
       "Unexpected sequence numer for client ID 1, expected: 2 found: 1\n"
       "checkRecord() failed at offset 136 in log size 173, record = 2\n"},
      {"skipped number", record1 + encodeRecord(RECORD_MAGIC, 136, 1, 3, "x"),
       "Unexpected sequence numer for client ID 1, expected: 2 found: 3\n"
       "checkRecord() failed at offset 136 in log size 173, record = 2\n"},
      {"client ID 0", encodeRecord(RECORD_MAGIC, 0, 0, 1, "x"),
       "Invalid client ID 0\ncheckRecord() failed at offset 0 in log size 37, record = 1\n"},
      {"bad magic", flipByte(sound, 136 + 3),
       "Bad header at offset 136 in log size 308, record = 2\n"},
      {"offset field", flipByte(sound, 136 + 5),
       "Unexpected record offset, record = 2, offset = 136, expected offset = 16520\n"},
      {"data after the terminator", LogBuilder{record1}.terminator().data(1, 2, 100).bytes,
       "Bad header at offset 136 in log size 308, record = 2\n"},
      {"data after a header-only record", record1 + zeroLen + LogBuilder().data(1, 2, 10).bytes,
       "Error: Data found beyond last record (2), record = 3, size = 46, offset = 172\n"},
      {"stray bytes", record1 + "0123456789",
       "Unexpected EOF, record = 2, size = 10, offset = 136\n"},
      {"payload cut", sound.substr(0, 200),
       "Unexpected EOF, missing data at offset 136 in log size 200, record = 2\n"},
      {"zeros for a terminator", record1 + std::string(36, '\0'),
       "Unexpected record offset, record = 2, offset = 136, expected offset = 0\n"},
      {"record too long",
       encodeHeader(RECORD_MAGIC, 0, 1, 1, 10241, std::string(16, '\0')) + std::string(10241, 'x'),
       "Record too long, dataLen = 10241 at offset 0 in log size 10277, record = 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = writeLog(1, c.bytes);
    EXPECT_EXIT(scanAndExit(path, dir + "/out"), testing::ExitedWithCode(1), "");
    EXPECT_EQ(c.finding, readFile(dir + "/out"));
    EXPECT_TRUE(fileExists(stop_test_file));
    unlink(stop_test_file);
  }
}

// Any cut off the record boundaries (which would start the wait for a terminator) stops the
// scan at once with a diagnosis, never a crash or a pass.
TEST_F(LogScanDeathTest, LogCutAtAnyByteIsRefused) {
  std::string sound = LogBuilder().data(1, 1, 1).data(2, 1, 40).data(1, 2, 9).terminator().bytes;
  for (size_t cut = 1; cut < sound.size(); cut++) {
    if (cut == 37 || cut == 113 || cut == 158) {
      continue;
    }
    std::string path = writeLog(1, sound.substr(0, cut));
    EXPECT_EXIT(scanAndExit(path, dir + "/out"), testing::ExitedWithCode(1), "");
    EXPECT_EQ(0u, readFile(dir + "/out").find("Unexpected EOF")) << cut;
  }
}

TEST_F(LogScanDeathTest, LogWithoutTerminatorIsSmallOnceTheWindowEnds) {
  std::string path = writeLog(1, LogBuilder().data(1, 1, 100).bytes);
  EXPECT_EXIT(scanAndExit(path, dir + "/out"), testing::ExitedWithCode(1), "");
  // After a recheck line for each pause of the window.
  const std::string small = "Small log file, size = 136, min size = 1024000\n";
  std::string out = readFile(dir + "/out");
  EXPECT_EQ(0u, out.find("Rechecking for log terminator record, cnt = 1.\n"));
  EXPECT_EQ(out.size() - small.size(), out.rfind(small));
}

TEST_F(LogScanTest, TerminatorArrivingLateIsAccepted) {
  std::string log = LogBuilder().data(1, 1, 100).terminator().bytes;
  std::string path = writeLog(1, log.substr(0, 136));
  pid_t child = fork();
  if (child == 0) {
    sleep(1);
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    _exit(write(fd, log.data() + 136, 36) == 36 ? 0 : 1);
  }
  testing::internal::CaptureStdout();
  checkLog(path.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, waitExitStatus(child, 10));
  EXPECT_EQ(out.rfind("Rechecking for log terminator record, cnt = 1.\n", 0), 0u);
}

}  // namespace
