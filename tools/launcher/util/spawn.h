// Starting processes, here or on other hosts through an rsh template, with their output on a
// pipe.
#pragma once

#include <string>
#include <vector>

#include "process.h"

// How logtest is run: its path (the same on every host), the rsh template, and variables
// ("NAME=value") that writers alone get (the fault injector's).
struct Launch {
  std::string logtest;
  std::string rsh;
  std::vector<std::string> writer_env;
};

// One word for a POSIX shell, single-quoted: it stays one word whatever it holds.
std::string shellQuote(const std::string& word);

// The words that run a shell command line on host: the template's words, {host} replaced,
// plus the command line as one last argument.
std::vector<std::string> remoteCommand(const std::string& rsh, const std::string& host,
                                       const std::string& command_line);

// The words that run logtest in role on path: the executable itself when host is empty,
// otherwise through the template, with env set in front ("env NAME=value ...").
std::vector<std::string> commandFor(const Launch& launch, const std::string& host, char role,
                                    const std::string& path,
                                    const std::vector<std::string>& env = {});

// The command line a remote process was given ("echo ...; exec '/usr/bin/logtest' 'W' '/dir'").
std::string remoteCommandLine(const Process& p);

// Writers, then readers, each role spread round-robin over the hosts and over the paths.
std::vector<Process> planProcesses(int writers, int readers, const std::vector<std::string>& paths,
                                   const std::vector<std::string>& hosts, const Launch& launch);

// A pipe (both ends close-on-exec, so no program started later holds them), then fork(). -1
// and *error on a failure, with the pipe closed; otherwise fork's result.
pid_t forkWithPipe(int fds[2], std::string* error);

// Forks and execs p.argv in a process group of its own (a Ctrl-C meant for the launcher must
// not reach it), standard input from /dev/null, output into a pipe. False and *error on a
// failure here; a failed exec shows as a line from the child and exit status 127.
bool startProcess(Process& p, std::string* error);

// Seconds on a clock that no change of the time of day moves: for deadlines and durations.
double monotonicSeconds();

// Runs argv to its end, or kills it after timeout_s; fills *output with what it printed
// (standard output and error). Returns its exit status, 128 + a signal, or -1 if it could not
// be started or had to be killed.
int runCaptured(const std::vector<std::string>& argv, double timeout_s, std::string* output);
