// The agent as the coordinator sees it: a child process spoken to on its input, answering in
// JSON lines, with a stand-in logtest that announces one log and waits for StopTest.
#include "agent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "protocol.h"
#include "spawn.h"

namespace {

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/agent_test.XXXXXX";
    dir = mkdtemp(dir_template);
  }
  void TearDown() override {
    if (pid > 0) {
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::string rm = "rm -rf '" + dir + "'";
    (void)!system(rm.c_str());
  }

  void start(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {LOGTEST_RUN_BINARY, "agent",      "--version", "v",
                                     "--logtest",        FAKE_LOGTEST, "--grace",   "1",
                                     "--name",           "h1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"@h1", "W1=" + dir, "R2=" + dir, "@h2", "W3=" + dir});
    std::string error;
    ASSERT_TRUE(startCommand(argv, &pid, &out, &in, &error)) << error;
  }

  void send(const std::string& command) {
    std::string line = "{\"c\":\"" + command + "\"}\n";
    ASSERT_EQ(write(in, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

  // The next message whose "e" is event, within 10 s; the others are kept in seen.
  Json next(const std::string& event) {
    double deadline = monotonicSeconds() + 10;
    while (monotonicSeconds() < deadline) {
      size_t nl;
      while ((nl = buffer.find('\n')) != std::string::npos) {
        std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        Json m;
        size_t prefix;
        if (decodeMessage(line, &m, &prefix)) {
          seen.push_back(m);
          if (m.value("e", "") == event) {
            return m;
          }
        }
      }
      struct pollfd pfd = {out, POLLIN, 0};
      char buf[4096];
      ssize_t n = poll(&pfd, 1, 100) > 0 ? read(out, buf, sizeof(buf)) : -1;
      if (n == 0) {
        break;
      }
      if (n > 0) {
        buffer.append(buf, n);
      }
    }
    return Json();
  }

  std::string dir;
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  std::string buffer;
  std::vector<Json> seen;
};

TEST_F(AgentTest, RunsItsOwnPartOfThePlanAndReportsEveryEnd) {
  start({});
  Json hello = next("hello");
  ASSERT_TRUE(hello.is_object());
  EXPECT_EQ(hello["host"], "h1");
  EXPECT_EQ(hello["processes"], 2);  // writer 3 is h2's
  EXPECT_TRUE(hello["logtest"].get<bool>());
  send("readers");
  Json started = next("started");
  ASSERT_EQ(started["procs"].size(), 1u);
  EXPECT_EQ(started["procs"][0][0], "R");
  send("writers");
  ASSERT_TRUE(next("started").is_object());
  // Progress comes folded into ticks: the writer's rename and the reader's log.
  bool renamed = false, checking = false;
  for (int i = 0; i < 5 && !(renamed && checking); i++) {
    Json tick = next("tick");
    renamed = renamed || tick["renamed"] == Json::array({Json::array({1, 1})});
    checking = checking || tick["checking"] == Json::array({Json::array({2, 1})});
  }
  EXPECT_TRUE(renamed && checking);
  close(creat((dir + "/StopTest").c_str(), 0644));
  send("stop");
  Json first = next("end"), second = next("end");
  for (const Json& end : {first, second}) {
    ASSERT_TRUE(end.is_object());
    EXPECT_EQ(end["status"], 0) << end.dump();
    EXPECT_GT(end["rss_kb"].get<long>(), 0);
    EXPECT_FALSE(end["killed"].get<bool>());
  }
  EXPECT_TRUE(next("bye").is_object());
  // It stays for the last look, once through each of its paths.
  send("look");
  Json look = next("look");
  ASSERT_TRUE(look.is_object());
  ASSERT_EQ(look["places"].size(), 1u);
  EXPECT_EQ(look["places"][0]["path"], dir);
}

// A lost launcher: once its writers ran, the agent raises StopTest itself and ends them.
TEST_F(AgentTest, EndOfInputStopsTheTestItStarted) {
  setenv("FAKE_MODE", "deaf", 1);
  start({});
  unsetenv("FAKE_MODE");
  ASSERT_TRUE(next("hello").is_object());
  send("readers");
  send("writers");
  ASSERT_TRUE(next("started").is_object());
  ASSERT_TRUE(next("started").is_object());
  close(in);
  Json end = next("end");
  ASSERT_TRUE(end.is_object());
  EXPECT_TRUE(end["killed"].get<bool>()) << end.dump();  // deaf to StopTest and SIGTERM
  struct stat st;
  EXPECT_EQ(stat((dir + "/StopTest").c_str(), &st), 0);
}

// Lost before the start, it starts nothing and raises nothing.
TEST_F(AgentTest, EndOfInputBeforeTheStartTouchesNothing) {
  start({});
  ASSERT_TRUE(next("hello").is_object());
  close(in);
  EXPECT_TRUE(next("bye").is_object());
  struct stat st;
  EXPECT_NE(stat((dir + "/StopTest").c_str(), &st), 0);
  for (const Json& m : seen) {
    EXPECT_NE(m.value("e", ""), "started");
  }
}

}  // namespace
