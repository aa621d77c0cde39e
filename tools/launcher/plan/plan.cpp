#include "plan.h"

#include <algorithm>

static void planRole(Role role, int count, const std::vector<std::string>& paths,
                     const std::vector<std::string>& hosts, std::vector<Process>& out) {
  for (int i = 0; i < count; i++) {
    Process p;
    p.role = role;
    p.id = i + 1;
    p.path = paths[i % paths.size()];
    if (!hosts.empty()) {
      p.host = hosts[i % hosts.size()];
    }
    out.push_back(p);
  }
}

std::vector<Process> planProcesses(int writers, int readers, const std::vector<std::string>& paths,
                                   const std::vector<std::string>& hosts) {
  std::vector<Process> processes;
  planRole(Role::Writer, writers, paths, hosts, processes);
  planRole(Role::Reader, readers, paths, hosts, processes);
  return processes;
}

std::vector<std::string> hostsOf(const std::vector<Process>& processes) {
  std::vector<std::string> hosts;
  for (const Process& p : processes) {
    if (std::find(hosts.begin(), hosts.end(), p.host) == hosts.end()) {
      hosts.push_back(p.host);
    }
  }
  return hosts;
}
