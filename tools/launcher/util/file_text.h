// Small files read whole: /proc entries, JSON summaries, logs to explain.
#pragma once

#include <string>

// Every byte of path, or an empty string when it cannot be read.
std::string readFileText(const std::string& path);

// The first bytes (up to 128) of a small file of the directory, such as the preflight's token:
// never through a symlink, and never blocking on a FIFO put in its place. Empty if unreadable.
std::string readTokenFile(const std::string& path);
