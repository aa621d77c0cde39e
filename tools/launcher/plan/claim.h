// One test per directory. A launcher holds an exclusive lock on a small file of its own in the
// directory for the whole run, and writes who it is into it; a second launcher, on this host
// or on another one that shares the directory, finds the lock taken before it touches
// anything and is refused with the first one's name.
#pragma once

#include <string>

constexpr const char* CLAIM_NAME = ".logtest-run.claim";

struct Claim {
  int fd = -1;
  std::string path;
};

// False, with "DIR is in use by the test started by PID 4711 on node7 at 10:42:05" or why the
// claim could not be made, if the directory is not ours.
bool claimDirectory(const std::string& dir, Claim& claim, std::string* error);

// Removes the claim file and lets the lock go.
void releaseClaim(Claim& claim);
