// The coordinator: starts one agent per host, merges what they report, applies the progress
// rules, stops the test when it is time, and waits for every agent to report its processes'
// ends. The agents start, watch and, after the grace time, kill the processes.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "reach.h"
#include "run_state.h"

// Hosts whose agents start at once at most: a host's sshd refuses connections beyond its
// MaxStartups, and a login node has limits of its own.
constexpr int DEFAULT_FANOUT = 32;

struct RunSettings {
  std::string dir;  // the path the launcher watches and raises StopTest in
  int duration = 0;
  int grace = 15;
  int stall_timeout = 60;
  bool quiet = false;
  int fanout = DEFAULT_FANOUT;
  std::string logtest;  // for what an agent says of it
  std::string nemesis;  // a command that makes the file system misbehave, run now and then
  int nemesis_every = 10;
  std::vector<NemesisSlot> nemesis_at;
};

// Starts every link, at most settings.fanout answering at once, and waits until each agent has
// said hello (with its look at its paths) or failed. False, with run.launch_failure saying
// which host could not start and why, if any did; no process of the test has started then.
bool connectAgents(const RunSettings& settings, std::vector<Process>& processes,
                   std::vector<Link>& links, RunState& run);

// Tells every agent to end without starting anything, and waits briefly for them.
void dismissAgents(std::vector<Link>& links);

// Runs the test on connected agents: readers everywhere first, then writers everywhere.
// Returns once every agent has reported its processes' ends or was given up as lost. SIGINT,
// SIGTERM and SIGHUP raise StopTest; a second one ends the grace time at once.
void runTest(const RunSettings& settings, std::vector<Process>& processes, std::vector<Link>& links,
             RunState& run);
