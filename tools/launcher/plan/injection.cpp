#include "injection.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "self.h"

static const std::vector<FaultRow> FAULTS(std::begin(FAULT_TABLE), std::end(FAULT_TABLE));

const std::vector<FaultRow>& faults() {
  return FAULTS;
}

// hidden-rename hides renames from the readers of one path; the readers of another path are
// what it is measured against.
static const char* HIDDEN_RENAME = "hidden-rename";

static std::string faultOf(const std::string& spec) {
  return spec.substr(0, spec.find(':'));
}

bool checkFaultSpec(const std::string& spec, size_t paths, std::string* error) {
  std::string name = faultOf(spec);
  bool known = false;
  for (const FaultRow& f : FAULTS) {
    known = known || name == f.name;
  }
  if (!known) {
    *error = "unknown fault " + name + "; the faults are";
    for (const FaultRow& f : FAULTS) {
      *error += std::string(" ") + f.name;
    }
    return false;
  }
  if (name == HIDDEN_RENAME && paths < 2) {
    *error =
        "needs two DIRs (two paths to the same directory): it hides renames from the "
        "readers of the last one";
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
                                      const std::string& report_file,
                                      const std::vector<std::string>& paths) {
  // A sanitizer build's runtime wants to be loaded first; the injector comes before it.
  const char* asan = getenv("ASAN_OPTIONS");
  std::string asan_options = std::string(asan != nullptr && *asan ? asan : "");
  asan_options += (asan_options.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
  std::vector<std::string> env = {"LD_PRELOAD=" + injector, "LOGTEST_INJECT=" + spec,
                                  "LOGTEST_INJECT_REPORT=" + report_file,
                                  "ASAN_OPTIONS=" + asan_options};
  if (faultOf(spec) == HIDDEN_RENAME && paths.size() >= 2) {
    env.push_back("LOGTEST_INJECT_PATH=" + paths.back());
  }
  return env;
}

// A writer's line reads "pid=4242 fault=bit-flip rate=0.01 ... records=305 ... fired=3", a
// reader's "pid=4243 role=reader fault=hidden-rename rate=1 looks=1200 fired=4".
InjectionReport readInjectionReport(const std::string& report_file) {
  InjectionReport report;
  std::ifstream in(report_file);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    report.writers += line.find(" role=reader ") == std::string::npos;
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
