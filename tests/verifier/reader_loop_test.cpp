// The reader role as a process: following logs as they appear, pruning them, stopping at the
// marker.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/log_dir_test.h"

namespace {

class ReaderLoopTest : public LogDirTest {};

// Readers prune each other's logs, so a reader that looked for its next log only now and then
// would find it verified and deleted by the other. Logs appear 25 a second here; the second
// reader starts half a second after the first, so that no common rhythm hides a slow look. The
// directory's path is too long for a small fixed buffer: readers must name logs as writers do.
TEST_F(ReaderLoopTest, TwoReadersVerifyEveryLogThatAppearsQuicklyAndKeepTheLastTen) {
  const std::string logs = dir + "/" + std::string(150, 'd');
  ASSERT_EQ(0, mkdir(logs.c_str(), 0755));
  auto logName = [&](int n) { return logs + "/log." + std::to_string(n); };
  std::vector<pid_t> readers;
  std::vector<std::string> outputs;
  for (int i = 1; i <= 2; i++) {
    outputs.push_back(dir + "/reader" + std::to_string(i) + ".out");
    readers.push_back(spawnLogtest({"R", logs}, outputs.back()));
    usleep(500000);
  }
  std::string expected;
  for (int n = 1; n <= 100; n++) {
    // Whole before it has its name, as a writer's rename makes it.
    writeFile(logs + "/next",
              LogBuilder().data(1, 2 * n - 1, 100).data(1, 2 * n, 9).terminator().bytes);
    rename((logs + "/next").c_str(), logName(n).c_str());
    expected += "Checking log " + std::to_string(n) + "\n";
    usleep(40000);
  }
  waitFor(
      [&] {
        return readFile(outputs[0]).find("Checking log 100\n") != std::string::npos &&
               readFile(outputs[1]).find("Checking log 100\n") != std::string::npos;
      },
      10);
  // Both readers now wait for log.101 and must notice the marker there.
  writeFile(logs + "/StopTest", "");
  for (size_t i = 0; i < readers.size(); i++) {
    EXPECT_EQ(0, waitExitStatus(readers[i], 30));
    // Its account names the last record it verified of each writer.
    EXPECT_EQ(expected + "Last records verified: 200 by writer 1\nDone!\n", readFile(outputs[i]))
        << outputs[i];
  }
  for (int n = 1; n <= 100; n++) {
    EXPECT_EQ(n > 90, fileExists(logName(n))) << n;
  }
}

}  // namespace
