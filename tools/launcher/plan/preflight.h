// Checks made before any process starts, each of which would otherwise cost a run that proves
// nothing, or worse: names too long for logtest, symlinks it would write through, paths that
// are not one directory, and locks that do not exclude across paths and hosts.
#pragma once

#include <string>
#include <vector>

#include "run_state.h"

// Before the directory is prepared: the names of every path. Prints each refusal, with what
// to do, on standard error and returns false.
bool preflightNames(const std::vector<std::string>& paths);

// The launcher's side of the sharing checks: the claim's lock (held through the first path for
// the whole run) and a token file written there, which every other path and every host's agent
// must show, and whose lock none of them may get.
struct PreflightLock {
  std::string token;       // what the file holds
  std::string token_name;  // its name in the directory, for the agents
  std::string token_path;
};

// The token file's name: a name of its own per run, so two launchers on one directory do not
// read each other's.
std::string preflightTokenName();

// While the directory is claimed: writes the token and checks every local path. False, with
// the refusal printed and nothing left behind, if any check fails.
bool beginPreflight(const std::vector<std::string>& paths, PreflightLock& lock);

// What each host's agent saw while the lock was held: the token, and a lock that excludes.
bool judgeAgentAnswers(const std::vector<HostRecord>& hosts, const std::string& first,
                       const PreflightLock& lock, bool quiet);

// Removes the token.
void endPreflight(PreflightLock& lock);
