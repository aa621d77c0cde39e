#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control/test_control.h"
#include "support/test_logs.h"
#include "writer/writer_fixture.h"

class WriterIdentityTest : public WriterTest {
 protected:
  int idFrom(const std::string& next_id) {
    writeFile(dir + "/next_id", next_id);
    my_id = 0;
    return getMyID();
  }
};

TEST_F(WriterIdentityTest, NextIdIsReadIncrementedAndWrittenOverInPlace) {
  EXPECT_EQ(1, idFrom("0"));
  EXPECT_EQ("1", readFile(dir + "/next_id"));
  EXPECT_EQ(10, idFrom("9\n"));
  EXPECT_EQ("10", readFile(dir + "/next_id"));  // the new digit overwrites the newline
  EXPECT_EQ(42, idFrom("41\n"));
  EXPECT_EQ("42\n", readFile(dir + "/next_id"));
  EXPECT_EQ(8, idFrom("  7 writers"));
  EXPECT_EQ(1, idFrom("garbage"));
  EXPECT_EQ(1000000000, idFrom("999999999"));
  EXPECT_EQ("1000000000", readFile(dir + "/next_id"));
}

TEST_F(WriterIdentityTest, IdIsTakenOnceAndSequenceCountsFromOne) {
  EXPECT_EQ(1, getMyID());
  writeFile(dir + "/next_id", "50");
  EXPECT_EQ(1, getMyID());
  EXPECT_EQ("50", readFile(dir + "/next_id"));
  EXPECT_EQ(1, getNextRecNo());
  EXPECT_EQ(2, getNextRecNo());
}

TEST_F(WriterIdentityTest, UnusableNextIdStopsTheTest) {
  writeFile(dir + "/next_id", "");
  EXPECT_EXIT(getMyID(), testing::ExitedWithCode(1), "read\\(next_id\\)");
  EXPECT_TRUE(fileExists(dir + "/StopTest"));

  writeFile(dir + "/next_id", "-5");
  EXPECT_EXIT((stdoutToStderr(), getMyID()), testing::ExitedWithCode(1),
              "^Invalid client ID -5 in next_id\n$");
  EXPECT_EQ("-5", readFile(dir + "/next_id"));  // nothing written back

  writeFile(dir + "/next_id", "-1");
  EXPECT_EXIT((stdoutToStderr(), getMyID()), testing::ExitedWithCode(1),
              "Invalid client ID -1 in next_id");
  writeFile(dir + "/next_id", "2147483647");
  EXPECT_EXIT((stdoutToStderr(), getMyID()), testing::ExitedWithCode(1),
              "Invalid client ID 2147483647 in next_id");

  removeTree(dir + "/next_id");
  EXPECT_EXIT(getMyID(), testing::ExitedWithCode(1), "open\\(space_lock_file\\)");
}

TEST_F(WriterIdentityTest, WritersStartedTogetherGetDistinctIds) {
  const int writers = 8;
  for (int i = 0; i < writers; i++) {
    if (fork() == 0) {
      my_id = 0;
      getMyID();
      _exit(0);
    }
  }
  for (int i = 0; i < writers; i++) {
    int status;
    wait(&status);
    EXPECT_EQ(0, status);
  }
  EXPECT_EQ(std::to_string(writers), readFile(dir + "/next_id"));
}
