// One writer or reader process of a test: how it was planned, and what the run loop saw of it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

enum class Role { Writer, Reader };

struct Process {
  Role role = Role::Writer;
  int id = 0;        // 1, 2, ... within its role; the name in every report ("writer 3")
  std::string host;  // empty when started on this host
  std::string path;  // the log directory path it was given
  std::vector<std::string> argv;
  std::vector<std::string> env;  // "NAME=value" set for it alone (locally; remotely in argv)

  pid_t pid = -1;
  int out_fd = -1;      // read end of the pipe carrying its standard output and error
  std::string partial;  // output after the last newline

  bool reaped = false;
  int wait_status = 0;
  struct rusage usage {};
  double end_s = 0;                 // seconds after the start when it was reaped
  bool ended_early = false;         // ended while no StopTest existed
  bool killed_by_launcher = false;  // outlived the grace time
  bool unreapable = false;          // not even SIGKILL ended it (stuck in the kernel)
  int remote_exit = -1;             // the remote status an rsh tool reported in a line
  bool remote_started = false;      // its remote shell said it is about to exec logtest

  int logs_renamed = 0;        // writer: its "Log rename" lines
  unsigned last_checking = 0;  // reader: N of its last "Checking log N"
  int retry_notices = 0;       // reader: it waited for a log to become whole
  int diagnostics = 0;         // lines other than the known progress lines and notices
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
