#include "control/file_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "support/log_dir_test.h"

class FileHelpersTest : public LogDirTest {};

// One line per attempt, eleven of them, then the stop.
TEST_F(FileHelpersTest, RetryingOpenGivesUpAfterElevenAttempts) {
  std::string missing = dir + "/log.7", lines;
  for (int i = 0; i < 11; i++) {
    lines += "fopen\\(\"" + missing + "\", \"r\"\\): No such file or directory\n";
  }
  EXPECT_EXIT(my_fopen(missing.c_str(), "r", 1), testing::ExitedWithCode(1), "^" + lines + "$");
}

// A numbered log that is no regular file is refused by the reader and the dump at the first
// attempt, as a log that cannot be opened: a FIFO must not block them, a link must not lead
// them to a file outside the directory.
TEST_F(FileHelpersTest, NumberedLogThatIsNoRegularFileIsRefusedAtOnce) {
  const std::string log1 = dir + "/log.1";
  const std::string sound = dir + "/sound";
  writeFile(sound, LogBuilder().data(1, 1, 10).terminator().bytes);
  const struct {
    const char* kind;
    std::function<int()> make;
    const char* error;
  } kinds[] = {
      {"FIFO", [&] { return mkfifo(log1.c_str(), 0644); }, "Illegal seek"},
      {"symlink", [&] { return symlink(sound.c_str(), log1.c_str()); },
       "Too many levels of symbolic links"},
      {"directory", [&] { return mkdir(log1.c_str(), 0755); }, "Is a directory"},
  };
  const std::string refused = "fopen(\"" + log1 + "\", \"r\"): ";
  for (const auto& k : kinds) {
    for (const std::string role : {"R", "T"}) {
      SCOPED_TRACE(std::string(k.kind) + " " + role);
      ASSERT_EQ(0, k.make());
      std::string out;
      EXPECT_EQ(1, runLogtest({role, dir, "1"}, &out));
      EXPECT_EQ((role == "R" ? "Checking log 1\n" : "") + refused + k.error + "\n", out);
      EXPECT_TRUE(fileExists(stop_test_file));
      unlink(stop_test_file);
      removeTree(log1);
    }
  }
}

TEST_F(FileHelpersTest, WriteAllStopsTheTestWhenNothingIsWritten) {
  FILE* f = fopen("/dev/full", "w");
  ASSERT_NE(nullptr, f);
  setvbuf(f, nullptr, _IONBF, 0);
  EXPECT_EXIT(write_all(f, "abc", 3), testing::ExitedWithCode(1),
              "fwrite\\(\\): No space left on device");
  fclose(f);
}
