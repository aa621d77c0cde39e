// The launcher's command line.
#pragma once

#include <string>
#include <vector>

struct Options {
  int writers = 4;
  int readers = 2;
  int duration = 30;               // seconds; 0 runs until a process stops the test or Ctrl-C
  int grace = 15;                  // seconds each process has to end once StopTest exists
  std::vector<std::string> dirs;   // paths to one shared log directory; empty: a temporary one
  std::vector<std::string> hosts;  // empty: every process runs on this host
  std::string rsh = "ssh -o BatchMode=yes -o LogLevel=ERROR {host}";
  std::string logtest;  // absolute path once parseOptions has resolved it
  std::string json_file;
  bool keep = false;
  bool clean = false;
  bool quiet = false;
};

// Exit statuses shared by every part of the launcher.
constexpr int EXIT_PASS = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

// Fills opt from the command line and resolves the logtest executable. Returns -1 to go on,
// or the status to exit with at once (0 after --help, EXIT_USAGE after an error it printed).
int parseOptions(int argc, char** argv, Options& opt);
