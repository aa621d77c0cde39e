// The command line and the stop protocol, run through the real executable.
#include "control/test_control.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

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

// Every entry under root, so a test can tell that a process created nothing anywhere.
static std::vector<std::string> treeOf(const std::string& root) {
  std::vector<std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    entries.push_back(e.path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The longest path that works still names the widest numbered log whole; one byte more (the
// same directory with a trailing slash), or a path whose cut names would land in a parent
// directory, is refused before any file is touched.
TEST_F(CommandLineTest, LogPathTooLongForTheWidestLogNameIsRefused) {
  std::string longest = dir;
  while (longest.size() < MAX_LOG_PATH_LEN) {
    longest += "/" + std::string(std::min<size_t>(200, MAX_LOG_PATH_LEN - longest.size() - 1), 'd');
    ASSERT_EQ(0, mkdir(longest.c_str(), 0755));
  }
  ASSERT_EQ(MAX_LOG_PATH_LEN, longest.size());
  std::string deeper = longest + "/" + std::string(92, 'e');
  ASSERT_EQ(0, mkdir(deeper.c_str(), 0755));
  writeFile(longest + "/logInfo", "");
  writeFile(longest + "/next_id", "0");
  writeFile(longest + "/log.-2147483648", LogBuilder().data(1, 1, 5).terminator().bytes);
  std::string out;
  EXPECT_EQ(0, runLogtest({"T", longest, "-2147483648"}, &out));
  EXPECT_EQ(0u, out.find("Dumping log -2147483648\n")) << out;

  const std::vector<std::string> before = treeOf(dir);
  for (const std::string& path : {longest + "/", deeper}) {
    for (const char* role : {"W", "R", "T"}) {
      SCOPED_TRACE(std::string(role) + " " + std::to_string(path.size()));
      EXPECT_EQ(1, runLogtest({role, path, "1"}, &out));
      EXPECT_EQ("Log path too long: " + std::to_string(path.size()) + " bytes\n", out);
    }
  }
  std::vector<std::string> after = treeOf(dir), created;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(created));
  EXPECT_EQ(std::vector<std::string>{}, created);
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
