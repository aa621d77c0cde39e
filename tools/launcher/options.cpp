#include "options.h"

#include <limits.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <sstream>

static const char* const FOOTER = R"(
Directories:
  Without DIR a fresh directory is made under $TMPDIR (default /tmp) and removed after a
  PASS. A DIR must exist; files of an earlier test in it (StopTest, last_log, log.N, a logInfo
  holding a log number) refuse the run unless --clean removes them. logInfo (empty) and next_id
  ("0") are created when missing; an existing next_id is used as it is. Several DIRs name one
  shared directory through different paths (two mounts, two clients): the first is prepared,
  and writers and readers are each spread over the paths round-robin.

Other hosts:
  With --hosts each process runs through the --rsh template: the template is split at blanks,
  {host} is replaced, and one argument is appended, a shell command line such as
    exec '/usr/bin/logtest' 'W' '/mnt/shared/dir'
  ssh and pdsh hand it to the remote shell; for srun or env end the template in 'sh -c'
  (e.g. --rsh 'srun -N1 -n1 -w {host} sh -c'). With pdsh use -N so lines carry no host prefix.
  The remote side runs logtest at the same path, on the same DIR path.

Figures:
  Logs written come from the writers' "Log rename" lines, logs verified from the readers'
  "Checking log N" lines (logs 1..N-1 verified; N too once the reader ends with status 0).
  Bytes are the sizes of the numbered logs and last_log; MB are 10^6 bytes. Records are
  estimated as bytes / 5156, the mean record size (36-byte header, payload 1..10239 bytes).

Verdict:
  FAIL on any line other than the progress lines and a reader's retry notices ("Rechecking
  for log terminator record", "Partial read, retrying."), and on any process that ends
  otherwise than by StopTest with status 0 (a writer's silent 1 at StopTest is fine), is
  killed, or outlives the grace time; also a reader that verified nothing in over a minute.

Exit status: 0 PASS, 1 FAIL, 2 bad usage or a directory that cannot be prepared.)";

static void addOptions(CLI::App& app, Options& opt) {
  app.add_option("-w,--writers", opt.writers, "Writer processes")
      ->type_name("N")
      ->check(CLI::Range(1, 100000).description(""))
      ->capture_default_str();
  app.add_option("-r,--readers", opt.readers, "Reader processes, each verifying every log")
      ->type_name("N")
      ->check(CLI::Range(0, 100000).description(""))
      ->capture_default_str();
  app.add_option("-t,--duration", opt.duration,
                 "Seconds before the launcher raises StopTest; 0 runs until a process stops "
                 "the test or Ctrl-C")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber.description(""))
      ->capture_default_str();
  app.add_option("--grace", opt.grace,
                 "Seconds the processes have to end once StopTest exists; then the launcher "
                 "kills them and the run fails")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 86400).description(""))
      ->capture_default_str();
  auto* hosts = app.add_option("--hosts", opt.hosts,
                               "Comma-separated hosts to start the processes on, round-robin")
                    ->type_name("H1,H2,...")
                    ->delimiter(',');
  app.add_option("--rsh", opt.rsh, "Command template that runs a command on {host}")
      ->type_name("TEMPLATE")
      ->needs(hosts)
      ->capture_default_str();
  app.add_option("--logtest", opt.logtest,
                 "logtest executable (default: the one beside logtest-run, then PATH)")
      ->type_name("PATH");
  app.add_option("--json", opt.json_file, "Write a JSON summary to FILE")->type_name("FILE");
  app.add_flag("--keep", opt.keep, "Keep the temporary directory after a PASS");
  app.add_flag("--clean", opt.clean, "Remove files of an earlier test from DIR first");
  app.add_flag("--quiet", opt.quiet, "No status line; a short summary");
  app.add_option("DIR", opt.dirs, "Log directory, or several paths to the same one")->type_name("");
}

static bool isExecutable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

static std::string besideSelf(const char* name) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) {
    return "";
  }
  std::string dir(self, n);
  return dir.substr(0, dir.rfind('/') + 1) + name;
}

static std::string searchPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (isExecutable(candidate)) {
      return candidate;
    }
  }
  return "";
}

// The same path is handed to other hosts, so it must not depend on this process's cwd.
static std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') {
    return path;
  }
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) {
    return path;
  }
  return std::string(cwd) + "/" + path;
}

static bool resolveLogtest(Options& opt) {
  std::string found;
  if (opt.logtest.empty()) {
    found = besideSelf("logtest");
    if (!isExecutable(found)) {
      found = searchPath("logtest");
    }
  } else if (opt.logtest.find('/') == std::string::npos) {
    found = searchPath(opt.logtest);
  } else {
    found = opt.logtest;
  }
  if (!isExecutable(found)) {
    fprintf(stderr, "logtest-run: no executable logtest found%s%s; name one with --logtest\n",
            opt.logtest.empty() ? "" : " at ", opt.logtest.c_str());
    return false;
  }
  opt.logtest = absolute(found);
  return true;
}

static bool checkCombinations(const Options& opt) {
  if (!opt.hosts.empty() && opt.dirs.empty()) {
    fprintf(stderr, "logtest-run: --hosts needs a DIR that every host mounts\n");
    return false;
  }
  if (!opt.hosts.empty() && opt.rsh.find("{host}") == std::string::npos) {
    fprintf(stderr, "logtest-run: the --rsh template must contain {host}\n");
    return false;
  }
  for (const std::string& host : opt.hosts) {
    if (host.empty()) {
      fprintf(stderr, "logtest-run: empty host name in --hosts\n");
      return false;
    }
  }
  return true;
}

int parseOptions(int argc, char** argv, Options& opt) {
  CLI::App app{"Runs a logtest stress test: writers and readers on one shared log directory.",
               "logtest-run"};
  app.footer(FOOTER);
  addOptions(app, opt);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? EXIT_PASS : EXIT_USAGE;
  }
  if (!checkCombinations(opt) || !resolveLogtest(opt)) {
    return EXIT_USAGE;
  }
  return -1;
}
