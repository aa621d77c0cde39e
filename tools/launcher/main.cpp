// logtest-run: prepares a log directory, checks that it is fit for a test, runs logtest
// writers and readers on it, watches them, stops the test and gives one verdict.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent.h"
#include "claim.h"
#include "control/log_format.h"
#include "explain.h"
#include "file_text.h"
#include "guard.h"
#include "html_report.h"
#include "injection.h"
#include "json_report.h"
#include "log_dir.h"
#include "options.h"
#include "plan.h"
#include "preflight.h"
#include "reach.h"
#include "report.h"
#include "run_loop.h"
#include "self.h"
#include "self_test.h"
#include "signal_pipe.h"
#include "system_info.h"
#include "verdict.h"
#include "writer_defect.h"

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

// With --inject, every writer and reader preloads the injector, which reports to a file of ours
// at exit.
static bool setUpInjection(const Options& opt, AgentArgs& agents, std::string* report_file) {
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
  agents.writer_env = injectionEnv(injector, opt.inject, path, opt.dirs);
  return true;
}

static bool removeIfPassed(const LogDir& dir, const Options& opt, VerdictKind kind) {
  // A run without readers is how writers alone are measured: nothing in it to inspect.
  if (kind == VerdictKind::Fail || opt.keep || !dir.temporary) {
    return true;
  }
  return !removeTestDir(dir.paths[0]);
}

