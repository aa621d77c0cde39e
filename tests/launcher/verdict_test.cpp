#include "verdict.h"

#include <gtest/gtest.h>
#include <signal.h>

// Wait statuses as wait4 reports them.
static int exitedWith(int status) {
  return status << 8;
}
static int killedBy(int sig) {
  return sig;
}

static Process ended(Role role, int wait_status, double end_s = 31) {
  Process p;
  p.role = role;
  p.id = 1;
  p.pid = 100;
  p.reaped = true;
  p.wait_status = wait_status;
  p.end_s = end_s;
  p.last_checking = role == Role::Reader ? 5 : 0;
  return p;
}

class VerdictTest : public ::testing::Test {
 protected:
  std::vector<std::string> failuresOf(const Process& p) { return findFailures(opt, {p}, run); }
  Options opt;
  RunState run;
  void SetUp() override {
    run.stop_s = 30;
    run.stop_reason = StopReason::Duration;
    run.launcher_raised_marker = true;
  }
};

TEST_F(VerdictTest, CleanEndsPass) {
  EXPECT_TRUE(failuresOf(ended(Role::Writer, exitedWith(0))).empty());
  EXPECT_TRUE(failuresOf(ended(Role::Reader, exitedWith(0))).empty());
}

// A writer that meets the marker while opening the log ends through the stop path.
TEST_F(VerdictTest, SilentWriterExitOneIsExcusedOnlyAfterAMarkerRaisedForAReason) {
  EXPECT_TRUE(failuresOf(ended(Role::Writer, exitedWith(1))).empty());

  Process talked = ended(Role::Writer, exitedWith(1));
  talked.diagnostics = 1;
  EXPECT_EQ(failuresOf(talked), (std::vector<std::string>{"writer 1 printed 1 diagnostic line",
                                                          "writer 1 exited with status 1"}));

  EXPECT_EQ(failuresOf(ended(Role::Reader, exitedWith(1))),
            std::vector<std::string>{"reader 1 exited with status 1"});
  EXPECT_EQ(failuresOf(ended(Role::Writer, exitedWith(2))),
            std::vector<std::string>{"writer 1 exited with status 2"});
  EXPECT_EQ(failuresOf(ended(Role::Writer, exitedWith(1), 29)),
            std::vector<std::string>{"writer 1 exited with status 1"});

  // Nobody said why the marker is there: the silent writer is the only suspect.
  run.launcher_raised_marker = false;
  run.stop_reason = StopReason::Marker;
  EXPECT_EQ(failuresOf(ended(Role::Writer, exitedWith(1))),
            std::vector<std::string>{"writer 1 exited with status 1"});
  // A reader reported a defect and raised it.
  Process reader = ended(Role::Reader, exitedWith(1));
  reader.diagnostics = 2;
  run.diagnostic_count = 2;
  EXPECT_EQ(findFailures(opt, {ended(Role::Writer, exitedWith(1)), reader}, run),
            (std::vector<std::string>{"reader 1 printed 2 diagnostic lines",
                                      "reader 1 exited with status 1"}));
}

TEST_F(VerdictTest, ProcessesThatEndWronglyFail) {
  EXPECT_EQ(failuresOf(ended(Role::Reader, killedBy(SIGSEGV))),
            std::vector<std::string>{"reader 1 was killed by signal 11 (Segmentation fault)"});

  Process straggler = ended(Role::Writer, killedBy(SIGTERM));
  straggler.killed_by_launcher = true;
  EXPECT_EQ(
      failuresOf(straggler),
      std::vector<std::string>{"writer 1 did not end within 15 s after StopTest and was killed"});

  Process stuck = straggler;
  stuck.reaped = false;
  stuck.unreapable = true;
  EXPECT_EQ(failuresOf(stuck), std::vector<std::string>{"writer 1 did not end even after SIGKILL"});

  Process early = ended(Role::Writer, exitedWith(0), 3);
  early.ended_early = true;
  EXPECT_EQ(failuresOf(early),
            std::vector<std::string>{
                "writer 1 ended with status 0 while the test was running and no StopTest existed"});
}

TEST_F(VerdictTest, ReaderThatVerifiedNothingFailsOnlyInALongRun) {
  Process idle = ended(Role::Reader, exitedWith(0));
  idle.last_checking = 0;
  EXPECT_TRUE(failuresOf(idle).empty());
  run.stop_s = 61;
  EXPECT_EQ(failuresOf(idle), std::vector<std::string>{"reader 1 verified no log"});
  idle.last_checking = 1;  // and ended with 0: log 1 was verified whole
  EXPECT_TRUE(failuresOf(idle).empty());
}

TEST(LogsVerifiedTest, SlowestReaderSetsTheCount) {
  Process fast = ended(Role::Reader, exitedWith(0));
  fast.last_checking = 9;
  Process slow = fast;
  slow.last_checking = 4;
  Process writer = ended(Role::Writer, exitedWith(0));
  EXPECT_EQ(slowestReaderVerified({writer, fast, slow, fast}), 4u);
  EXPECT_EQ(slowestReaderVerified({writer}), 0u);
}
