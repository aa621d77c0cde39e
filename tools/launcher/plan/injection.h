// A test with a fault in its writers, or in the readers of one path: the fault injector
// (liblogtest-inject.so) preloaded into each writer and reader, its fault chosen by
// LOGTEST_INJECT, which only the injector reads. logtest itself keeps no configuration.
#pragma once

#include <string>
#include <vector>

#include "inject/faults.h"

// Every fault of the injector, "none" first.
const std::vector<FaultRow>& faults();

// FAULT or FAULT:RATE with a known fault and 0 < RATE <= 1, for a run on this many paths of
// the log directory; otherwise false and *error.
bool checkFaultSpec(const std::string& spec, size_t paths, std::string* error);

// The injector beside logtest-run (a build tree), or in ../lib/logtest/ (an installation);
// empty if neither exists.
std::string findInjector();

// The variables each writer and reader gets: the injector preloaded, the fault, the file the
// injector reports to at exit (what its hooks saw and how often the fault acted), and for
// hidden-rename the path whose readers it acts in, the last of paths.
std::vector<std::string> injectionEnv(const std::string& injector, const std::string& spec,
                                      const std::string& report_file,
                                      const std::vector<std::string>& paths);

// The reports summed up; records 0 when there was no report (remote writers).
struct InjectionReport {
  unsigned long records = 0;  // data records written through the injector's stream
  unsigned long fired = 0;    // times the fault acted, in writers and readers
  unsigned writers = 0;       // writers that reported
};

InjectionReport readInjectionReport(const std::string& report_file);
