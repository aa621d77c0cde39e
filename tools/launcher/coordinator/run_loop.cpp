#include "run_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "control/log_format.h"
#include "log_dir.h"
#include "output_lines.h"
#include "proc_info.h"
#include "spawn.h"
#include "status_line.h"

// After SIGTERM a straggler gets this long before SIGKILL, and after SIGKILL this long to be
// reaped: a process stuck in the kernel (a hard NFS mount) cannot be reaped at all.
constexpr double TERM_SECONDS = 2;
constexpr double KILL_SECONDS = 5;

// Remote readers get this long to start before the writers start without them.
constexpr double READERS_READY_S = 30;

// Lines of one process echoed while the test runs; the rest go only to the summary.
constexpr int MAX_ECHOED_LINES = 20;

// Longest line kept whole; a longer one is split.
constexpr size_t MAX_LINE = 4096;

// Signal handlers only write the signal's number here; the loop below does the rest.
static int signal_pipe[2] = {-1, -1};

static void onSignal(int sig) {
  int saved_errno = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  (void)!write(signal_pipe[1], &byte, 1);
  errno = saved_errno;
}

static void installSignals() {
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("logtest-run: pipe");
    return;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
    sigaction(sig, &sa, nullptr);
  }
}

struct Watch {
  const RunSettings& opt;
  std::vector<Process>& procs;
  RunState& run;
  double start = 0;
  bool tty = false;
  bool stopping = false;
  double grace_end = 0;
  int kill_stage = 0;  // 0: waiting, 1: SIGTERM sent, 2: SIGKILL sent, 3: given up
  double stage_end = 0;
  int interrupts = 0;
  bool writers_started = false;
  unsigned ticks = 0;
  bool status_shown = false;  // a tty status line waits to be overwritten
};

static double elapsed(const Watch& w) {
  return monotonicSeconds() - w.start;
}

static void clearStatus(Watch& w) {
  if (w.status_shown) {
    fputs("\r\033[K", stdout);
    w.status_shown = false;
  }
}

static void beginStop(Watch& w, StopReason reason, MarkerResult* marker = nullptr) {
  if (w.stopping) {
    return;
  }
  w.stopping = true;
  w.run.stop_reason = reason;
  w.run.stop_s = elapsed(w);
  w.grace_end = w.run.stop_s + w.opt.grace;
  MarkerResult result = MarkerResult::AlreadyThere;
  if (reason != StopReason::Marker) {
    result = raiseStopMarker(w.opt.dir);
  }
  w.run.launcher_raised_marker = result == MarkerResult::Raised;
  if (result == MarkerResult::Failed) {
    w.run.launcher_errors.push_back("could not create StopTest; processes left to the grace time");
  }
  if (marker != nullptr) {
    *marker = result;
  }
}

// A line of the launcher's own while the test runs, above the status line.
static void say(Watch& w, const std::string& text) {
  if (w.opt.quiet) {
    return;
  }
  clearStatus(w);
  printf("%s\n", text.c_str());
  fflush(stdout);
}

// The first diagnostic stops the test at once: the sooner the others stop, the more of the log
// that holds the defect is left as it was for the explanation.
static void noteDiagnostic(Watch& w, Process& p, const std::string& line) {
  beginStop(w, StopReason::Diagnostic);
  p.diagnostics++;
  w.run.diagnostic_count++;
  if (w.run.diagnostics.size() < MAX_KEPT_DIAGNOSTICS) {
    w.run.diagnostics.push_back({processName(p), line, elapsed(w)});
  }
  if (w.opt.quiet || p.diagnostics > MAX_ECHOED_LINES + 1) {
    return;
  }
  clearStatus(w);
  if (p.diagnostics == MAX_ECHOED_LINES + 1) {
    printf("%s: ... (further lines are counted, not shown)\n", processName(p).c_str());
  } else {
    printf("%s: %s\n", processName(p).c_str(), line.c_str());
  }
  fflush(stdout);
}

// Shown once per process as it comes; the summary says how many followed.
static void noteRetry(Watch& w, Process& p, const std::string& line) {
  p.retry_notices++;
  w.run.retry_notice_count++;
  if (w.run.retry_notices.size() < MAX_KEPT_RETRY_NOTICES) {
    w.run.retry_notices.push_back({processName(p), line, elapsed(w)});
  }
  if (!w.opt.quiet && p.retry_notices == 1) {
    clearStatus(w);
    printf("%s: %s (retrying; not a failure unless it gives up)\n", processName(p).c_str(),
           line.c_str());
    fflush(stdout);
  }
}