static int agentCommand(int argc, char** argv) {
  AgentArgs args;
  std::string error;
  if (!parseAgentArgs(std::vector<std::string>(argv + 2, argv + argc), args, &error)) {
    fprintf(stderr, "logtest-run: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  // The injector's variables reach the readers too, through the environment every process of
  // the agent inherits: the injector acts in a reader only for a fault meant for readers.
  for (const std::string& var : args.writer_env) {
    putenv(const_cast<char*>(var.c_str()));
  }
  return agentMain(args);
}

// What every agent is given: the whole plan, this version, and the preflight's token name.
static AgentArgs agentBase(const Options& opt, const std::vector<Process>& processes) {
  AgentArgs args;
  args.version = versionText();
  args.logtest = opt.logtest;
  args.grace = opt.grace;
  for (const Process& p : processes) {
    args.plan.push_back({p.host, {p.role == Role::Writer ? 'W' : 'R', p.id, p.path}});
  }
  return args;
}

// Nothing of the test ran: what the launcher made goes again.
static int giveUp(int status, const LogDir& dir, const std::string& report_file) {
  if (!report_file.empty()) {
    unlink(report_file.c_str());
  }
  if (dir.temporary) {
    removeTestDir(dir.paths[0]);
  }
  return status;
}

static int interruptedAtStart() {
  fprintf(stderr, "logtest-run: interrupted during the preflight; no test was started\n");
  return EXIT_INTERRUPTED;
}

// Starts every host's agent while the preflight's token is there, so that each agent's look at
// its paths is part of the preflight; only once every check passed is the directory set up
// (--clean, the counters). Ctrl-C or SIGTERM meanwhile removes what the preflight made and
// says so. EXIT_PASS to go on.
static int startAgents(const Options& opt, const LogDir& dir, RunSettings& settings,
                       std::vector<Process>& processes, std::vector<Link>& links, RunState& run) {
  int interrupts = signalPipe({SIGINT, SIGTERM, SIGHUP});
  PreflightLock lock;
  if (!opt.no_preflight && !beginPreflight(dir.paths, lock)) {
    return EXIT_USAGE;
  }
  // Without a preflight the agents' readers may start at once: the directory must be ready.
  if (opt.no_preflight && !setUpLogDir(dir, opt.clean, opt.quiet)) {
    return EXIT_USAGE;
  }
  if (nextSignal(interrupts) != 0) {
    endPreflight(lock);
    return interruptedAtStart();
  }
  bool connected = connectAgents(settings, processes, links, run);
  int status = EXIT_PASS;
  if (!connected && run.start_interrupted) {
    status = EXIT_INTERRUPTED;
  } else if (!connected) {
    printf("NO VERDICT: %s\n", run.launch_failure.c_str());
    status = EXIT_HOST_FAILED;
  } else if (!opt.no_preflight && (!judgeAgentAnswers(run.hosts, dir.paths[0], lock, opt.quiet) ||
                                   !setUpLogDir(dir, opt.clean, opt.quiet))) {
    status = EXIT_USAGE;
  }
  // Agents of a run that does not go on end before the token goes: without input, an agent
  // takes the token's removal as the sign that its processes may start.
  if (status != EXIT_PASS) {
    dismissAgents(links);
  }
  endPreflight(lock);
  return status == EXIT_INTERRUPTED ? interruptedAtStart() : status;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "agent") {
    return agentCommand(argc, argv);
  }
  if (argc > 1 && std::string(argv[1]) == "report") {
    return reportCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  Options opt;
  int status = parseOptions(argc, argv, opt);
  if (status >= 0) {
    return status;
  }
  std::string error;
  if ((!opt.json_file.empty() && !checkOutputTarget("--json", opt.json_file, opt.dirs, &error)) ||
      (!opt.report_file.empty() &&
       !checkOutputTarget("--report", opt.report_file, opt.dirs, &error))) {
    fprintf(stderr, "logtest-run: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  if (opt.self_test) {
    return runSelfTest(opt);
  }
  AgentArgs agents;
  std::string report_file;
  LogDir dir;
  // Every check that can refuse comes before anything in the directory is created or removed;
  // the claim is the first file of ours there.
  if (!setUpInjection(opt, agents, &report_file) || !checkLogDir(opt.dirs, opt.clean, dir) ||
      (!opt.no_preflight && !preflightNames(dir.paths))) {
    return giveUp(EXIT_USAGE, dir, report_file);
  }
  Claim claim;
  if (!claimDirectory(dir.paths[0], claim, &error)) {
    fprintf(stderr, "logtest-run: %s\n", error.c_str());
    return giveUp(EXIT_USAGE, dir, report_file);
  }
  std::vector<Process> processes = planProcesses(opt.writers, opt.readers, dir.paths, opt.hosts);
  AgentArgs base = agentBase(opt, processes);
  base.writer_env = agents.writer_env;
  if (!opt.no_preflight) {
    base.token = preflightTokenName();
  }
  std::vector<Link> links = planLinks(opt.rsh, hostsOf(processes), base);
  RunSettings settings{dir.paths[0], opt.duration, opt.grace,   opt.stall_timeout, opt.quiet,
                       opt.fanout,   opt.logtest,  opt.nemesis, opt.nemesis_every, opt.nemesis_at};
  RunState run;
  status = startAgents(opt, dir, settings, processes, links, run);
  if (status != EXIT_PASS) {
    releaseClaim(claim);
    return giveUp(status, dir, report_file);
  }
  // A reader of our output that goes away must not take the test down with it.
  signal(SIGPIPE, SIG_IGN);
  if (!opt.quiet) {
    printPlan(opt, dir);
  }
  SystemInfo system = describeSystem(versionText(), dir.paths);

  Guard guard;
  if (!startGuard(dir.paths[0] + "/" + STOP_TEST_NAME, guard, &error)) {
    run.launcher_errors.push_back("could not start the guard process: " + error);
  }
  runTest(settings, processes, links, run);
  dismissGuard(guard);

  Verdict verdict = decideVerdict(processes, run);
  Explanation explanation;
  if (verdict.kind == VerdictKind::Fail) {
    CauseContext context = causeContextOf(run, !opt.no_preflight, opt.inject);
    explanation = explainFailure(processes, run, dir.paths[0], opt.logtest, context);
    if (!explanation.found) {
      explanation = explainWriterDefect(processes, run, dir.paths[0], context);
    }
    if (!explanation.found) {
      explanation = explainFinding(verdict.failures, run, dir.paths[0], opt.logtest, context);
    }
  }
  releaseClaim(claim);
  bool kept = removeIfPassed(dir, opt, verdict.kind);
  Injection injection{opt.inject, {}};
  if (!report_file.empty()) {
    injection.report = readInjectionReport(report_file);
    unlink(report_file.c_str());
  }
  Report report{processes,        run,         verdict,  dir, kept, system,
                opt.command_line, explanation, injection};
  printReport(report, opt.quiet);
  if (!opt.json_file.empty() &&
      !writeFileAtomically(opt.json_file, jsonReport(report, opt), &error)) {
    fprintf(stderr, "logtest-run: %s\n", error.c_str());
  }
  std::string page;
  if (!opt.report_file.empty() &&
      (!makeHtmlReport({jsonReport(report, opt)}, {opt.report_file}, &page, &error) ||
       !writeFileAtomically(opt.report_file, page, &error))) {
    fprintf(stderr, "logtest-run: --report: %s\n", error.c_str());
  }
  return exitStatusFor(verdict);
}
