// The dump role as a process: its line format and the ways a dump ends.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/log_dir_test.h"
#include "support/test_logs.h"

namespace {

class LogDumpTest : public LogDirTest {
 protected:
  // Output of "logtest T <logDir> 1"; the exit status must be 0 whatever the log holds.
  static std::string dumpOne(const std::string& logDir) {
    std::string out;
    EXPECT_EQ(runLogtest({"T", logDir, "1"}, &out), 0);
    return out;
  }
};

TEST_F(LogDumpTest, PrintsOneLinePerHeader) {
  // Longer than a small fixed name buffer would hold.
  std::string logDir = dir + "/" + std::string(150, 'd');
  ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
  writeFile(logDir + "/log.1", LogBuilder().data(1, 1, 100).data(2, 1, 10239).terminator(2).bytes);
  EXPECT_EQ(dumpOne(logDir),
            "Dumping log 1\n"
            "   1 (       0) {DEADBEAF,        0,  1,      1,    100}\n"
            "   2 (     136) {DEADBEAF,      136,  2,      1,  10239}\n"
            "   3 (   10411) {0,    10411,  2,      0,      0}\n"
            "Done!\n");
}

TEST_F(LogDumpTest, EndsOnMissingEmptyAndCutLogs) {
  EXPECT_EQ(dumpOne(dir), "stat(a log): No such file or directory\nDone!\n");
  writeFile(dir + "/log.1", "");
  EXPECT_EQ(dumpOne(dir), "Dumping log 1\nUnexpected EOF, record = 1\nDone!\n");
  writeFile(dir + "/log.1", LogBuilder().data(1, 1, 100).bytes.substr(0, 100));
  EXPECT_EQ(dumpOne(dir),
            "Dumping log 1\n"
            "   1 (       0) {DEADBEAF,        0,  1,      1,    100}\n"
            "Incompete record at end of file.\n"
            "Done!\n");
}

// A header that reads back short although the size promised more: a sysfs file claims 4096
// bytes and holds a few. Mounted over log.1, since a link to it would be refused.
TEST_F(LogDumpTest, ShortHeaderReadEndsTheDump) {
  const std::string shortFile = "/sys/devices/system/cpu/online";
  size_t held = readFile(shortFile).size();
  if (held == 0 || held >= 36) {
    GTEST_SKIP() << shortFile << " does not hold 1 to 35 bytes here";
  }
  const std::string log1 = dir + "/log.1";
  writeFile(log1, "");
  if (mount(shortFile.c_str(), log1.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount a file here";
  }
  std::string out = dumpOne(dir);
  EXPECT_EQ(umount(log1.c_str()), 0);
  EXPECT_EQ(out, "Dumping log 1\nUnexpected EOF, record = 1\nDone!\n");
}

}  // namespace
