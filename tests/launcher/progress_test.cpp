// The progress rules on made-up event sequences: no process is started.
#include "progress.h"

#include <gtest/gtest.h>

namespace {

// Two readers on two places; logs 1..n renamed by writer 3, one a second from t = 1.
Progress twoReaders(unsigned renamed) {
  Progress p;
  p.readers = {{"reader 1", "/a"}, {"reader 2", "/b"}};
  for (unsigned n = 1; n <= renamed; n++) {
    noteRename(p, n, "writer 3", n);
  }
  return p;
}

std::vector<std::string> codes(const std::vector<Finding>& found) {
  std::vector<std::string> out;
  for (const Finding& f : found) {
    out.push_back(f.code);
  }
  return out;
}

TEST(ProgressTest, StallCountsFromTheLastAppendOrRename) {
  Progress p;
  noteBytes(p, 100, 2);
  noteBytes(p, 100, 5);  // no growth
  EXPECT_FALSE(stalled(p, 61, 60));
  EXPECT_TRUE(stalled(p, 62, 60));
  EXPECT_FALSE(stalled(p, 1000, 0));  // the watch is off
  noteRename(p, 1, "writer 1", 30);
  EXPECT_FALSE(stalled(p, 62, 60));
  // A pause below the timeout still gets a word at the end.
  std::vector<Finding> pauses = judgePauses(p);
  ASSERT_EQ(pauses.size(), 1u);
  EXPECT_EQ(pauses[0].text, "nothing was appended for 28.0 s (from 2.0 s to 30.0 s)");
}

TEST(ProgressTest, VerifiedLogsFollowCheckingLinesAndACleanEnd) {
  Progress p = twoReaders(5);
  EXPECT_EQ(verifiedUpTo(p.readers[0]), 0u);
  noteChecking(p, 0, 4, 6);
  EXPECT_EQ(verifiedUpTo(p.readers[0]), 3u);  // still on log.4
  noteReaderEnd(p, 0, true);
  EXPECT_EQ(verifiedUpTo(p.readers[0]), 4u);  // finished it before it ended
  noteChecking(p, 1, 4, 6);
  noteReaderEnd(p, 1, false);
  EXPECT_EQ(verifiedUpTo(p.readers[1]), 3u);
}

// Reader 2 waits for log.17, which is missing while later logs exist.
TEST(ProgressTest, AMissingNextLogIsJudgedOnceConfirmed) {
  struct Case {
    unsigned other_at;  // where reader 1 is
    const char* code;   // what reader 2's wait for log.17 comes to
    const char* text;
  } cases[] = {
      {27, "reader_left_behind",
       "reader 2 is left behind: log.17 was deleted by a reader that went on (reader 1 is at "
       "log.27) before reader 2 verified it; reader 2 can verify no further log"},
      {16, "log_vanished",
       "log.17 (renamed by writer 3 at 17.0 s) is gone and no reader verified it"},
      {20, "log_vanished",
       "log.17 (renamed by writer 3 at 17.0 s) is gone before reader 2 verified it, and no reader "
       "can have deleted it"},
  };
  for (const Case& c : cases) {
    Progress p = twoReaders(30);
    noteChecking(p, 0, c.other_at, 30);
    noteChecking(p, 1, 16, 30);
    ASSERT_EQ(nextLogOf(p.readers[1]), 17u);
    noteNextLog(p, 1, false, 31);
    EXPECT_TRUE(judgeMissingLogs(p, 31 + MISSING_CONFIRM_S - 0.5).empty()) << c.code;
    std::vector<Finding> found = judgeMissingLogs(p, 31 + MISSING_CONFIRM_S);
    ASSERT_EQ(found.size(), 1u) << c.code;
    EXPECT_EQ(found[0].code, c.code);
    EXPECT_EQ(found[0].text, c.text);
    EXPECT_TRUE(judgeMissingLogs(p, 40).empty()) << "reported once: " << c.code;
  }
}

// A place whose only reader is left behind can never be covered: the run fails at once, not at
// the stop; a place with a reader still going is only warned about.
TEST(ProgressTest, APlaceWhoseEveryReaderIsLeftBehindFailsAtOnce) {
  for (bool another_on_b : {false, true}) {
    Progress p = twoReaders(30);
    if (another_on_b) {
      p.readers.push_back({"reader 3", "/b"});
      noteChecking(p, 2, 29, 30);
    }
    noteChecking(p, 0, 27, 30);
    noteChecking(p, 1, 16, 30);
    noteNextLog(p, 1, false, 31);
    judgeMissingLogs(p, 31 + MISSING_CONFIRM_S);
    std::vector<Finding> found = judgeCoverageLost(p, 34);
    if (another_on_b) {
      EXPECT_TRUE(found.empty());
      continue;
    }
    ASSERT_EQ(codes(found), std::vector<std::string>{"coverage"});
    EXPECT_EQ(found[0].text,
              "every reader of /b is left behind (reader 2 waits for log.17, deleted by readers "
              "elsewhere): no log from log.17 on can be verified through it, so the run cannot "
              "pass");
    EXPECT_TRUE(judgeCoverageLost(p, 40).empty()) << "reported once";
  }
}

TEST(ProgressTest, ANextLogNotYetWrittenOrBackAgainIsNoFinding) {
  Progress p = twoReaders(16);
  noteChecking(p, 1, 16, 20);
  noteNextLog(p, 1, false, 20);  // log.17 is simply not renamed yet
  EXPECT_TRUE(judgeMissingLogs(p, 30).empty());

  noteRename(p, 18, "writer 1", 21);
  noteNextLog(p, 1, false, 21);
  noteNextLog(p, 1, true, 22);  // it showed up late: a slow rename, not a lost log
  EXPECT_TRUE(judgeMissingLogs(p, 30).empty());
  noteNextLog(p, 1, false, 23);
  noteChecking(p, 1, 17, 24);  // the reader moved on: whatever was missing is behind it
  EXPECT_TRUE(judgeMissingLogs(p, 30).empty());
}

TEST(ProgressTest, ALaggingReaderIsReportedOncePerEpisode) {
  Progress p = twoReaders(20);
  noteChecking(p, 0, 20, 10);
  noteChecking(p, 1, 5, 10);
  EXPECT_TRUE(judgeLagging(p, 69, 60).empty());
  std::vector<Finding> found = judgeLagging(p, 70, 60);
  ASSERT_EQ(codes(found), std::vector<std::string>{"reader_lagging"});
  EXPECT_EQ(found[0].text,
            "reader 2 has verified nothing for 60 s while logs up to log.20 exist; it is still "
            "at log.5");
  EXPECT_TRUE(judgeLagging(p, 80, 60).empty());
  noteChecking(p, 1, 6, 81);
  EXPECT_EQ(judgeLagging(p, 141, 60).size(), 1u);
  Progress idle = twoReaders(3);
  EXPECT_TRUE(judgeLagging(idle, 1000, 0).empty());  // the watch is off
}

// Readers' lines come folded into one a second: every log a reader went past within that
// second begins at it, and a log begun once keeps its time.
TEST(ProgressTest, EachLogKeepsWhenEachReaderBeganIt) {
  Progress p = twoReaders(5);
  noteChecking(p, 0, 3, 2.0);
  noteChecking(p, 0, 3, 2.5);
  noteChecking(p, 1, 1, 3.0);
  noteChecking(p, 0, 5, 4.0);
  EXPECT_EQ(p.begun[1], (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(p.begun[3], (std::vector<double>{2.0, -1}));
  EXPECT_EQ(p.begun[5], (std::vector<double>{4.0, -1}));
  noteChecking(p, 1, 3'000'000, 5.0);  // a far jump keeps only the latest logs
  EXPECT_EQ(p.begun.size(), MAX_KEPT_RENAMES);
  EXPECT_EQ(p.begun.rbegin()->first, 3'000'000u);
}

TEST(ProgressTest, CoverageWantsEveryOldLogThroughEveryPlace) {
  Progress p = twoReaders(30);
  p.readers.push_back({"reader 3", "/b"});
  noteChecking(p, 0, 25, 29);  // /a: logs 1 to 24
  noteChecking(p, 1, 8, 29);   // /b: reader 2 at 1 to 7, reader 3 at 1 to 19
  noteChecking(p, 2, 20, 29);
  // Stop at 30: logs renamed by 20 s must be verified; log.20 is not, through /b.
  std::vector<Finding> found = judgeCoverage(p, 30);
  ASSERT_EQ(codes(found), std::vector<std::string>{"coverage"});
  EXPECT_EQ(found[0].text,
            "log.20, renamed more than 10 s before the stop, was not verified through /b: "
            "reader 2, reader 3 verified logs 1 to 19");
  noteReaderEnd(p, 2, true);  // reader 3 finished log.20
  EXPECT_TRUE(judgeCoverage(p, 30).empty());
  EXPECT_TRUE(judgeCoverage(twoReaders(5), 10).empty());  // nothing old enough yet
}

}  // namespace
