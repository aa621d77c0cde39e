// Checks made before any process starts, each of which would otherwise cost a run that proves
// nothing, or worse: names too long for logtest, symlinks it would write through, paths that
// are not one directory, and locks that do not exclude across paths and hosts.
#pragma once

#include <string>
#include <vector>

#include "spawn.h"

// Where processes will run: a host ("" for this one) and the path it is given.
struct Place {
  std::string host;
  std::string path;
};

// Before the directory is prepared: the names of every path. Prints each refusal, with what
// to do, on standard error and returns false.
bool preflightNames(const std::vector<std::string>& paths);

// Once logInfo exists: the paths and places show one directory whose flock excludes. paths[0]
// is the path the launcher prepared; places are where processes will run.
bool preflightSharing(const std::vector<std::string>& paths, const std::vector<Place>& places,
                      const Launch& launch, bool quiet);
