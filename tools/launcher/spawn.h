// Starting the logtest processes, here or on other hosts, each with its output on a pipe.
#pragma once

#include <string>
#include <vector>

#include "log_dir.h"
#include "options.h"
#include "process.h"

// One word for a POSIX shell, single-quoted: it stays one word whatever it holds.
std::string shellQuote(const std::string& word);

// The words that run logtest in role on path: the executable itself when host is empty,
// otherwise the rsh template's words, {host} replaced, plus one shell command line.
std::vector<std::string> commandFor(const Options& opt, const std::string& host, char role,
                                    const std::string& path);

// Writers, then readers, each role spread round-robin over the hosts and over the paths.
std::vector<Process> planProcesses(const Options& opt, const LogDir& dir);

// Forks and execs p.argv in a process group of its own (a Ctrl-C meant for the launcher must
// not reach it), standard input from /dev/null, output into a pipe. False and *error on a
// failure here; a failed exec shows as a line from the child and exit status 127.
bool startProcess(Process& p, std::string* error);
