// The reader role as a process: following and pruning logs, and a whole test with writers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <sstream>

#include "support/test_logs.h"

namespace {

std::string logName(const std::string& dir, int n) {
  return dir + "/log." + std::to_string(n);
}

TEST(ReaderLoopTest, KeepsTheLastTenLogsAndStopsOnTheMarker) {
  std::string base = makeLogDir();
  // A directory path too long for a small fixed buffer: the reader must name logs as the
  // writers do.
  std::string dir = base + "/" + std::string(150, 'd');
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::string expected;
  for (int n = 1; n <= 11; n++) {
    writeFile(logName(dir, n),
              LogBuilder().data(1, 2 * n - 1, 50).data(1, 2 * n, 9).terminator().bytes);
    expected += "Checking log " + std::to_string(n) + "\n";
  }
  pid_t reader = spawnLogtest({"R", dir}, base + "/reader.out");
  ASSERT_GT(reader, 0);
  bool pruned = waitFor([&] { return !fileExists(logName(dir, 1)); }, 30);
  // The reader now waits for log.12 and must notice the marker there.
  writeFile(dir + "/StopTest", "");
  EXPECT_EQ(waitExitStatus(reader, 30), 0);
  EXPECT_TRUE(pruned);
  for (int n = 2; n <= 11; n++) {
    EXPECT_TRUE(fileExists(logName(dir, n))) << n;
  }
  EXPECT_EQ(readFile(base + "/reader.out"), expected + "Done!\n");
  removeTree(base);
}

// Readers prune each other's logs, so a reader that looked for its next log only now and then
// would find it verified and deleted by the other. Logs appear 25 a second here; the second
// reader starts half a second after the first, so that no common rhythm hides a slow look.
TEST(ReaderLoopTest, TwoReadersVerifyEveryLogThatAppearsQuickly) {
  std::string dir = makeLogDir();
  const int logs = 100;
  std::vector<pid_t> readers;
  std::vector<std::string> outputs;
  for (int i = 1; i <= 2; i++) {
    outputs.push_back(dir + "/reader" + std::to_string(i) + ".out");
    readers.push_back(spawnLogtest({"R", dir}, outputs.back()));
    usleep(500000);
  }
  std::string expected;
  for (int n = 1; n <= logs; n++) {
    // Whole before it has its name, as a writer's rename makes it.
    writeFile(dir + "/next", LogBuilder().data(1, n, 100).terminator().bytes);
    rename((dir + "/next").c_str(), logName(dir, n).c_str());
    expected += "Checking log " + std::to_string(n) + "\n";
    usleep(40000);
  }
  waitFor(
      [&] {
        for (const std::string& out : outputs) {
          if (readFile(out).find("Checking log 100\n") == std::string::npos) {
            return false;
          }
        }
        return true;
      },
      10);
  writeFile(dir + "/StopTest", "");
  for (size_t i = 0; i < readers.size(); i++) {
    EXPECT_EQ(waitExitStatus(readers[i], 30), 0);
    EXPECT_EQ(readFile(outputs[i]), expected + "Done!\n") << outputs[i];
  }
  removeTree(dir);
}

// Three writers and two readers share one directory until both readers have verified three
// logs; the marker then stops them all, and no process has reported anything but progress.
TEST(ReaderEndToEndTest, WritersAndReadersRunCleanUntilStopped) {
  std::string dir = makeLogDir();
  std::vector<std::string> writerOut, readerOut;
  std::vector<pid_t> writers, readers;
  for (int i = 1; i <= 3; i++) {
    writerOut.push_back(dir + "/writer" + std::to_string(i) + ".out");
    writers.push_back(spawnLogtest({"W", dir}, writerOut.back()));
  }
  for (int i = 1; i <= 2; i++) {
    readerOut.push_back(dir + "/reader" + std::to_string(i) + ".out");
    readers.push_back(spawnLogtest({"R", dir}, readerOut.back()));
  }
  bool verified = waitFor(
      [&] {
        for (const std::string& out : readerOut) {
          if (readFile(out).find("Checking log 4\n") == std::string::npos) {
            return false;
          }
        }
        return true;
      },
      120);
  writeFile(dir + "/StopTest", "");
  // A writer that meets the marker while opening the log exits through the stop path (1).
  for (pid_t writer : writers) {
    int status = waitExitStatus(writer, 30);
    EXPECT_TRUE(status == 0 || status == 1) << status;
  }
  for (pid_t reader : readers) {
    EXPECT_EQ(waitExitStatus(reader, 30), 0);
  }
  EXPECT_TRUE(verified);
  const std::regex progress(
      "Log rename .*/log\\.[0-9]+ by writer [0-9]+|Checking log [0-9]+|Done!");
  std::vector<std::string> outputs = writerOut;
  outputs.insert(outputs.end(), readerOut.begin(), readerOut.end());
  for (const std::string& out : outputs) {
    std::istringstream lines(readFile(out));
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(std::regex_match(line, progress)) << out << ": " << line;
    }
  }
  removeTree(dir);
}

}  // namespace
