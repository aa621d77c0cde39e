// What the stall says from the agents' answers, on hosts that share a kernel or not.
#include "stall_text.h"

#include <gtest/gtest.h>

namespace {

Process writer(int id, const std::string& host, pid_t pid) {
  Process p;
  p.id = id;
  p.host = host;
  p.pid = pid;
  return p;
}

HostRecord host(const std::string& name, std::vector<std::pair<pid_t, std::string>> holders,
                std::vector<std::pair<std::string, std::string>> states) {
  HostRecord h;
  h.name = name;
  h.lock_holders = holders;
  h.writer_states = states;
  return h;
}

TEST(StallTextTest, TheHolderIsNamedWhereverItRuns) {
  std::vector<Process> procs = {writer(1, "h1", 100), writer(2, "h2", 200)};
  // Both agents see the holder (one kernel); only h2 knows it as its writer.
  std::vector<HostRecord> hosts = {host("h1", {{200, "stopped"}}, {{"W1", "waiting for a lock"}}),
                                   host("h2", {{200, "stopped"}}, {{"W2", "stopped"}})};
  EXPECT_EQ(stallCause(hosts, procs),
            "writer 2 (PID 200) on h2 holds the logInfo lock and is stopped; writers waiting "
            "for a lock: 1; stopped: 2");
  hosts = {host("h1", {{777, "sleeping"}}, {}), host("h2", {}, {})};
  EXPECT_EQ(stallCause(hosts, procs),
            "PID 777 on h1, not a process of this test, holds the logInfo lock and is sleeping");
  EXPECT_EQ(stallCause({host("", {}, {{"W1", "sleeping"}, {"W3", "sleeping"}})}, procs),
            "no process on this host holds the logInfo lock; writers sleeping: 1, 3");
  EXPECT_EQ(stallCause({host("h1", {}, {}), host("h2", {}, {})}, procs),
            "no process on any host of the test holds the logInfo lock");
}

}  // namespace
