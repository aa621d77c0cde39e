// The launcher's command line.
#pragma once

#include <string>
#include <vector>

#include "verdict.h"

struct Options {
  int writers = 4;
  int readers = 2;
  int duration = 30;              // seconds; 0 runs until a process stops the test or Ctrl-C
  int grace = 15;                 // seconds each process has to end once StopTest exists
  int stall_timeout = 60;         // seconds without an append (or a reader's progress); 0: no watch
  std::vector<std::string> dirs;  // paths to one shared log directory; empty: a temporary one
  std::vector<std::string> hosts;  // empty: every process runs on this host
  std::string hosts_text;          // --hosts as given: "h1,h2"
  std::string host_file;           // --hostfile
  std::string report_file;         // --report: an HTML page of the run
  std::string nemesis;             // a command run now and then during the test
  int nemesis_every = 10;
  std::string nemesis_at_text;          // --nemesis-at as given: "20:5,45"
  std::vector<NemesisSlot> nemesis_at;  // parsed from it
  std::string rsh = "ssh -o BatchMode=yes -o LogLevel=ERROR {host}";
  std::string logtest;  // absolute path once parseOptions has resolved it
  std::string json_file;
  bool keep = false;
  bool clean = false;
  bool quiet = false;
  bool no_preflight = false;
  std::string inject;  // FAULT[:RATE] for the writers; empty: none
  bool self_test = false;
  int fanout = 32;                        // hosts whose agents start at once
  std::vector<std::string> command_line;  // as typed, for the report
};

// Fills opt from the command line, resolves the logtest executable and makes every DIR
// absolute. Returns -1 to go on, or the status to exit with at once (0 after --help or
// --version, EXIT_USAGE after an error it printed).
int parseOptions(int argc, char** argv, Options& opt);
