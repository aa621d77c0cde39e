// Appending and rolling the shared log over, on logs pre-filled close to the size limit. What the
// writer leaves is compared with the records encoded here on their own terms.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "control/file_helpers.h"
#include "control/md5_digest.h"
#include "support/log_dir_test.h"
#include "writer/writer.h"

class LogAppendTest : public LogDirTest {
 protected:
  // A last_log of exactly size bytes, made of well-formed records of client 99.
  std::string prefill(uint32_t size) {
    LogBuilder log;
    uint32_t seq = 1;
    while (size - log.bytes.size() > 36 + 10000) {
      log.data(99, seq++, 10000);
    }
    log.data(99, seq, size - log.bytes.size() - 36);
    writeFile(dir + "/last_log", log.bytes);
    return log.bytes;
  }

  // One record of len bytes 'p' through the code under test, as the writer loop makes it.
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

// A log of up to LOG_SIZE_LIMIT bytes takes one more record; a larger one is first closed with
// the rolling writer's terminator and renamed to the log that logInfo names (fewer than 4 bytes
// there stand for 1), and logInfo moves on.
TEST_F(LogAppendTest, OversizedLogIsClosedAndRenamedBeforeTheAppend) {
  const std::string le7("\7\0\0\0", 4), le8("\10\0\0\0", 4), le2("\2\0\0\0", 4);
  const struct {
    uint32_t size;
    std::string log_info, rolled, log_info_after;
  } cases[] = {
      {LOG_SIZE_LIMIT, le7, "", le7},
      {LOG_SIZE_LIMIT + 1, le7, "log.7", le8},
      {LOG_SIZE_LIMIT + 10239 + 36, "ab", "log.1", le2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    seq_n = 0;
    const std::string before = prefill(c.size);
    writeFile(dir + "/logInfo", c.log_info);
    testing::internal::CaptureStdout();
    append(1);  // the shortest record a writer draws
    std::string out = testing::internal::GetCapturedStdout();
    const std::string payload = "p";
    if (c.rolled.empty()) {
      EXPECT_EQ("", out);
      EXPECT_EQ(before + encodeRecord(0xDEADBEAF, c.size, 1, 1, payload), readFile(last_log));
    } else {
      EXPECT_EQ("Log rename " + dir + "/" + c.rolled + " by writer 1\n", out);
      EXPECT_EQ(before + encodeHeader(0, c.size, 1, 0, 0, std::string(16, '\0')),
                readFile(dir + "/" + c.rolled));
      EXPECT_EQ(encodeRecord(0xDEADBEAF, 0, 1, 1, payload), readFile(last_log));
    }
    EXPECT_EQ(c.log_info_after, readFile(space_lock_file));
  }
}

TEST_F(LogAppendTest, ExistingNumberedLogIsNeverOverwritten) {
  prefill(LOG_SIZE_LIMIT + 100);
  writeFile(dir + "/log.1", "older records");
  EXPECT_EXIT((stdoutToStderr(), append(10)), testing::ExitedWithCode(1),
              "^New log file already exists: " + dir + "/log.1\n$");
  EXPECT_EQ("older records", readFile(dir + "/log.1"));
  // last_log keeps its terminator and its name; the test is stopped.
  ParsedLog kept = parseLog(readFile(last_log));
  EXPECT_TRUE(kept.ok() && kept.terminated) << kept.error;
  EXPECT_TRUE(fileExists(stop_test_file));
}

// Both children see the oversized log before either rolls it over: the parent holds logInfo's
// lock until both are queued on it.
TEST_F(LogAppendTest, TwoWritersOnAnOversizedLogMakeOneRollover) {
  prefill(LOG_SIZE_LIMIT + 5000);
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
  EXPECT_FALSE(fileExists(dir + "/log.1"));  // neither got past the lock
  close(hold);
  for (pid_t child : children) {
    EXPECT_EQ(0, waitExitStatus(child, 30));  // each released the lock for the other
  }
  ParsedLog log1 = parseLog(readFile(dir + "/log.1"));
  EXPECT_TRUE(log1.ok() && log1.terminated) << log1.error;
  EXPECT_EQ(LOG_SIZE_LIMIT + 5000 + 36, readFile(dir + "/log.1").size());
  EXPECT_FALSE(fileExists(dir + "/log.2"));
  ParsedLog fresh = parseLog(readFile(last_log));
  ASSERT_TRUE(fresh.ok()) << fresh.error;
  ASSERT_EQ(2u, fresh.records.size());
  EXPECT_NE(fresh.records[0].clientID, fresh.records[1].clientID);
  EXPECT_EQ(std::string("\2\0\0\0", 4), readFile(space_lock_file));
}

TEST_F(LogAppendTest, AppendThatCannotReachTheFileStopsTheTest) {
  // A file that takes the open and refuses the bytes (here: past the size limit of the
  // process): the flush must not pass as success.
  auto appendPastLimit = [this] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {50, 50};
    setrlimit(RLIMIT_FSIZE, &limit);
    append(100);
  };
  EXPECT_EXIT(appendPastLimit(), testing::ExitedWithCode(1),
              "^fflush\\(last_log\\): File too large\n$");
  EXPECT_TRUE(fileExists(stop_test_file));
  // A device in the log's place is refused before anything is written to it.
  unlink(last_log);
  unlink(stop_test_file);
  if (mknod(last_log, S_IFCHR | 0666, makedev(1, 7)) == 0) {
    EXPECT_EXIT(append(100), testing::ExitedWithCode(1),
                "^fopen\\(last_log\\): not a regular file\n$");
  }
}

TEST_F(LogAppendTest, WriterNoticingTheMarkerWhileOpeningExitsOne) {
  writeFile(stop_test_file, "");
  EXPECT_EXIT(append(10), testing::ExitedWithCode(1), "");
  EXPECT_FALSE(fileExists(last_log));
}