static void handleLine(Watch& w, Process& p, const std::string& line) {
  OutputLine out = classifyLine(line);
  switch (out.kind) {
    case LineKind::LogRenamed:
      p.logs_renamed++;
      noteRenamed(w.run.sizes, out.number);
      noteRename(w.run.progress, out.number, processName(p), elapsed(w));
      break;
    case LineKind::CheckingLog:
      p.last_checking = out.number;
      noteChecking(w.run.progress, p.id - 1, out.number, elapsed(w));
      break;
    case LineKind::RemoteExit:
      p.remote_exit = static_cast<int>(out.number);
      break;
    case LineKind::RemoteStarted:
      p.remote_started = true;
      break;
    case LineKind::Done:
      break;
    case LineKind::RetryNotice:
      noteRetry(w, p, line);
      break;
    case LineKind::Diagnostic:
      noteDiagnostic(w, p, line);
      break;
  }
}

static void takeLines(Watch& w, Process& p) {
  size_t start = 0;
  for (size_t nl; (nl = p.partial.find('\n', start)) != std::string::npos; start = nl + 1) {
    handleLine(w, p, p.partial.substr(start, nl - start));
  }
  p.partial.erase(0, start);
  if (p.partial.size() > MAX_LINE) {
    handleLine(w, p, p.partial);
    p.partial.clear();
  }
}

static void closeOutput(Watch& w, Process& p) {
  if (!p.partial.empty()) {
    handleLine(w, p, p.partial);
    p.partial.clear();
  }
  close(p.out_fd);
  p.out_fd = -1;
}

// Reads what the pipe holds now; closes it at end of file.
static void readOutput(Watch& w, Process& p) {
  char buf[8192];
  while (p.out_fd >= 0) {
    ssize_t n = read(p.out_fd, buf, sizeof(buf));
    if (n > 0) {
      p.partial.append(buf, n);
      takeLines(w, p);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      closeOutput(w, p);
    } else if (errno == EAGAIN) {
      return;
    }
  }
}

static void readAllOutput(Watch& w) {
  for (Process& p : w.procs) {
    readOutput(w, p);
  }
}

static void startRole(Watch& w, Role role) {
  for (Process& p : w.procs) {
    std::string error;
    if (p.role == role && !startProcess(p, &error)) {
      w.run.launcher_errors.push_back("could not start " + processName(p) + ": " + error);
      beginStop(w, StopReason::StartFailed);
      return;
    }
  }
}

static bool readersReady(const Watch& w) {
  for (const Process& p : w.procs) {
    if (p.role == Role::Reader && !p.host.empty() && !p.remote_started && !p.reaped) {
      return false;
    }
  }
  return true;
}

// Readers start first and must be looking for log.1 before it can be written: one that
// starts after ten logs finds log.1 pruned and can verify nothing. A local reader is ready
// once forked; a remote one once its remote shell has said so, which an rsh connection can
// take seconds to do.
static void startWritersWhenReady(Watch& w) {
  if (w.writers_started || w.stopping) {
    return;
  }
  bool ready = readersReady(w);
  if (!ready && elapsed(w) < READERS_READY_S) {
    return;
  }
  if (!ready) {
    std::string text = "not every remote reader had started after " +
                       std::to_string(int(READERS_READY_S)) + " s; the writers start anyway";
    w.run.warnings.push_back({"readers_late", text});
    say(w, "logtest-run: warning: " + text);
  }
  w.writers_started = true;
  w.run.progress.appended_s = elapsed(w);  // no append could come before
  startRole(w, Role::Writer);
}

// A process that ends while the test runs has either seen StopTest (raised by someone the
// launcher has not heard from yet) or ended on its own. Raising the marker exclusively tells
// the two apart, and stops the others either way.
static void processEndedEarly(Watch& w, Process& p) {
  MarkerResult marker;
  beginStop(w, StopReason::ProcessEnded, &marker);
  if (marker == MarkerResult::Raised) {
    p.ended_early = true;
  } else if (marker == MarkerResult::AlreadyThere) {
    w.run.stop_reason = StopReason::Marker;
  }
}

// Exit status 0 of its own accord: a reader then finished the log it was checking. pdsh
// without -S exits 0 whatever happened remotely, but says so in a line.
static bool endedClean(const Process& p) {
  return !p.killed_by_launcher && WIFEXITED(p.wait_status) && WEXITSTATUS(p.wait_status) == 0 &&
         p.remote_exit <= 0;
}

static void reapChildren(Watch& w) {
  for (Process& p : w.procs) {
    if (p.reaped || p.pid <= 0) {
      continue;
    }
    pid_t got = wait4(p.pid, &p.wait_status, WNOHANG, &p.usage);
    if (got == 0 || (got < 0 && errno != ECHILD)) {
      continue;
    }
    p.reaped = true;
    p.end_s = elapsed(w);
    readOutput(w, p);  // whatever it printed before it ended counts
    if (!w.stopping) {
      processEndedEarly(w, p);
    }
    if (p.role == Role::Reader) {
      noteReaderEnd(w.run.progress, p.id - 1, endedClean(p));
    }
  }
}

