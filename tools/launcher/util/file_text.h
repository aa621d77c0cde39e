// Small files read whole (/proc entries, JSON summaries, tokens), and the launcher's own
// output files written whole.
#pragma once

#include <string>

// Every byte of path, or an empty string when it cannot be read.
std::string readFileText(const std::string& path);

// The first bytes (up to 128) of a small file of the directory, such as the preflight's token:
// never through a symlink, and never blocking on a FIFO put in its place. Empty if unreadable.
std::string readTokenFile(const std::string& path);

// The directory part of path: "." for a bare name.
std::string directoryOf(const std::string& path);

// Writes text to a file beside path and renames it into place, readable by all: a run
// refused, killed or interrupted while writing never leaves a half-written file, nor truncates
// an earlier one. False and why otherwise.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string* error);
