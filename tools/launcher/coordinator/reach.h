// How the coordinator reaches each host's agent. This host's agent is a child of the launcher;
// every other host gets one connection through the --rsh template, whatever the number of its
// processes, except with srun: one job step then starts every host's agent, one task per
// node, each picking its part of the plan by the node's name. The agent's command line is the
// same everywhere: this program's path, "agent", and the plan.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "agent.h"

struct Link {
  std::vector<std::string> hosts;  // the hosts whose agents it carries; "" for this host
  std::vector<std::string> argv;
  bool input = true;  // carries the coordinator's commands (pdsh passes no input on)

  pid_t pid = -1;
  int in_fd = -1;   // the agent's standard input
  int out_fd = -1;  // its standard output and error, and the remote shell's
  std::string partial;
  double started_s = -1;
  bool closed = false;  // end of its output
  bool reaped = false;
  int status = -1;  // exit status of the command, 128 + signal
};

// One word for a POSIX shell, single-quoted: it stays one word whatever it holds.
std::string shellQuote(const std::string& word);

// The words that run a shell command line on host: the template's words, {host} replaced,
// plus the command line as one last argument.
std::vector<std::string> remoteCommand(const std::string& rsh, const std::string& host,
                                       const std::string& command_line);

// One link per host ("" for this host); each agent gets the whole plan and picks its part.
std::vector<Link> planLinks(const std::string& rsh, const std::vector<std::string>& hosts,
                            const AgentArgs& base);
