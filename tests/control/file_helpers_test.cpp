#include "control/file_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "control/test_control.h"
#include "support/log_dir_test.h"
#include "support/test_logs.h"

class FileHelpersTest : public LogDirTest {};

TEST_F(FileHelpersTest, LockFileNeverCreatesAMissingFile) {
  std::string missing = dir + "/next_id.missing";
  EXPECT_EXIT(lockFile(missing.c_str(), LOCK_EX), testing::ExitedWithCode(1),
              "open\\(space_lock_file\\): No such file or directory");
  EXPECT_FALSE(fileExists(missing));
  EXPECT_TRUE(fileExists(dir + "/StopTest"));
}

TEST_F(FileHelpersTest, LockIsExclusiveUntilTheDescriptorCloses) {
  int fd = lockFile(space_lock_file, LOCK_EX);
  int other = open(space_lock_file, O_RDWR);
  EXPECT_NE(0, flock(other, LOCK_EX | LOCK_NB));
  close(fd);
  EXPECT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
  close(other);
}

TEST_F(FileHelpersTest, RetryingOpenGivesUpAfterElevenAttempts) {
  std::string missing = dir + "/log.7";
  EXPECT_EQ(nullptr, my_fopen(missing.c_str(), "r", 0));
  EXPECT_FALSE(fileExists(dir + "/StopTest"));
  // Eleven perror lines, then the stop.
  std::string line = "fopen\\(\"" + missing + "\", \"r\"\\): No such file or directory\n";
  std::string eleven;
  for (int i = 0; i < 11; i++) {
    eleven += line;
  }
  EXPECT_EXIT(my_fopen(missing.c_str(), "r", 1), testing::ExitedWithCode(1), "^" + eleven + "$");
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
  const struct {
    std::vector<std::string> args;
    const char* before;
  } roles[] = {{{"R", dir}, "Checking log 1\n"}, {{"T", dir, "1"}, ""}};
  for (const auto& k : kinds) {
    for (const auto& r : roles) {
      SCOPED_TRACE(std::string(k.kind) + " " + r.args[0]);
      ASSERT_EQ(0, k.make());
      std::string out;
      EXPECT_EQ(1, runLogtest(r.args, &out));
      EXPECT_EQ(r.before + ("fopen(\"" + log1 + "\", \"r\"): ") + k.error + "\n", out);
      EXPECT_TRUE(fileExists(stop_test_file));
      unlink(stop_test_file);
      removeTree(log1);
    }
  }
}

TEST_F(FileHelpersTest, WriteAllWritesEveryByte) {
  std::string path = dir + "/out";
  FILE* f = fopen(path.c_str(), "w");
  std::string big = makePayload(100000, 1);
  write_all(f, big.data(), big.size());
  write_all(f, "", 0);
  fclose(f);
  EXPECT_EQ(big, readFile(path));
}

TEST_F(FileHelpersTest, WriteAllStopsTheTestWhenNothingIsWritten) {
  FILE* f = fopen("/dev/full", "w");
  ASSERT_NE(nullptr, f);
  setvbuf(f, nullptr, _IONBF, 0);
  EXPECT_EXIT(write_all(f, "abc", 3), testing::ExitedWithCode(1),
              "fwrite\\(\\): No space left on device");
  fclose(f);
}