static bool allEnded(const Watch& w) {
  for (const Process& p : w.procs) {
    if (!p.reaped && p.pid > 0 && !p.unreapable) {
      return false;
    }
  }
  return true;
}

static unsigned liveCount(const Watch& w) {
  unsigned live = 0;
  for (const Process& p : w.procs) {
    live += !p.reaped && p.pid > 0;
  }
  return live;
}

static void showStatus(Watch& w) {
  if (w.opt.quiet || (!w.tty && w.ticks % 10 != 0)) {
    return;
  }
  std::string text = statusText(w.run, elapsed(w), liveCount(w));
  if (w.tty) {
    printf("\r%s\033[K", text.c_str());
    w.status_shown = true;
  } else {
    printf("%s\n", text.c_str());
  }
  fflush(stdout);
}

static bool writersAlive(const Watch& w) {
  for (const Process& p : w.procs) {
    if (p.role == Role::Writer && p.pid > 0 && !p.reaped) {
      return true;
    }
  }
  return false;
}

static const Process* localProcess(const Watch& w, pid_t pid) {
  for (const Process& p : w.procs) {
    if (p.host.empty() && p.pid == pid && !p.reaped) {
      return &p;
    }
  }
  return nullptr;
}

// "writer 3 (PID 4711) holds the logInfo lock and is stopped": what this host can tell of why
// nothing moves. Remote holders are out of sight.
static std::string lockHolderText(const Watch& w) {
  std::vector<pid_t> holders = localFlockHolders(w.opt.dir + "/" + LOG_INFO_NAME);
  if (holders.empty()) {
    return "no process on this host holds the logInfo lock";
  }
  pid_t pid = holders[0];
  const Process* p = localProcess(w, pid);
  std::string who = p != nullptr ? processName(*p) + " (PID " + std::to_string(pid) + ")"
                                 : "PID " + std::to_string(pid) + ", not a process of this test,";
  return who + " holds the logInfo lock and is " + localStateName(pid);
}

// "writers sleeping: 1, 2; stopped: 3" for the local writers still alive.
static std::string writerStates(const Watch& w) {
  std::vector<std::pair<std::string, std::string>> groups;
  for (const Process& p : w.procs) {
    if (p.role != Role::Writer || !p.host.empty() || p.reaped || p.pid <= 0) {
      continue;
    }
    std::string state = localStateName(p.pid);
    auto it =
        std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == state; });
    if (it == groups.end()) {
      groups.push_back({state, std::to_string(p.id)});
    } else {
      it->second += ", " + std::to_string(p.id);
    }
  }
  std::string text;
  for (const auto& [state, ids] : groups) {
    text += (text.empty() ? "; writers " : "; ") + state + ": " + ids;
  }
  return text;
}

static void checkStall(Watch& w) {
  if (!writersAlive(w) || !stalled(w.run.progress, elapsed(w), w.opt.stall_timeout)) {
    return;
  }
  std::string text = "no byte appended for " + std::to_string(w.opt.stall_timeout) + " s; " +
                     lockHolderText(w) + writerStates(w);
  w.run.failures.push_back({"stall", text});
  say(w, "logtest-run: " + text);
  beginStop(w, StopReason::Stalled);
}

static bool pathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

static void checkReaders(Watch& w) {
  double now = elapsed(w);
  Progress& progress = w.run.progress;
  for (size_t i = 0; i < progress.readers.size(); i++) {
    unsigned next = nextLogOf(progress.readers[i]);
    if (next > 0) {
      noteNextLog(progress, i, pathExists(numberedLogPath(w.opt.dir, next)), now);
    }
  }
  std::vector<Finding> found = judgeMissingLogs(progress, now);
  for (const Finding& f : judgeLagging(progress, now, w.opt.stall_timeout)) {
    found.push_back(f);
  }
  for (const Finding& f : found) {
    bool failure = f.code == "log_vanished";
    (failure ? w.run.failures : w.run.warnings).push_back(f);
    say(w, std::string("logtest-run: ") + (failure ? "" : "warning: ") + f.text);
    if (failure) {
      beginStop(w, StopReason::LogVanished);
    }
  }
}

