#include "stall_text.h"

#include <map>

static std::string onHost(const std::string& host) {
  return host.empty() ? "" : " on " + host;
}

static const Process* processWithPid(const std::vector<Process>& procs, const std::string& host,
                                     pid_t pid) {
  for (const Process& p : procs) {
    if (p.host == host && p.pid == pid && !p.reaped) {
      return &p;
    }
  }
  return nullptr;
}

static std::string holderText(const std::vector<HostRecord>& hosts,
                              const std::vector<Process>& procs) {
  std::string stranger;
  for (const HostRecord& h : hosts) {
    for (const auto& [pid, state] : h.lock_holders) {
      std::string tail = " holds the logInfo lock and is " + state;
      if (const Process* p = processWithPid(procs, h.name, pid)) {
        return processName(*p) + " (PID " + std::to_string(pid) + ")" + onHost(h.name) + tail;
      }
      if (stranger.empty()) {
        stranger =
            "PID " + std::to_string(pid) + onHost(h.name) + ", not a process of this test," + tail;
      }
    }
  }
  if (!stranger.empty()) {
    return stranger;
  }
  bool local_only = hosts.size() == 1 && hosts[0].name.empty();
  return local_only ? "no process on this host holds the logInfo lock"
                    : "no process on any host of the test holds the logInfo lock";
}

// "; writers sleeping: 1, 2; stopped: 3", in the order the states first appear.
static std::string writerStates(const std::vector<HostRecord>& hosts) {
  std::vector<std::pair<std::string, std::string>> groups;
  for (const HostRecord& h : hosts) {
    for (const auto& [tag, state] : h.writer_states) {
      std::string id = tag.substr(1);
      auto it = groups.begin();
      while (it != groups.end() && it->first != state) {
        ++it;
      }
      if (it == groups.end()) {
        groups.push_back({state, id});
      } else {
        it->second += ", " + id;
      }
    }
  }
  std::string text;
  for (const auto& [state, ids] : groups) {
    text += (text.empty() ? "; writers " : "; ") + state + ": " + ids;
  }
  return text;
}

std::string stallCause(const std::vector<HostRecord>& hosts, const std::vector<Process>& procs) {
  return holderText(hosts, procs) + writerStates(hosts);
}
