// The dump role as a process: its line format and the ways a dump ends.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include "support/log_dir_test.h"

namespace {

class LogDumpTest : public LogDirTest {
 protected:
  // Output of "logtest T <dir> 1"; the exit status must be 0 whatever the log holds.
  std::string dumpOne() {
    std::string out;
    EXPECT_EQ(0, runLogtest({"T", dir, "1"}, &out));
    return out;
  }
};

// One line per header, walking the file by the lengths the headers claim, to the end or to
// the first record that does not fit.
TEST_F(LogDumpTest, PrintsOneLinePerHeaderUntilTheLogEnds) {
  EXPECT_EQ("stat(a log): No such file or directory\nDone!\n", dumpOne());
  const std::string first = "   1 (       0) {DEADBEAF,        0,  1,      1,    100}\n";
  const struct {
    std::string log, lines;
  } cases[] = {
      {LogBuilder().data(1, 1, 100).data(2, 1, 10239).terminator(2).bytes,
       first + "   2 (     136) {DEADBEAF,      136,  2,      1,  10239}\n" +
           "   3 (   10411) {0,    10411,  2,      0,      0}\n"},
      {"", "Unexpected EOF, record = 1\n"},
      {LogBuilder().data(1, 1, 100).bytes.substr(0, 100),
       first + "Incompete record at end of file.\n"},
  };
  for (const auto& c : cases) {
    writeFile(dir + "/log.1", c.log);
    EXPECT_EQ("Dumping log 1\n" + c.lines + "Done!\n", dumpOne());
  }
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
  std::string out = dumpOne();
  EXPECT_EQ(0, umount(log1.c_str()));
  EXPECT_EQ("Dumping log 1\nUnexpected EOF, record = 1\nDone!\n", out);
}

}  // namespace
