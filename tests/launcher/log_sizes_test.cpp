// Bytes appended, from the sizes of the log directory's files, and a timeline that stays
// bounded however long the run.
#include "log_sizes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "run_state.h"

namespace {

void writeFile(const std::string& path, size_t size) {
  std::ofstream(path) << std::string(size, 'x');
}

TEST(LogSizesTest, EveryLogCountsOnceAndADeletedOneAsTheMean) {
  char dir_template[] = "/tmp/log_sizes_test.XXXXXX";
  std::string dir = mkdtemp(dir_template);
  LogSizes sizes;
  writeFile(dir + "/log.1", 1000);
  writeFile(dir + "/last_log", 10);
  sampleSizes(sizes, dir);
  EXPECT_EQ(sizes.total, 1010u);
  noteRenamed(sizes, 1);  // its line came after it was measured: not counted twice
  noteRenamed(sizes, 2);  // renamed and deleted before a look: estimated once log.3 is seen
  writeFile(dir + "/log.3", 2000);
  unlink((dir + "/last_log").c_str());
  sampleSizes(sizes, dir);
  EXPECT_EQ(logsWritten(sizes), 3u);
  EXPECT_EQ(sizes.estimated_logs, 1u);
  EXPECT_EQ(sizes.total, 3000u + MEAN_LOG_BYTES);
  unlink((dir + "/log.1").c_str());
  sampleSizes(sizes, dir);  // a log deleted after it was measured takes nothing away
  EXPECT_EQ(sizes.total, 3000u + MEAN_LOG_BYTES);
  unlink((dir + "/log.3").c_str());
  rmdir(dir.c_str());
}

TEST(LogSizesTest, TheTimelineThinsItselfAndKeepsTheLatest) {
  RunState run;
  for (unsigned t = 1; t <= 3 * MAX_TIMELINE_POINTS; t++) {
    notePoint(run, {t, t * 100ull, t, t});
  }
  EXPECT_LT(run.timeline.size(), MAX_TIMELINE_POINTS);
  EXPECT_EQ(run.timeline_step, 4u);
  EXPECT_EQ(run.timeline.back().t, 3 * MAX_TIMELINE_POINTS);
  for (size_t i = 1; i < run.timeline.size(); i++) {
    EXPECT_EQ(run.timeline[i].t - run.timeline[i - 1].t, 4u);
  }
}

}  // namespace
