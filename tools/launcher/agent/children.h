// The writers and readers an agent runs on its host: started in process groups of their own,
// their output on a pipe, and their end decoded once, when they are reaped.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"

struct Child {
  char role = 'W';  // 'W' or 'R'
  int id = 0;
  std::string path;
  pid_t pid = -1;
  int out_fd = -1;
  std::string partial;  // output after the last newline
  double start_s = 0;   // on the agent's clock
  bool reaped = false;
  bool killed = false;      // signalled by the agent at the end of the grace time
  bool unreapable = false;  // not even SIGKILL ended it
  ExitInfo exit;
  double end_s = 0;
  unsigned checking = 0;  // reader: N of its last "Checking log N"
  int diagnostics = 0;
  int retry_notices = 0;
  bool accounted = false;  // its line of account at the end has been forwarded
};

// Forks and execs "logtest ROLE PATH" with env added, in a process group of its own (a Ctrl-C
// meant for the launcher must not reach it), standard input from /dev/null, output on a pipe.
// False and *error on a failure; a failed exec shows as a line and exit status 127.
bool startChild(Child& c, const std::string& logtest, const std::vector<std::string>& env,
                std::string* error);

// Reaps whichever children have ended; returns them. Called when SIGCHLD came.
std::vector<Child*> reapChildren(std::vector<Child>& children, double now);

// Signals each live child's process group (it reaches whatever the child started too).
void signalChildren(std::vector<Child>& children, int sig);

ExitInfo exitInfoOf(int wait_status, const struct rusage& usage);
