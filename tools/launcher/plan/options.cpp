#include "options.h"

#include <limits.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "injection.h"
#include "self.h"

static const char* const FOOTER = R"(
Directories:
  Without DIR a fresh directory is made under $TMPDIR (default /tmp) and removed after a
  PASS. A DIR must exist; it is made absolute, and that path is what every process and every
  host is given. Files of an earlier test in it (StopTest, last_log, log.N, a logInfo holding a
  log number) refuse the run unless --clean removes them (log.N with N a number only; log.txt
  stays), and then start logInfo and next_id afresh. logInfo (empty) and next_id ("0") are
  created when missing; an existing next_id is used as it is. A DIR in use by another test (a
  lock on its .logtest-run.claim) refuses the run. Several DIRs name one shared directory through different paths (two mounts,
  two clients): the first is prepared, and writers and readers are each spread over the paths
  round-robin.

Preflight (skipped with --no-preflight):
  Before any process starts: every derived file name fits logtest's 1,023 bytes; DIR holds no
  symlink named logInfo, next_id, last_log, StopTest or log.N; a file written through the first
  path reads back through every other path and on every host; and while the launcher holds
  flock on .logtest-run.claim, a non-blocking flock through every path and on every host fails.

Other hosts:
  With --hosts, each host runs one agent (logtest-run at the same path as here) that starts,
  watches and ends that host's processes; it is reached through the --rsh template, one
  connection per host, --fanout of them starting at once. The template is split at blanks,
  {host} is replaced, and one argument is appended, a shell command line such as
    exec '/usr/bin/logtest-run' 'agent' ... 'W1=/mnt/shared/dir' 'R2=/mnt/shared/dir'
  ssh and pdsh hand it to the remote shell; srun and env run it through 'sh -c':
    --rsh 'ssh -o BatchMode=yes -o LogLevel=ERROR {host}'
    --rsh 'pdsh -S -N -R ssh -w {host}'   (-N: no host prefix; -S: the remote exit status;
                                         -R ssh: Debian's pdsh runs rsh otherwise)
    --rsh 'srun -N1 -n1 --overlap -w {host} sh -c'
  The remote side runs logtest-run and logtest at the same paths, on the same DIR path. A host
  that cannot be reached, or whose logtest-run is missing or of another version, ends the run
  before any writer starts: NO VERDICT, exit status 4. A host lost during the run stops it:
  NO VERDICT (4) unless a defect was found before.

Faults:
  --inject FAULT[:RATE] preloads liblogtest-inject.so into every writer and reader (it must be
  beside logtest-run or in ../lib/logtest/, and at the same path on other hosts). FAULT is none,
  flock-noop, lost-write, short-write, bit-flip, dup-write, stale-size, fsync-eio, close-eio,
  torn-rename, slow-rename, drop-all, drop-one, late-write or hidden-rename (two DIRs: it acts
  in the readers of the last); RATE is the chance per event. --self-test runs each in turn and
  prints fault, expected, verdict, seconds to detection and first diagnostic.

Verdict:
  FAIL on any line other than the progress lines, a reader's retry notices and an rsh tool's
  report of a remote exit status; on any process that ends otherwise than by StopTest with
  status 0 (a writer's silent 1 at StopTest is fine), is killed, or outlives the grace time;
  when nothing is appended for --stall-timeout seconds while writers run; when a numbered log
  vanishes that no reader can have deleted; and when a log renamed more than 10 s before the
  stop was not verified through every path and host that has readers. A run in which no
  reader verified any log gives NO VERDICT (exit status 3), never PASS.

Exit status: 0 PASS (--self-test: every row as expected), 1 FAIL, 2 bad usage, a directory that cannot be prepared, a refused
preflight or a --json file that cannot be created, 3 NO VERDICT, 4 NO VERDICT because a host
could not start or was lost.)";

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
  app.add_option("--stall-timeout", opt.stall_timeout,
                 "Seconds without an append while writers run before the run fails, and "
                 "without progress before a reader is reported lagging; 0 turns both off")
      ->type_name("SECONDS")
      ->check(CLI::Range(0, 86400).description(""))
      ->capture_default_str();
  // One value: a DIR after it is never taken for a host.
  auto* hosts = app.add_option("--hosts", opt.hosts_text,
                               "Comma-separated hosts to start the processes on, round-robin")
                    ->type_name("H1,H2,...");
  app.add_option("--hostfile", opt.host_file, "File of host names, one per line ('#' comments)")
      ->type_name("FILE")
      ->excludes(hosts);
  app.add_option("--rsh", opt.rsh, "Command template that runs a command on {host}")
      ->type_name("TEMPLATE")
      ->capture_default_str();
  app.add_option("--fanout", opt.fanout,
                 "Hosts whose agents may be starting at once (one connection per host)")
      ->type_name("N")
      ->check(CLI::Range(1, 100000).description(""))
      ->capture_default_str();
  app.add_option("--logtest", opt.logtest,
                 "logtest executable (default: the one beside logtest-run, then PATH)")
      ->type_name("PATH");
  app.add_option("--json", opt.json_file, "Write a JSON summary to FILE")->type_name("FILE");
  CLI::Option* nemesis = app.add_option(
      "--nemesis", opt.nemesis,
      "Run CMD (through sh -c, on this host) every --nemesis-every seconds while the "
      "writers run, one at a time: a fault of the file system itself");
  nemesis->type_name("CMD");
  CLI::Option* every =
      app.add_option("--nemesis-every", opt.nemesis_every,
                     "Seconds from the writers' start to the first action, and between actions")
          ->type_name("SECONDS")
          ->check(CLI::Range(1, 86400).description(""))
          ->capture_default_str()
          ->needs(nemesis);
  app.add_option("--nemesis-at", opt.nemesis_at_text,
                 "Run CMD at these seconds from the writers' start instead, each START[:HOLD]; "
                 "HOLD reaches CMD as LOGTEST_NEMESIS_SECONDS (how long to keep its fault)")
      ->type_name("LIST")
      ->needs(nemesis)
      ->excludes(every);
  app.add_option("--report", opt.report_file,
                 "Write a self-contained HTML page of the run to FILE (also: logtest-run report)")
      ->type_name("FILE");
  app.add_flag("--keep", opt.keep, "Keep the temporary directory after a PASS");
  app.add_flag("--clean", opt.clean, "Remove files of an earlier test from DIR first");
  app.add_flag("--quiet", opt.quiet, "No status line; a short summary");
  app.add_flag("--no-preflight", opt.no_preflight,
               "Start without checking that the paths name one directory whose locks exclude");
  app.add_option("--inject", opt.inject,
                 "Run with this fault of the injector in every writer, at RATE per event")
      ->type_name("FAULT[:RATE]");
  app.add_flag("--self-test", opt.self_test,
               "Run every fault of the injector in turn on DIR (default: a temporary directory) "
               "and show that each is caught");
  app.set_version_flag("--version", versionText(), "Print the version and exit");
  app.add_option("DIR", opt.dirs, "Log directory, or several paths to the same one")->type_name("");
}

