// The command line and the stop protocol, run through the real executable.
#include "control/test_control.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "support/log_dir_test.h"

class CommandLineTest : public LogDirTest {};

// Nothing is created, the marker least of all: a mistyped command must not stop a running test.
// A directory without logInfo and next_id gets neither: it is the wrong one.
TEST_F(CommandLineTest, BadCommandLinesAndUnknownRolesTouchNothing) {
  const std::string usage = std::string("Usage: ") + LOGTEST_BINARY;
  ASSERT_EQ(0, mkdir((dir + "/unprepared").c_str(), 0755));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{}, 1, usage + " 'W|R|w|r|T' <log_path> [<log_num>]\n"},
      {{"W"}, 1, usage + " 'W|R|w|r|T' <log_path> [<log_num>]\n"},
      {{"T", dir}, 1, usage + " 'T' <log_path> <log_num>\n"},
      {{"T", dir, "3", "extra"}, 1, usage + " 'T' <log_path> <log_num>\n"},
      {{"x", dir}, 0, "Done!\n"},
      {{"W", dir + "/unprepared"}, 1, "open(space_lock_file): No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    std::string out;
    EXPECT_EQ(c.status, runLogtest(c.args, &out));
    EXPECT_EQ(c.out, out);
  }
  EXPECT_EQ("0", readFile(dir + "/next_id"));
  EXPECT_FALSE(fileExists(dir + "/last_log"));
  EXPECT_FALSE(fileExists(dir + "/unprepared/next_id"));  // never created
  EXPECT_FALSE(fileExists(stop_test_file));
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
  writeFile(longest + "/log.-2147483648", LogBuilder().data(1, 1, 5).terminator().bytes);
  std::string out;
  EXPECT_EQ(0, runLogtest({"T", longest, "-2147483648"}, &out));
  EXPECT_EQ(0u, out.find("Dumping log -2147483648\n   1 (       0) {DEADBEAF,")) << out;

  auto entries = [&] {
    return std::distance(std::filesystem::recursive_directory_iterator(dir), {});
  };
  const auto before = entries();
  for (const std::string& path : {longest + "/", deeper}) {
    for (const char* role : {"W", "R", "T"}) {
      SCOPED_TRACE(std::string(role) + " " + std::to_string(path.size()));
      EXPECT_EQ(1, runLogtest({role, path, "1"}, &out));
      EXPECT_EQ("Log path too long: " + std::to_string(path.size()) + " bytes\n", out);
    }
  }
  EXPECT_EQ(before, entries());  // not even a marker, whose name would be cut too

  // A directory that is not there, or not a directory, ends a reader or writer at once.
  for (const char* role : {"W", "R"}) {
    EXPECT_EQ(1, runLogtest({role, dir + "/missing"}, &out));
    EXPECT_EQ("Log directory " + dir + "/missing: No such file or directory\n", out);
    EXPECT_EQ(1, runLogtest({role, dir + "/next_id"}, &out));
    EXPECT_EQ("Log directory " + dir + "/next_id: Not a directory\n", out);
  }
  EXPECT_FALSE(fileExists(dir + "/StopTest"));
}

// Only the marker's existence counts, whatever it is. A link planted under its name is a marker
// too, and no process follows it to create the file it names.
TEST_F(CommandLineTest, AnyEntryNamedStopTestStopsTheTest) {
  EXPECT_TRUE(testIsRunning());
  ASSERT_EQ(0, mkdir(stop_test_file, 0755));
  EXPECT_FALSE(testIsRunning());
  rmdir(stop_test_file);
  std::string target = dir + "/nologin";
  ASSERT_EQ(0, symlink(target.c_str(), stop_test_file));
  EXPECT_FALSE(testIsRunning());
  EXPECT_EXIT(stopTest(), testing::ExitedWithCode(1), "");
  // The role is the first character; further arguments are ignored.
  std::string out;
  EXPECT_EQ(0, runLogtest({"Wxyz", dir, "extra"}, &out));
  EXPECT_EQ("Last record written: 0 by writer 1\nDone!\n", out);
  EXPECT_EQ("1", readFile(dir + "/next_id"));  // it did start as a writer
  EXPECT_FALSE(fileExists(target));

  // A log_root that is a file: lstat fails with ENOTDIR, which is no running test either.
  std::string file = dir + "/next_id";
  initLogPaths(file.c_str());
  EXPECT_FALSE(testIsRunning());
}

TEST_F(CommandLineTest, HeldWriterWaitsForADebuggerToReleaseIt) {
  if (system("command -v gdb >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "gdb is not installed";
  }
  int pid = spawnLogtest({"w", dir}, dir + "/held.out");
  sleep(2);
  EXPECT_EQ("0", readFile(dir + "/next_id"));  // it has not started as a writer
  std::string release =
      "gdb -p " + std::to_string(pid) + " -batch -ex 'set var debug_hold = 0' >/dev/null 2>&1";
  EXPECT_EQ(0, system(release.c_str()));
  waitFor([&] { return readFile(dir + "/next_id") != "0"; }, 5);
  writeFile(stop_test_file, "");
  int status = waitExitStatus(pid, 30);
  EXPECT_TRUE(status == 0 || status == 1) << status;
  EXPECT_EQ("1", readFile(dir + "/next_id"));
}
