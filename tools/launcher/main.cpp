// logtest-run: prepares a log directory, runs logtest writers and readers on it, watches them,
// stops the test and reports PASS or FAIL.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "json_summary.h"
#include "log_dir.h"
#include "monitor.h"
#include "options.h"
#include "spawn.h"
#include "summary.h"
#include "verdict.h"

static void printPlan(const Options& opt, const LogDir& dir) {
  printf("logtest-run: %d writer%s, %d reader%s, %s on %s", opt.writers,
         opt.writers == 1 ? "" : "s", opt.readers, opt.readers == 1 ? "" : "s",
         opt.duration > 0 ? (std::to_string(opt.duration) + " s").c_str() : "until stopped",
         dir.paths[0].c_str());
  for (size_t i = 1; i < dir.paths.size(); i++) {
    printf(" + %s", dir.paths[i].c_str());
  }
  if (!opt.hosts.empty()) {
    printf(" from %zu host%s", opt.hosts.size(), opt.hosts.size() == 1 ? "" : "s");
  }
  printf("\n");
  fflush(stdout);
}

// Opened before the run, so a JSON file that cannot be written stops nothing half way.
static FILE* openJson(const std::string& path) {
  if (path.empty()) {
    return nullptr;
  }
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    fprintf(stderr, "logtest-run: --json %s: %s\n", path.c_str(), strerror(errno));
  }
  return f;
}

static bool keepDir(const Options& opt, const LogDir& dir, bool pass) {
  if (!pass || opt.keep || !dir.temporary) {
    return true;
  }
  return !removeTestDir(dir.paths[0]);
}

int main(int argc, char** argv) {
  Options opt;
  int status = parseOptions(argc, argv, opt);
  if (status >= 0) {
    return status;
  }
  FILE* json = openJson(opt.json_file);
  if (!opt.json_file.empty() && json == nullptr) {
    return EXIT_USAGE;
  }
  LogDir dir;
  if (!prepareLogDir(opt, dir)) {
    if (dir.temporary) {
      removeTestDir(dir.paths[0]);
    }
    return EXIT_USAGE;
  }
  // A reader of our output that goes away must not take the test down with it.
  signal(SIGPIPE, SIG_IGN);
  if (!opt.quiet) {
    printPlan(opt, dir);
  }

  std::vector<Process> processes = planProcesses(opt, dir);
  RunState run;
  runTest(opt, dir, processes, run);

  Outcome outcome;
  outcome.failures = findFailures(opt, processes, run);
  outcome.dir_kept = keepDir(opt, dir, outcome.failures.empty());
  printSummary(opt, dir, processes, run, outcome);
  if (json != nullptr &&
      (!writeJsonSummary(json, opt, dir, processes, run, outcome) || fclose(json) != 0)) {
    fprintf(stderr, "logtest-run: writing %s failed: %s\n", opt.json_file.c_str(), strerror(errno));
  }
  return outcome.failures.empty() ? EXIT_PASS : EXIT_FAIL;
}
