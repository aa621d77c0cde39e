// Appending and rolling the shared log over, on logs pre-filled close to the size limit.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "control/file_helpers.h"
#include "control/md5_digest.h"
#include "control/test_control.h"
#include "support/test_logs.h"
#include "writer/writer_fixture.h"

class LogAppendTest : public WriterTest {
 protected:
  // A last_log of exactly size bytes, made of well-formed records of client 99.
  void prefill(uint32_t size) {
    LogBuilder log;
    uint32_t seq = 1;
    while (size - log.bytes.size() > 36 + 10000) {
      log.data(99, seq++, 10000);
    }
    log.data(99, seq, size - log.bytes.size() - 36);
    ASSERT_EQ(size, log.bytes.size());
    writeFile(dir + "/last_log", log.bytes);
  }

  // One record through the code under test, as the writer loop makes it.
  void append(uint32_t len) {
    static uint8_t payload[10240];
    memset(payload, 'p', len);
    LogRecordHeader header{};
    header.magic = RECORD_MAGIC;
    header.clientID = getMyID();
    header.dataLen = len;
    computeMd5(payload, len, header.md5);
    writeLogEntry(header, payload);
  }
};

TEST_F(LogAppendTest, RecordCarriesOffsetSequenceAndDigest) {
  append(100);
  append(1);
  ParsedLog log = parseLog(readFile(dir + "/last_log"));
  ASSERT_TRUE(log.ok) << log.error;
  ASSERT_EQ(2u, log.records.size());
  EXPECT_EQ(0u, log.records[0].offset);
  EXPECT_EQ(136u, log.records[1].offset);
  EXPECT_EQ(1u, log.records[0].clientID);
  EXPECT_EQ(1u, log.records[0].seqNo);
  EXPECT_EQ(2u, log.records[1].seqNo);
  EXPECT_EQ(1u, log.records[1].dataLen);
  EXPECT_TRUE(log.records[0].digestOk && log.records[1].digestOk);
  EXPECT_FALSE(log.terminated);
}

TEST_F(LogAppendTest, LogAtTheLimitTakesOneMoreRecordThenRollsOver) {
  prefill(LOG_SIZE_LIMIT);
  append(500);
  std::string full = readFile(dir + "/last_log");
  EXPECT_EQ(LOG_SIZE_LIMIT + 536, full.size());
  EXPECT_FALSE(fileExists(dir + "/log.1"));

  testing::internal::CaptureStdout();
  append(700);
  fflush(stdout);
  EXPECT_EQ("Log rename " + dir + "/log.1 by writer 1\n", testing::internal::GetCapturedStdout());

  std::string log1 = readFile(dir + "/log.1");
  ParsedLog parsed = parseLog(log1);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(parsed.terminated);
  EXPECT_EQ(full.size() + 36, log1.size());
  EXPECT_EQ(encodeHeader(0, full.size(), 1, 0, 0, std::string(16, '\0')), log1.substr(full.size()));
  EXPECT_EQ(LOG_SIZE_LIMIT, parsed.records.back().offset);

  ParsedLog fresh = parseLog(readFile(dir + "/last_log"));
  ASSERT_EQ(1u, fresh.records.size());
  EXPECT_EQ(0u, fresh.records[0].offset);
  EXPECT_EQ(2u, fresh.records[0].seqNo);
  EXPECT_EQ(std::string("\2\0\0\0", 4), readFile(dir + "/logInfo"));
}

TEST_F(LogAppendTest, OneByteOverTheLimitRollsOverFirst) {
  prefill(LOG_SIZE_LIMIT + 1);
  writeFile(dir + "/logInfo", std::string("\7\0\0\0", 4));
  testing::internal::CaptureStdout();
  append(10);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(LOG_SIZE_LIMIT + 1 + 36, readFile(dir + "/log.7").size());
  EXPECT_EQ(std::string("\10\0\0\0", 4), readFile(dir + "/logInfo"));
  EXPECT_EQ(46u, readFile(dir + "/last_log").size());
}

TEST_F(LogAppendTest, ShortLogInfoStandsForOne) {
  prefill(LOG_SIZE_LIMIT + 1);
  writeFile(dir + "/logInfo", "ab");
  testing::internal::CaptureStdout();
  append(10);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fileExists(dir + "/log.1"));
  EXPECT_EQ(std::string("\2\0\0\0", 4), readFile(dir + "/logInfo"));
}

TEST_F(LogAppendTest, ExistingNumberedLogIsNeverOverwritten) {
  prefill(LOG_SIZE_LIMIT + 100);
  writeFile(dir + "/log.1", "older records");
  EXPECT_EXIT((stdoutToStderr(), append(10)), testing::ExitedWithCode(1),
              "^New log file already exists: " + dir + "/log.1\n$");
  EXPECT_EQ("older records", readFile(dir + "/log.1"));
  // last_log keeps its terminator and its name; the test is stopped.
  ParsedLog kept = parseLog(readFile(dir + "/last_log"));
  EXPECT_TRUE(kept.ok && kept.terminated) << kept.error;
  EXPECT_TRUE(fileExists(dir + "/StopTest"));
}

TEST_F(LogAppendTest, TwoWritersOnAnOversizedLogMakeOneRollover) {
  prefill(LOG_SIZE_LIMIT + 5000);
  // Both children see the oversized log under the lock before either rolls it over: the
  // parent holds logInfo's lock until both are queued on it.
  int hold = lockFile(space_lock_file, LOCK_EX);
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    if (child == 0) {
      close(hold);  // the lock belongs to the open file, which fork shares
      my_id = 0;
      freopen("/dev/null", "w", stdout);
      append(300);
      _exit(0);
    }
  }
  usleep(200000);
  close(hold);
  for (pid_t child : children) {
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, status);
  }
  ParsedLog log1 = parseLog(readFile(dir + "/log.1"));
  EXPECT_TRUE(log1.ok && log1.terminated) << log1.error;
  EXPECT_EQ(LOG_SIZE_LIMIT + 5000 + 36, readFile(dir + "/log.1").size());
  EXPECT_FALSE(fileExists(dir + "/log.2"));
  ParsedLog fresh = parseLog(readFile(dir + "/last_log"));
  ASSERT_TRUE(fresh.ok) << fresh.error;
  ASSERT_EQ(2u, fresh.records.size());
  EXPECT_NE(fresh.records[0].clientID, fresh.records[1].clientID);
  EXPECT_EQ(std::string("\2\0\0\0", 4), readFile(dir + "/logInfo"));
}

TEST_F(LogAppendTest, AppendThatCannotReachTheFileStopsTheTest) {
  // A device like /dev/full accepts the open and refuses the bytes: the flush must not pass
  // as success.
  if (mknod((dir + "/last_log").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  EXPECT_EXIT(append(100), testing::ExitedWithCode(1),
              "^fflush\\(last_log\\): No space left on device\n$");
  EXPECT_TRUE(fileExists(dir + "/StopTest"));
}

TEST_F(LogAppendTest, WriterNoticingTheMarkerWhileOpeningExitsOne) {
  writeFile(dir + "/StopTest", "");
  EXPECT_EXIT(append(10), testing::ExitedWithCode(1), "");
  EXPECT_FALSE(fileExists(dir + "/last_log"));
}
