// The run's summary as JSON, for comparing runs and file systems: the same facts as the
// printed report. The shape is documented in logtest-run(1); "version" changes whenever a field
// changes meaning or goes away.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "report.h"

constexpr int JSON_SUMMARY_VERSION = 4;

// The document as text.
std::string jsonReport(const Report& r, const Options& opt);

// Before anything is touched, for the file an option names (--json, --report): path must not
// lie in any of dirs (the test would write into the directory under test, and --clean or a
// reader could meet it), and its directory must take a new file. False and why otherwise.
bool checkOutputTarget(const std::string& option, const std::string& path,
                       const std::vector<std::string>& dirs, std::string* error);
