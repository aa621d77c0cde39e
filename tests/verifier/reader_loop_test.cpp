#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <functional>

#include "support/test_logs.h"

extern char** environ;

namespace {

// Starts the logtest executable with standard output and error going to outPath.
pid_t startLogtest(const std::vector<std::string>& args, const std::string& outPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv{const_cast<char*>(LOGTEST_BINARY)};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn(&pid, LOGTEST_BINARY, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Polls done every 50 ms for at most seconds; true once it holds.
bool waitFor(const std::function<bool()>& done, int seconds) {
  for (time_t end = time(nullptr) + seconds; time(nullptr) <= end; usleep(50000)) {
    if (done()) {
      return true;
    }
  }
  return done();
}

// Exit status of pid, or -1 if it had to be killed after seconds.
int exitStatus(pid_t pid, int seconds) {
  int status = 0;
  if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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
  pid_t reader = startLogtest({"R", dir}, base + "/reader.out");
  ASSERT_GT(reader, 0);
  bool pruned = waitFor([&] { return !fileExists(logName(dir, 1)); }, 30);
  // The reader now waits for log.12 and must notice the marker there.
  writeFile(dir + "/StopTest", "");
  EXPECT_EQ(exitStatus(reader, 30), 0);
  EXPECT_TRUE(pruned);
  for (int n = 2; n <= 11; n++) {
    EXPECT_TRUE(fileExists(logName(dir, n))) << n;
  }
  EXPECT_EQ(readFile(base + "/reader.out"), expected + "Done!\n");
  removeTree(base);
}

}  // namespace
