// One writer or reader process of a test: how it was planned, and what its host's agent
// reported of it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

enum class Role { Writer, Reader };

// How a process ended, decoded once by the agent that reaped it.
struct ExitInfo {
  bool signalled = false;
  int status = 0;  // the exit status, when !signalled
  int signal = 0;  // the signal that ended it, when signalled
  double user_s = 0;
  double system_s = 0;
  long rss_kb = 0;  // peak resident set
};

struct Process {
  Role role = Role::Writer;
  int id = 0;        // 1, 2, ... within its role; the name in every report ("writer 3")
  std::string host;  // empty when started on this host
  std::string path;  // the log directory path it was given

  pid_t pid = -1;       // on its host
  double start_s = -1;  // seconds after the start when its agent reported it started
  bool reaped = false;
  ExitInfo exit;
  double end_s = 0;                 // seconds after the start when its end was reported
  bool ended_early = false;         // ended while no StopTest existed
  bool killed_by_launcher = false;  // outlived the grace time
  bool unreapable = false;          // not even SIGKILL ended it (stuck in the kernel)
  bool lost = false;                // its host was lost before it ended

  int logs_renamed = 0;        // writer: its "Log rename" lines
  unsigned last_checking = 0;  // reader: N of its last "Checking log N"
  int retry_notices = 0;       // reader: it waited for a log to become whole
  int diagnostics = 0;         // lines other than the known progress lines and notices

  // Its account at the end. Writer: the last record the file system acknowledged (-1: it
  // said nothing). Reader: the last record it verified of each client ID.
  long last_written = -1;
  unsigned client = 0;  // writer: the client ID it said it wrote as
  bool told_verified = false;
  std::map<unsigned, unsigned> verified;
};

inline std::string roleName(Role role) {
  return role == Role::Writer ? "writer" : "reader";
}

inline std::string processName(const Process& p) {
  return roleName(p.role) + " " + std::to_string(p.id);
}

// Where a process ran, for the reports: "local" or the host.
inline std::string hostName(const Process& p) {
  return p.host.empty() ? "local" : p.host;
}
