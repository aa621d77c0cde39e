// This program: where it lies and which version it is. Agents on other hosts are started from
// the same path, and must be the same version.
#pragma once

#include <string>

// The absolute path of the running logtest-run; "logtest-run" if /proc cannot tell.
std::string programPath();

// Its directory, with a trailing slash; empty if unknown.
std::string programDir();

// "logtest-run 1.0.0 (git 0123abcd)"; the commit only when built from a git checkout.
std::string versionText();
