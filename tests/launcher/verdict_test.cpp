// How each process's end is judged, and the one verdict made of them and the run's findings.
#include "verdict.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "accounting.h"
#include "last_look.h"

namespace {

// Ends as an agent decodes them.
ExitInfo exitedWith(int status) {
  ExitInfo e;
  e.status = status;
  return e;
}

ExitInfo killedBy(int sig) {
  ExitInfo e;
  e.signalled = true;
  e.signal = sig;
  return e;
}

Process ended(Role role, ExitInfo exit, double end_s = 31) {
  Process p;
  p.role = role;
  p.id = 1;
  p.pid = 100;
  p.reaped = true;
  p.exit = exit;
  p.end_s = end_s;
  return p;
}

StopContext stoppedAt30() {
  StopContext stop;
  stop.stop_s = 30;
  stop.grace_waited_s = 15;
  return stop;
}

TEST(ProcessEndTest, EachWayOfEndingHasOneResultAndOneJudgement) {
  Process talked = ended(Role::Writer, exitedWith(1));
  talked.diagnostics = 1;
  Process early = ended(Role::Writer, exitedWith(0), 3);
  early.ended_early = true;
  Process straggler = ended(Role::Reader, killedBy(SIGKILL));
  straggler.killed_by_launcher = true;
  Process stuck = straggler;
  stuck.unreapable = true;
  Process lost = ended(Role::Writer, exitedWith(0));
  lost.reaped = false;
  lost.lost = true;
  struct Case {
    const char* what;
    Process p;
    const char* result;
    const char* failure;  // "" when the end is sound
    bool may_still_run;
  } cases[] = {
      {"clean writer", ended(Role::Writer, exitedWith(0)), "exit 0", "", false},
      {"writer stopped at the marker", ended(Role::Writer, exitedWith(1)), "exit 1 at StopTest", "",
       false},
      {"writer that said why", talked, "exit 1", "writer 1 exited with status 1", false},
      {"reader with 1", ended(Role::Reader, exitedWith(1)), "exit 1",
       "reader 1 exited with status 1", false},
      // Someone else's StopTest, met before the launcher saw it: the same stop.
      {"writer at a marker the launcher had not seen", ended(Role::Writer, exitedWith(1), 29),
       "exit 1 at StopTest", "", false},
      {"crash", ended(Role::Reader, killedBy(SIGSEGV)), "signal 11 (Segmentation fault)",
       "reader 1 was killed by signal 11 (Segmentation fault)", false},
      {"early", early, "exit 0",
       "writer 1 ended with status 0 while the test was running and no StopTest existed", false},
      {"straggler", straggler, "killed after grace",
       "reader 1 did not end within 15 s after StopTest and was killed", false},
      {"stuck", stuck, "not reaped", "reader 1 did not end even after SIGKILL", true},
      // Its host's loss is judged, not the process.
      {"lost", lost, "lost with its host", "", true},
  };
  for (const Case& c : cases) {
    ProcessEnd end = decideEnd(c.p, stoppedAt30());
    EXPECT_EQ(end.result, c.result) << c.what;
    EXPECT_EQ(end.failure, c.failure) << c.what;
    EXPECT_EQ(end.ok, c.failure[0] == '\0') << c.what;
    EXPECT_EQ(end.may_still_run, c.may_still_run) << c.what;
  }
}

TEST(ProcessEndTest, GraceSaysWhatWasWaited) {
  StopContext stop = stoppedAt30();
  Process straggler = ended(Role::Writer, killedBy(SIGKILL));
  straggler.killed_by_launcher = true;
  stop.grace_waited_s = 1.2;
  stop.grace_cut_short = true;
  EXPECT_EQ(decideEnd(straggler, stop).failure,
            "writer 1 did not end within 1 s after StopTest (a second interrupt cut the wait "
            "short) and was killed");
}

class VerdictTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run.stop_s = 30;
    run.launcher_raised_marker = true;
    run.progress.readers = {{"reader 1", "/d"}};
    noteRename(run.progress, 1, "writer 1", 25);  // too late to be owed to coverage
    processes = {ended(Role::Writer, exitedWith(0)), ended(Role::Reader, exitedWith(0))};
  }
  RunState run;
  std::vector<Process> processes;
};

TEST_F(VerdictTest, PassNeedsAReaderThatVerifiedSomething) {
  EXPECT_EQ(decideVerdict(processes, run).kind, VerdictKind::NoVerdict);
  noteChecking(run.progress, 0, 1, 26);
  noteReaderEnd(run.progress, 0, true);
  EXPECT_EQ(decideVerdict(processes, run).kind, VerdictKind::Pass);
  EXPECT_EQ(exitStatusFor(VerdictKind::NoVerdict), 3);
}

