// One writer or reader process of a test, as the launcher started and watched it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <string>
#include <vector>

enum class Role { Writer, Reader };

struct Process {
  Role role = Role::Writer;
  int id = 0;        // 1, 2, ... within its role; the name in every report ("writer 3")
  std::string host;  // empty when started on this host
  std::string path;  // the log directory path it was given
  std::vector<std::string> argv;

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

// A reader that ended with 0 finished the scan of the last log it named; one still scanning,
// stopped or failed vouches only for the logs before it.
inline unsigned logsVerified(const Process& p) {
  bool clean_exit = p.reaped && !p.killed_by_launcher && WIFEXITED(p.wait_status) &&
                    WEXITSTATUS(p.wait_status) == 0;
  if (clean_exit || p.last_checking == 0) {
    return p.last_checking;
  }
  return p.last_checking - 1;
}
