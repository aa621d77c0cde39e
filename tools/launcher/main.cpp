// logtest-run: prepares a log directory, checks that it is fit for a test, runs logtest
// writers and readers on it, watches them, stops the test and gives one verdict.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/log_format.h"
#include "explain.h"
#include "guard.h"
#include "injection.h"
#include "json_report.h"
#include "log_dir.h"
#include "options.h"
#include "preflight.h"
#include "report.h"
#include "run_loop.h"
#include "self_test.h"
#include "spawn.h"
#include "system_info.h"
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
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    fprintf(stderr, "logtest-run: --json %s: %s\n", path.c_str(), strerror(errno));
  }
  return f;
}

// Every place a process will run, once each.
static std::vector<Place> placesOf(const std::vector<Process>& processes) {
  std::vector<Place> places;
  for (const Process& p : processes) {
    bool known = false;
    for (const Place& place : places) {
      known = known || (place.host == p.host && place.path == p.path);
    }
    if (!known) {
      places.push_back({p.host, p.path});
    }
  }
  return places;
}

static bool checkBeforeStart(const Options& opt, const LogDir& dir,
                             const std::vector<Process>& processes, const Launch& launch) {
  if (opt.no_preflight) {
    return true;
  }
  return preflightNames(dir.paths) &&
         preflightSharing(dir.paths, placesOf(processes), launch, opt.quiet);
}

// With --inject, every writer preloads the injector, which reports to a file of ours at exit.
static bool setUpInjection(const Options& opt, Launch& launch, std::string* report_file) {
  if (opt.inject.empty()) {
    return true;
  }
  std::string injector = findInjector();
  char path[] = "/tmp/logtest-inject.XXXXXX";
  int fd = injector.empty() ? -1 : mkstemp(path);
  if (fd < 0) {
    fprintf(stderr,
            "logtest-run: --inject needs liblogtest-inject.so beside logtest-run or in "
            "../lib/logtest/, and a file in /tmp for its report\n");
    return false;
  }
  close(fd);
  *report_file = path;
  launch.writer_env = injectionEnv(injector, opt.inject, path);
  return true;
}

static bool removeIfPassed(const LogDir& dir, const Options& opt, VerdictKind kind) {
  // A run without readers is how writers alone are measured: nothing in it to inspect.
  if (kind == VerdictKind::Fail || opt.keep || !dir.temporary) {
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
  FILE* json = opt.json_file.empty() ? nullptr : openJson(opt.json_file);
  if (!opt.json_file.empty() && json == nullptr) {
    return EXIT_USAGE;
  }
  if (opt.self_test) {
    return runSelfTest(opt);
  }
  Launch launch{opt.logtest, opt.rsh, {}};
  std::string report_file;
  LogDir dir;
  std::vector<Process> processes;
  bool ready = setUpInjection(opt, launch, &report_file) &&
               prepareLogDir(opt.dirs, opt.clean, opt.quiet, dir);
  if (ready) {
    processes = planProcesses(opt.writers, opt.readers, dir.paths, opt.hosts, launch);
    ready = checkBeforeStart(opt, dir, processes, launch);
  }
  if (!ready) {
    if (!report_file.empty()) {
      unlink(report_file.c_str());
    }
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
  SystemInfo system = describeSystem(versionText(), dir.paths);

  RunState run;
  Guard guard;
  std::string error;
  if (!startGuard(dir.paths[0] + "/" + STOP_TEST_NAME, guard, &error)) {
    run.launcher_errors.push_back("could not start the guard process: " + error);
  }
  RunSettings settings{dir.paths[0], opt.duration, opt.grace, opt.stall_timeout, opt.quiet};
  runTest(settings, processes, run);
  dismissGuard(guard);

  Verdict verdict = decideVerdict(processes, run);
  Explanation explanation;
  if (verdict.kind == VerdictKind::Fail) {
    explanation = explainFailure(processes, run, dir.paths[0], opt.logtest);
  }
  bool kept = removeIfPassed(dir, opt, verdict.kind);
  Injection injection{opt.inject, {}};
  if (!report_file.empty()) {
    injection.report = readInjectionReport(report_file);
    unlink(report_file.c_str());
  }
  Report report{processes,        run,         verdict,  dir, kept, system,
                opt.command_line, explanation, injection};
  printReport(report, opt.quiet);
  if (json != nullptr && (!writeJsonReport(json, report, opt) || fclose(json) != 0)) {
    fprintf(stderr, "logtest-run: writing %s failed: %s\n", opt.json_file.c_str(), strerror(errno));
  }
  return exitStatusFor(verdict.kind);
}
