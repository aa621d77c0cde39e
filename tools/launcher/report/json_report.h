// The run's summary as JSON, for comparing runs and file systems: the same facts as the
// printed report. The shape is documented in logtest-run(1); "version" changes whenever a field
// changes meaning or goes away.
#pragma once

#include <cstdio>
#include <string>

#include "options.h"
#include "report.h"

constexpr int JSON_SUMMARY_VERSION = 4;

// Writes the document to out; false if writing failed.
bool writeJsonReport(FILE* out, const Report& r, const Options& opt);