static void tick(Watch& w) {
  w.ticks++;
  // Lines already in the pipes announce renames the sample below must not miss.
  readAllOutput(w);
  sampleSizes(w.run.sizes, w.opt.dir);
  if (!w.run.sizes.numbered.empty()) {
    w.run.progress.highest_seen = w.run.sizes.numbered.rbegin()->first;
  }
  noteBytes(w.run.progress, w.run.sizes.total, elapsed(w));
  w.run.timeline.push_back(
      {w.ticks, w.run.sizes.total, logsWritten(w.run.sizes), slowestReaderVerified(w.run)});
  if (!w.stopping && stopMarkerExists(w.opt.dir)) {
    beginStop(w, StopReason::Marker);
  }
  if (!w.stopping && w.opt.duration > 0 && elapsed(w) >= w.opt.duration) {
    beginStop(w, StopReason::Duration);
  }
  if (!w.stopping) {
    checkStall(w);
  }
  if (!w.stopping) {
    checkReaders(w);
  }
  showStatus(w);
}

// Each process leads a process group of its own, so this reaches whatever it started too.
static void signalStragglers(Watch& w, int sig) {
  for (Process& p : w.procs) {
    if (!p.reaped && p.pid > 0) {
      p.killed_by_launcher = true;
      if (kill(-p.pid, sig) != 0) {
        kill(p.pid, sig);
      }
    }
  }
}

static void enforceGrace(Watch& w) {
  double now = elapsed(w);
  if (!w.stopping || now < w.grace_end) {
    return;
  }
  if (w.kill_stage == 0) {
    w.run.grace_waited_s = w.grace_end - w.run.stop_s;
    signalStragglers(w, SIGTERM);
    w.kill_stage = 1;
    w.stage_end = now + TERM_SECONDS;
  } else if (w.kill_stage == 1 && now >= w.stage_end) {
    signalStragglers(w, SIGKILL);
    w.kill_stage = 2;
    w.stage_end = now + KILL_SECONDS;
  } else if (w.kill_stage == 2 && now >= w.stage_end) {
    for (Process& p : w.procs) {
      p.unreapable = !p.reaped && p.pid > 0;
    }
    w.kill_stage = 3;
  }
}

static void takeSignals(Watch& w) {
  unsigned char sig;
  while (read(signal_pipe[0], &sig, 1) == 1) {
    if (sig == SIGCHLD) {
      continue;  // reaped below, every pass
    }
    w.interrupts++;
    if (!w.stopping) {
      beginStop(w, StopReason::Interrupted);
    } else if (w.interrupts > 1 && w.kill_stage == 0) {
      w.grace_end = elapsed(w);
      w.run.grace_cut_short = true;
    }
  }
}

// Waits for output, a signal or the next tick, whichever comes first.
static void pollOnce(Watch& w) {
  std::vector<struct pollfd> fds;
  std::vector<Process*> owners;
  fds.push_back({signal_pipe[0], POLLIN, 0});
  owners.push_back(nullptr);
  for (Process& p : w.procs) {
    if (p.out_fd >= 0) {
      fds.push_back({p.out_fd, POLLIN, 0});
      owners.push_back(&p);
    }
  }
  double wait = (w.ticks + 1) - elapsed(w);
  int timeout_ms = wait > 0 ? static_cast<int>(wait * 1000) + 1 : 0;
  if (poll(fds.data(), fds.size(), timeout_ms) <= 0) {
    return;
  }
  for (size_t i = 1; i < fds.size(); i++) {
    if (fds[i].revents != 0) {
      readOutput(w, *owners[i]);
    }
  }
}

static void setUpProgress(Watch& w) {
  for (const Process& p : w.procs) {
    if (p.role == Role::Reader) {
      ReaderProgress r;
      r.name = processName(p);
      r.where = p.path + (p.host.empty() ? "" : " on " + p.host);
      w.run.progress.readers.push_back(r);
    }
  }
}

void runTest(const RunSettings& opt, std::vector<Process>& processes, RunState& run) {
  Watch w{opt, processes, run};
  setUpProgress(w);
  w.tty = isatty(STDOUT_FILENO);
  installSignals();
  run.started = time(nullptr);
  w.start = monotonicSeconds();
  startRole(w, Role::Reader);
  startWritersWhenReady(w);  // at once when every reader is local
  while (!allEnded(w) && w.kill_stage < 3) {
    startWritersWhenReady(w);
    pollOnce(w);
    takeSignals(w);
    reapChildren(w);
    if (elapsed(w) >= w.ticks + 1) {
      tick(w);
    }
    enforceGrace(w);
  }
  // Output of processes that ended between the last read and their reaping.
  for (Process& p : w.procs) {
    readOutput(w, p);
    if (p.out_fd >= 0) {
      closeOutput(w, p);  // a killed process's descendants may still hold the pipe open
    }
  }
  sampleSizes(run.sizes, opt.dir);
  run.last_log = checkLastLog(opt.dir + "/" + LAST_LOG_NAME);
  run.end_s = elapsed(w);
  if (w.status_shown) {
    putchar('\n');  // the last status line stays on the screen
  }
}
