#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "control/file_helpers.h"
#include "support/log_dir_test.h"
#include "writer/writer.h"

class WriterIdentityTest : public LogDirTest {};

// Read, incremented and written back over the old digits without truncating what follows.
TEST_F(WriterIdentityTest, NextIdIsReadIncrementedAndWrittenOverInPlace) {
  const struct {
    const char* before;
    int id;
    const char* after;
  } cases[] = {
      {"0", 1, "1"},
      {"9\n", 10, "10"},
      {"41\n", 42, "42\n"},
      {"999999999", 1000000000, "1000000000"},
  };
  for (const auto& c : cases) {
    writeFile(dir + "/next_id", c.before);
    my_id = 0;
    EXPECT_EQ(c.id, getMyID()) << c.before;
    EXPECT_EQ(c.after, readFile(dir + "/next_id")) << c.before;
  }
}

// No ID a reader would refuse is handed out, and next_id is left as it was.
TEST_F(WriterIdentityTest, UnusableNextIdStopsTheTest) {
  const struct {
    const char* next_id;
    const char* finding;
  } cases[] = {
      {"", "read\\(next_id\\)"},
      {"-1", "^Invalid client ID -1 in next_id\n$"},
      {"2147483647", "^Invalid client ID 2147483647 in next_id\n$"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.next_id);
    writeFile(dir + "/next_id", c.next_id);
    EXPECT_EXIT((stdoutToStderr(), getMyID()), testing::ExitedWithCode(1), c.finding);
    EXPECT_EQ(c.next_id, readFile(dir + "/next_id"));
    EXPECT_TRUE(fileExists(stop_test_file));
    unlink(stop_test_file);
  }
}

// Writers queued on next_id's lock, released at once, still get one ID each.
TEST_F(WriterIdentityTest, WritersStartedTogetherGetDistinctIds) {
  const std::string next_id = dir + "/next_id";
  int hold = lockFile(next_id.c_str(), LOCK_EX);
  std::vector<pid_t> writers(8);
  for (pid_t& writer : writers) {
    writer = fork();
    if (writer == 0) {
      close(hold);  // the lock belongs to the open file, which fork shares
      getMyID();
      _exit(0);
    }
  }
  usleep(100000);
  EXPECT_EQ("0", readFile(next_id));
  close(hold);
  for (pid_t writer : writers) {
    EXPECT_EQ(0, waitExitStatus(writer, 30));
  }
  EXPECT_EQ("8", readFile(next_id));
}