static bool isExecutable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

static std::string besideSelf(const char* name) {
  std::string dir = programDir();
  return dir.empty() ? "" : dir + name;
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

static std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) {
    parts.push_back(part);
  }
  if (!text.empty() && text.back() == separator) {
    parts.push_back("");  // a trailing comma names an empty host
  }
  return parts;
}

// --hosts, or --hostfile: one name per line, blanks around it, '#' comments and empty lines
// ignored.
static bool readHosts(Options& opt) {
  if (!opt.hosts_text.empty()) {
    opt.hosts = splitAt(opt.hosts_text, ',');
  }
  if (opt.host_file.empty()) {
    return true;
  }
  std::ifstream in(opt.host_file);
  if (!in) {
    fprintf(stderr, "logtest-run: --hostfile %s: %s\n", opt.host_file.c_str(), strerror(errno));
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos) {
      opt.hosts.push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
    }
  }
  if (opt.hosts.empty()) {
    fprintf(stderr, "logtest-run: --hostfile %s names no host\n", opt.host_file.c_str());
    return false;
  }
  return true;
}

// "20:5,45": starts in ascending order, each with an optional time to hold the fault.
static bool parseNemesisAt(const std::string& text, std::vector<NemesisSlot>& slots) {
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = std::min(text.find(',', at), text.size());
    std::string item = text.substr(at, comma - at);
    char* end = nullptr;
    NemesisSlot slot;
    slot.start_s = strtod(item.c_str(), &end);
    if (*end == ':') {
      const char* hold = end + 1;
      slot.seconds = strtod(hold, &end);
      if (end == hold || !(slot.seconds > 0)) {
        return false;
      }
    }
    if (item.empty() || *end != '\0' || !(slot.start_s >= 0 && slot.start_s <= 86400) ||
        slot.seconds > 86400 || (!slots.empty() && slot.start_s <= slots.back().start_s)) {
      return false;
    }
    slots.push_back(slot);
    at = comma + 1;
  }
  return true;
}

static bool checkCombinations(Options& opt, bool rsh_given) {
  if (!opt.nemesis_at_text.empty() && !parseNemesisAt(opt.nemesis_at_text, opt.nemesis_at)) {
    fprintf(stderr,
            "logtest-run: --nemesis-at %s: not a list of START[:HOLD] seconds, each START "
            "after the one before (20:5,45)\n",
            opt.nemesis_at_text.c_str());
    return false;
  }
  if (rsh_given && opt.hosts.empty()) {
    fprintf(stderr, "logtest-run: --rsh needs --hosts or --hostfile\n");
    return false;
  }
  if (!opt.hosts.empty() && opt.dirs.empty()) {
    fprintf(stderr, "logtest-run: --hosts needs a DIR that every host mounts\n");
    return false;
  }
  if (!opt.hosts.empty() && opt.rsh.find("{host}") == std::string::npos) {
    fprintf(stderr, "logtest-run: the --rsh template must contain {host}\n");
    return false;
  }
  std::string error;
  if (!opt.inject.empty() && !checkFaultSpec(opt.inject, opt.dirs.size(), &error)) {
    fprintf(stderr, "logtest-run: --inject %s: %s\n", opt.inject.c_str(), error.c_str());
    return false;
  }
  if (opt.self_test && (!opt.inject.empty() || !opt.hosts.empty() || opt.dirs.size() > 1)) {
    fprintf(stderr,
            "logtest-run: --self-test runs on this host, on one DIR, every fault in turn\n");
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
  if (!readHosts(opt) || !checkCombinations(opt, app.count("--rsh") > 0) || !resolveLogtest(opt)) {
    return EXIT_USAGE;
  }
  // Another host resolves a relative path in its login directory, not in ours.
  for (std::string& dir : opt.dirs) {
    dir = absolute(dir);
  }
  opt.command_line.assign(argv, argv + argc);
  return -1;
}
