// The command line and the stop protocol, run through the real executable.
#include "control/test_control.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>

#include "support/log_dir_test.h"
#include "support/test_logs.h"

class CommandLineTest : public LogDirTest {};

TEST_F(CommandLineTest, UsageLinesExitOne) {
  std::string out;
  EXPECT_EQ(1, runLogtest({}, &out));
  EXPECT_NE(std::string::npos, out.find("Usage: ")) << out;
  EXPECT_NE(std::string::npos, out.find(" 'W|R|w|r|T' <log_path> [<log_num>]\n")) << out;
  EXPECT_EQ(1, runLogtest({"W"}, &out));
  EXPECT_NE(std::string::npos, out.find("'W|R|w|r|T'")) << out;

  EXPECT_EQ(1, runLogtest({"T", dir}, &out));
  EXPECT_NE(std::string::npos, out.find(" 'T' <log_path> <log_num>\n")) << out;
  EXPECT_EQ(1, runLogtest({"T", dir, "3", "extra"}, &out));
  EXPECT_NE(std::string::npos, out.find(" 'T' <log_path> <log_num>\n")) << out;
}

TEST_F(CommandLineTest, UnknownRoleTouchesNothingAndSaysDone) {
  std::string out;
  EXPECT_EQ(0, runLogtest({"x", dir}, &out));
  EXPECT_EQ("Done!\n", out);
  EXPECT_FALSE(fileExists(dir + "/last_log"));
  EXPECT_FALSE(fileExists(dir + "/StopTest"));
  EXPECT_EQ("0", readFile(dir + "/next_id"));
}

TEST_F(CommandLineTest, WriterRoleIgnoresTheRestOfItsArguments) {
  writeFile(dir + "/StopTest", "");
  std::string out;
  EXPECT_EQ(0, runLogtest({"Wxyz", dir, "extra"}, &out));
  EXPECT_EQ("Done!\n", out);
  EXPECT_EQ("1", readFile(dir + "/next_id"));  // it did start as a writer
}

TEST_F(CommandLineTest, WriterOnMissingDirectoryExitsOneWithoutMarker) {
  std::string missing = dir + "/nowhere";
  std::string out;
  EXPECT_EQ(1, runLogtest({"W", missing}, &out));
  EXPECT_NE(std::string::npos, out.find("open(space_lock_file): No such file or directory")) << out;
  EXPECT_FALSE(fileExists(missing));
}

TEST_F(CommandLineTest, LongDirectoryPathsAreCutNotOverrun) {
  std::string root(3000, 'd');
  initLogPaths(root.c_str());
  EXPECT_EQ(1023u, strlen(stop_test_file));
  EXPECT_EQ(1023u, strlen(last_log));
  EXPECT_EQ(root.c_str(), log_root);
}

TEST_F(CommandLineTest, MarkerStopsTheTestWhateverItIs) {
  initLogPaths(dir.c_str());
  EXPECT_TRUE(testIsRunning());
  mkdir((dir + "/StopTest").c_str(), 0755);
  EXPECT_FALSE(testIsRunning());
  rmdir((dir + "/StopTest").c_str());
  writeFile(dir + "/StopTest", "anything");
  EXPECT_FALSE(testIsRunning());

  // A log_root that is a file: stat fails with ENOTDIR, which is no running test either.
  std::string file = dir + "/plain";
  writeFile(file, "");
  initLogPaths(file.c_str());
  EXPECT_FALSE(testIsRunning());
}

TEST_F(CommandLineTest, StopTestRaisesTheMarkerAndExitsOne) {
  initLogPaths(dir.c_str());
  EXPECT_EXIT(stopTest(), testing::ExitedWithCode(1), "");
  EXPECT_TRUE(fileExists(dir + "/StopTest"));
  EXPECT_FALSE(testIsRunning());
}

// A link planted as the marker stops the test like any marker, and no process follows it to
// create the file it names.
TEST_F(CommandLineTest, SymlinkedMarkerIsAMarkerAndIsNotFollowed) {
  std::string target = dir + "/nologin";
  ASSERT_EQ(0, symlink(target.c_str(), stop_test_file));
  EXPECT_FALSE(testIsRunning());
  EXPECT_EXIT(stopTest(), testing::ExitedWithCode(1), "");
  std::string out;
  EXPECT_EQ(0, runLogtest({"W", dir}, &out));
  EXPECT_EQ("Done!\n", out);
  EXPECT_FALSE(fileExists(target));
}

TEST_F(CommandLineTest, HeldWriterWaitsForADebuggerToReleaseIt) {
  int pid = spawnLogtest({"w", dir}, dir + "/held.out");
  sleep(2);
  EXPECT_EQ("0", readFile(dir + "/next_id"));  // it has not started as a writer
  if (system("command -v gdb >/dev/null 2>&1") != 0) {
    kill(pid, SIGKILL);
    waitExitStatus(pid, 10);
    GTEST_SKIP() << "gdb is not installed";
  }
  std::string release =
      "gdb -p " + std::to_string(pid) + " -batch -ex 'set var debug_hold = 0' >/dev/null 2>&1";
  EXPECT_EQ(0, system(release.c_str()));
  waitFor([&] { return readFile(dir + "/next_id") != "0"; }, 5);
  writeFile(dir + "/StopTest", "");
  int status = waitExitStatus(pid, 30);
  EXPECT_TRUE(status == 0 || status == 1) << status;
  EXPECT_EQ("1", readFile(dir + "/next_id"));
}
