// A test with a fault in its writers: the fault injector (liblogtest-inject.so) preloaded into
// each writer, its fault chosen by LOGTEST_INJECT, which only the injector reads. logtest
// itself keeps no configuration.
#pragma once

#include <string>
#include <vector>

#include "inject/faults.h"

// Every fault of the injector, "none" first.
const std::vector<FaultRow>& faults();

// FAULT or FAULT:RATE with a known fault and 0 < RATE <= 1; otherwise false and *error.
bool checkFaultSpec(const std::string& spec, std::string* error);

// The injector beside logtest-run (a build tree), or in ../lib/logtest/ (an installation);
// empty if neither exists.
std::string findInjector();

// The variables each writer gets: the injector preloaded, the fault, and the file the
// injector reports to at exit (what its hooks saw and how often the fault acted).
std::vector<std::string> injectionEnv(const std::string& injector, const std::string& spec,
                                      const std::string& report_file);

// The writers' reports summed up; records 0 when there was no report (remote writers).
struct InjectionReport {
  unsigned long records = 0;  // data records written through the injector's stream
  unsigned long fired = 0;    // times the fault acted
  unsigned writers = 0;       // writers that reported
};

InjectionReport readInjectionReport(const std::string& report_file);
