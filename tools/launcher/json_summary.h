// The run's summary as JSON, for comparing runs and file systems. The shape is documented in
// logtest-run(1); "version" changes whenever a field changes meaning or goes away.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "log_dir.h"
#include "options.h"
#include "process.h"
#include "run.h"
#include "summary.h"

constexpr int JSON_SUMMARY_VERSION = 1;

// A JSON string literal: quotes, backslashes and control characters escaped, and any byte
// that is not part of well-formed UTF-8 (output of a damaged file system can be anything)
// replaced by U+FFFD.
std::string jsonString(const std::string& text);

// Writes the summary to out; false if writing failed.
bool writeJsonSummary(FILE* out, const Options& opt, const LogDir& dir,
                      const std::vector<Process>& processes, const RunState& run,
                      const Outcome& outcome);
