// Small files read whole: /proc entries, JSON summaries, logs to explain.
#pragma once

#include <string>

// Every byte of path, or an empty string when it cannot be read.
std::string readFileText(const std::string& path);
