#include "spawn.h"

#include <gtest/gtest.h>

TEST(SpawnTest, CapturedCommandsEndOrAreKilledInTime) {
  std::string out;
  EXPECT_EQ(runCaptured({"sh", "-c", "echo hi; echo err >&2; exit 3"}, 10, &out), 3);
  EXPECT_EQ(out, "hi\nerr\n");
  out.clear();
  EXPECT_EQ(runCaptured({"sh", "-c", "echo started; exec sleep 30"}, 0.5, &out), -1);
  EXPECT_EQ(out, "started\n");
  EXPECT_EQ(runCaptured({"/nonexistent/command"}, 10, &out), 127);
}
