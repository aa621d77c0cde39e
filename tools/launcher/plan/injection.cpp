#include "injection.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "self.h"

// What each fault stands for and what a sound test must make of it. The first diagnostic of
// a FAIL row is the one the fault leads to first; locks that exclude nobody show in many ways.
static const std::vector<Fault> FAULTS = {
    {"none", "the injector itself is transparent", true, 10, ""},
    {"flock-noop", "locks that are local only, or a lock manager that lost its state", false, 30,
     "^(reader [0-9]+: (Unexpected (record offset|sequence numer|EOF)|Bad header at offset|"
     "Error: Data found beyond|Small log file)|writer [0-9]+: (New log file already exists|"
     "rename\\(\\)))"},
    {"lost-write", "lost write-back", false, 30,
     "^reader [0-9]+: Unexpected sequence numer for client ID"},
    {"short-write", "a torn append", false, 30,
     "^reader [0-9]+: (Cheksum failed for client ID|Unexpected EOF, missing data)"},
    {"bit-flip", "data corruption", false, 30, "^reader [0-9]+: Cheksum failed for client ID"},
    {"dup-write", "a retransmitted append", false, 30, "^reader [0-9]+: Unexpected record offset"},
    {"stale-size", "a stale attribute cache", false, 30,
     "^reader [0-9]+: Unexpected record offset"},
    {"fsync-eio", "a write-back error at fsync", false, 30,
     "^writer [0-9]+: fsync\\(last_log\\): Input/output error$"},
    {"close-eio", "a write-back error at close", false, 30,
     "^writer [0-9]+: fclose\\(last_log\\): Input/output error$"},
    {"torn-rename", "a rename visible to others before its data", false, 30,
     "^reader [0-9]+: Small log file, size = [0-9]+, min size = 1024000$"},
    {"slow-rename", "a slow but well-ordered rename", true, 10, ""},
};

const std::vector<Fault>& faults() {
  return FAULTS;
}

bool checkFaultSpec(const std::string& spec, std::string* error) {
  std::string name = spec.substr(0, spec.find(':'));
  bool known = false;
  for (const Fault& f : FAULTS) {
    known = known || name == f.name;
  }
  if (!known) {
    *error = "unknown fault " + name + "; the faults are";
    for (const Fault& f : FAULTS) {
      *error += std::string(" ") + f.name;
    }
    return false;
  }
  if (name.size() == spec.size()) {
    return true;
  }
  std::string rate = spec.substr(name.size() + 1);
  char* end = nullptr;
  double value = strtod(rate.c_str(), &end);
  if (rate.empty() || *end != '\0' || !(value > 0 && value <= 1)) {
    *error = "the rate of " + name + " must be above 0 and at most 1, not " + rate;
    return false;
  }
  return true;
}

std::string findInjector() {
  for (const char* where : {"", "../lib/logtest/"}) {
    std::string path = programDir() + where + "liblogtest-inject.so";
    if (access(path.c_str(), R_OK) == 0) {
      return path;
    }
  }
  return "";
}

std::vector<std::string> injectionEnv(const std::string& injector, const std::string& spec,
                                      const std::string& report_file) {
  // A sanitizer build's runtime wants to be loaded first; the injector comes before it.
  const char* asan = getenv("ASAN_OPTIONS");
  std::string asan_options = std::string(asan != nullptr && *asan ? asan : "");
  asan_options += (asan_options.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
  return {"LD_PRELOAD=" + injector, "LOGTEST_INJECT=" + spec,
          "LOGTEST_INJECT_REPORT=" + report_file, "ASAN_OPTIONS=" + asan_options};
}

// A line reads "pid=4242 fault=bit-flip rate=0.01 ... records=305 ... fired=3".
InjectionReport readInjectionReport(const std::string& report_file) {
  InjectionReport report;
  std::ifstream in(report_file);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    report.writers++;
    for (std::string field; fields >> field;) {
      size_t eq = field.find('=');
      std::string key = field.substr(0, eq);
      unsigned long value = strtoul(field.c_str() + eq + 1, nullptr, 10);
      if (key == "records") {
        report.records += value;
      } else if (key == "fired") {
        report.fired += value;
      }
    }
  }
  return report;
}
