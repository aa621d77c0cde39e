// The agent: one per host of a test, this one included. It starts that host's writers and
// readers when the coordinator says so, reaps them, forwards their diagnostics at once, folds
// their progress into one line a second, and answers a stall with what /proc shows. It ends
// its processes itself after the grace time, so a lost coordinator leaves nothing running:
// `logtest-run agent ...`, started by the coordinator, never by hand.
#pragma once

#include <string>
#include <vector>

struct AgentProcess {
  char role = 'W';
  int id = 0;
  std::string path;
};

struct AgentArgs {
  std::string name;           // the host as the coordinator calls it; "" for its own
  std::string name_from_env;  // or the variable that holds it (one command for many hosts)
  std::string version;        // the coordinator's; a different one of ours is refused by it
  std::string logtest;
  std::string token;      // the preflight's file name in each path; empty: no checks
  int grace = 15;         // seconds its processes get once the coordinator is lost
  bool no_input = false;  // the remote shell carries no input (pdsh): go on alone
  // Without input: writers start this long after the readers, which start when the token is
  // gone; a host that sees its removal late still has its readers up before log.1 is pruned.
  double writers_after_s = 3;
  std::vector<std::string> writer_env;
  std::vector<std::pair<std::string, AgentProcess>> plan;  // host, process
};

// Parses what follows "agent"; false and *error on anything it does not know.
bool parseAgentArgs(const std::vector<std::string>& args, AgentArgs& out, std::string* error);

// The words that follow "agent" for this plan: the inverse of parseAgentArgs.
std::vector<std::string> agentArgWords(const AgentArgs& args);

// Runs the agent; its exit status.
int agentMain(const AgentArgs& args);
