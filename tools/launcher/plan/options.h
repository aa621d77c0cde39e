// The launcher's command line.
#pragma once

#include <string>
#include <vector>

struct Options {
  int writers = 4;
  int readers = 2;
  int duration = 30;              // seconds; 0 runs until a process stops the test or Ctrl-C
  int grace = 15;                 // seconds each process has to end once StopTest exists
  int stall_timeout = 60;         // seconds without an append (or a reader's progress); 0: no watch
  std::vector<std::string> dirs;  // paths to one shared log directory; empty: a temporary one
  std::vector<std::string> hosts;  // empty: every process runs on this host
  std::string rsh = "ssh -o BatchMode=yes -o LogLevel=ERROR {host}";
  std::string logtest;  // absolute path once parseOptions has resolved it
  std::string json_file;
  bool keep = false;
  bool clean = false;
  bool quiet = false;
  bool no_preflight = false;
  std::string inject;  // FAULT[:RATE] for the writers; empty: none
  bool self_test = false;
  std::vector<std::string> command_line;  // as typed, for the report
};

// Exit statuses shared by every part of the launcher.
constexpr int EXIT_PASS = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_VERDICT = 3;

// "logtest-run 1.0.0 (git 0123abcd)"; the commit only when built from a git checkout.
std::string versionText();

// Fills opt from the command line, resolves the logtest executable and makes every DIR
// absolute. Returns -1 to go on, or the status to exit with at once (0 after --help or
// --version, EXIT_USAGE after an error it printed).
int parseOptions(int argc, char** argv, Options& opt);