TEST_F(VerdictTest, FindingsOfEveryKindFailInOneList) {
  run.launcher_errors.push_back("could not start reader 2: fork: no memory");
  run.failures.push_back({"stall", "no byte appended for 60 s"});
  run.warnings.push_back({"reader_lagging", "reader 1 lags"});
  noteRename(run.progress, 2, "writer 1", 26);
  noteRename(run.progress, 3, "writer 1", 5);  // its line came late
  processes[1].diagnostics = 2;
  processes[1].exit = exitedWith(1);
  Verdict v = decideVerdict(processes, run);
  EXPECT_EQ(v.kind, VerdictKind::Fail);
  std::vector<std::string> codes;
  for (const Finding& f : v.failures) {
    codes.push_back(f.code);
  }
  // reader 1 never verified log.3, renamed 25 s before the stop: a coverage gap as well.
  EXPECT_EQ(codes, (std::vector<std::string>{"launcher_error", "stall", "diagnostic", "process_end",
                                             "coverage"}));
  EXPECT_EQ(v.failures[2].text, "reader 1 printed 2 diagnostic lines");
  ASSERT_EQ(v.warnings.size(), 2u);
  EXPECT_EQ(v.warnings[1].text, "nothing was appended for 25.0 s (from 0.0 s to 25.0 s)");
  EXPECT_EQ(v.ends.size(), 2u);
}

// A host lost in the middle is no verdict on the file system, unless a defect came first.
TEST_F(VerdictTest, ALostHostGivesNoVerdictUnlessADefectCameFirst) {
  HostRecord h3;
  h3.name = "h3";
  h3.lost = true;
  h3.lost_s = 12;
  h3.lost_why = "its connection closed at 12 s";
  run.hosts = {h3};
  processes[1].lost = true;
  run.diagnostics.push_back({"reader 1", "Cheksum failed for client ID 3", 13});
  Verdict v = decideVerdict(processes, run);
  EXPECT_EQ(v.kind, VerdictKind::HostLost);
  EXPECT_EQ(exitStatusFor(v.kind), 4);
  ASSERT_EQ(v.lost.size(), 1u);
  EXPECT_EQ(v.lost[0].text, "h3 was lost at 12.0 s: its connection closed at 12 s");
  run.diagnostics[0].at_s = 11;
  EXPECT_EQ(decideVerdict(processes, run).kind, VerdictKind::Fail);
}

}  // namespace

// A writer's promise against what the readers verified and what the last look found.
TEST(AcknowledgedTest, EveryAcknowledgedRecordMustBeFound) {
  Process writer = ended(Role::Writer, exitedWith(0));
  writer.client = 3;
  writer.last_written = 4424;
  Process reader = ended(Role::Reader, exitedWith(0));
  reader.told_verified = true;
  reader.verified = {{3, 4000}};
  PlaceLook look;
  look.path = "/d";
  look.highest = {{3, 4116}};
  std::vector<Finding> lost = judgeAcknowledged({writer, reader}, {look});
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].text,
            "client 3 (writer 1) wrote records up to 4,424; the logs end at 4,116: 308 "
            "acknowledged records are missing");

  // Found by a reader before its log was deleted, or still on disk: nothing missing.
  reader.verified = {{3, 4424}};
  EXPECT_TRUE(judgeAcknowledged({writer, reader}, {look}).empty());
  reader.verified = {};
  look.highest = {{3, 4424}};
  EXPECT_TRUE(judgeAcknowledged({writer, reader}, {look}).empty());

  // Through a second path the last records are not there: that path is named.
  PlaceLook other = look;
  other.path = "/e";
  other.host = "h2";
  other.highest = {};
  lost = judgeAcknowledged({writer, reader}, {look, other});
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_NE(lost[0].text.find("the logs hold none of its records through /e on h2: 4,424"),
            std::string::npos);

  // No account is not a loss: a killed writer promised nothing, and a reader without its
  // account (killed, or stopped by a defect) leaves the records unaccounted for.
  other.defect = "log.7: Bad header";  // a look that stopped early does not count either
  EXPECT_TRUE(judgeAcknowledged({writer, reader}, {look, other}).empty());
  // Nor one that could not read (a server away): it is a warning, not a loss.
  other.defect = "";
  other.error = lookAtLogs("/nonexistent/logs").error;
  EXPECT_EQ(other.error, "could not list /nonexistent/logs: No such file or directory");
  EXPECT_TRUE(judgeAcknowledged({writer, reader}, {look, other}).empty());
  std::vector<Finding> failures, warnings;
  judgeLooks({writer, reader}, {look, other}, failures, warnings);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].code, "last_look_unread");
  other.defect = "log.7: Bad header";
  reader.told_verified = false;
  EXPECT_TRUE(judgeAcknowledged({writer, reader}, {other}).empty());
  writer.last_written = -1;
  reader.told_verified = true;
  EXPECT_TRUE(judgeAcknowledged({writer, reader}, {other}).empty());
}
