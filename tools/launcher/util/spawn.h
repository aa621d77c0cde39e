// Starting commands with their output on a pipe, and the one clock of the launcher.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A pipe (both ends close-on-exec, so no program started later holds them), then fork(). -1
// and *error on a failure, with the pipe closed; otherwise fork's result.
pid_t forkWithPipe(int fds[2], std::string* error);

// Seconds on a clock that no change of the time of day moves: for deadlines and durations.
double monotonicSeconds();

// Forks and execs argv in a process group of its own (a Ctrl-C meant for the launcher must
// not reach it), standard output and error into *out_fd (non-blocking); standard input from
// *in_fd's pipe when in_fd is given, else /dev/null. False and *error on a failure here; a
// failed exec shows as a line and exit status 127.
bool startCommand(const std::vector<std::string>& argv, pid_t* pid, int* out_fd, int* in_fd,
                  std::string* error);

// Runs argv to its end, or kills it after timeout_s; fills *output with what it printed
// (standard output and error). Returns its exit status, 128 + a signal, or -1 if it could not
// be started or had to be killed.
int runCaptured(const std::vector<std::string>& argv, double timeout_s, std::string* output);
