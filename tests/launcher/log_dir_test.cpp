#include "log_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "log_sizes.h"

class LogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/launcher_log_dir_test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  void plant(const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
  }
  bool exists(const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; }
  std::string dir;
};

TEST_F(LogDirTest, LeftoversAreTheTestsFilesOnly) {
  plant("logInfo", "");
  plant("next_id", "17");
  plant("notes.txt", "mine");
  plant("log.txt", "mine");
  plant("log.", "mine");
  EXPECT_TRUE(findLeftovers(dir).empty());

  plant("StopTest", "");
  plant("last_log", "x");
  plant("log.12", "x");
  plant("logInfo", std::string("\x0d\0\0\0", 4));  // next log would be log.13
  std::vector<std::string> found = findLeftovers(dir);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"StopTest", "last_log", "log.12", "logInfo"}));
}

TEST_F(LogDirTest, LogInfoThatStillPointsAtLogOneIsNoLeftover) {
  plant("logInfo", std::string("\x01\0\0\0", 4));
  EXPECT_TRUE(findLeftovers(dir).empty());
  plant("logInfo", "ab");  // shorter than 4 bytes stands for log 1
  EXPECT_TRUE(findLeftovers(dir).empty());
}

TEST_F(LogDirTest, SizesCountEveryLogOnceAndNeverShrink) {
  LogSizes sizes;
  plant("log.1", std::string(1000, 'x'));
  plant("last_log", std::string(10, 'x'));
  sampleSizes(sizes, dir);  // log.1 found without its line
  EXPECT_EQ(sizes.total, 1010u);

  noteRenamed(sizes, 1);
  noteRenamed(sizes, 2);  // announced, not renamed yet: waited for
  sampleSizes(sizes, dir);
  EXPECT_EQ(logsWritten(sizes), 2u);
  EXPECT_EQ(sizes.total, 1010u);

  // log.2 renamed and already deleted by a reader, log.3 there: log.2 gets the mean size.
  plant("log.3", std::string(2000, 'x'));
  unlink((dir + "/last_log").c_str());
  sampleSizes(sizes, dir);
  EXPECT_EQ(logsWritten(sizes), 3u);
  EXPECT_EQ(sizes.estimated_logs, 1u);
  EXPECT_EQ(sizes.total, 3000u + MEAN_LOG_BYTES);

  unlink((dir + "/log.1").c_str());  // measured once, counted for good
  sampleSizes(sizes, dir);
  EXPECT_EQ(sizes.total, 3000u + MEAN_LOG_BYTES);
}
