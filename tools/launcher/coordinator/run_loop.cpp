#include "run_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "control/log_format.h"
#include "links.h"
#include "log_dir.h"
#include "protocol.h"
#include "self.h"
#include "spawn.h"
#include "stall_text.h"
#include "status_line.h"

// An agent that has not answered this long after its connection started could not start.
constexpr double CONNECT_TIMEOUT_S = 30;

// Readers get this long to start everywhere before the writers start without them.
constexpr double READERS_READY_S = 30;

// Once the grace time is over the agents signal their stragglers (SIGTERM, two seconds,
// SIGKILL, five seconds); a host that has not reported its ends this long after is lost.
constexpr double REPORT_SLACK_S = 2 + 5 + 10;

// After a stall the agents are asked what they see; answers are waited for this long.
constexpr double DIAGNOSIS_WAIT_S = 3;

// Lines of one process echoed while the test runs; the rest go only to the summary.
constexpr int MAX_ECHOED_LINES = 20;

// Signal handlers only write the signal's number here; the loop below does the rest.
static int signal_pipe[2] = {-1, -1};

static void onSignal(int sig) {
  int saved_errno = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  (void)!write(signal_pipe[1], &byte, 1);
  errno = saved_errno;
}

static void installSignals() {
  if (signal_pipe[0] >= 0) {
    return;
  }
  signal(SIGPIPE, SIG_IGN);  // an agent that went away shows as EPIPE
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("logtest-run: pipe");
    return;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(sig, &sa, nullptr);
  }
}

// The launcher's single clock: seconds since the first agent was started.
static double run_start = 0;

static double elapsed() {
  return monotonicSeconds() - run_start;
}

struct Watch {
  const RunSettings& opt;
  std::vector<Process>& procs;
  std::vector<Link>& links;
  RunState& run;
  bool tty = false;
  bool stopping = false;
  int interrupts = 0;
  unsigned ticks = 0;
  bool writers_started = false;
  double stall_asked_s = -1;  // when the agents were asked about a stall
  bool status_shown = false;  // a tty status line waits to be overwritten
};

static void clearStatus(Watch& w) {
  if (w.status_shown) {
    fputs("\r\033[K", stdout);
    w.status_shown = false;
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

static void sendAll(Watch& w, const Json& command) {
  for (Link& link : w.links) {
    sendCommand(link, command);
  }
}

static void beginStop(Watch& w, StopReason reason, MarkerResult* marker = nullptr) {
  if (w.stopping) {
    return;
  }
  w.stopping = true;
  w.run.stop_reason = reason;
  w.run.stop_s = elapsed();
  w.run.grace_waited_s = w.opt.grace;
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
  sendAll(w, {{"c", "stop"}, {"grace", w.opt.grace}});
}

// The first diagnostic stops the test at once: the sooner the others stop, the more of the log
// that holds the defect is left as it was for the explanation.
static void noteDiagnostic(Watch& w, Process& p, const std::string& line) {
  beginStop(w, StopReason::Diagnostic);
  p.diagnostics++;
  w.run.diagnostic_count++;
  if (w.run.diagnostics.size() < MAX_KEPT_DIAGNOSTICS) {
    w.run.diagnostics.push_back({processName(p), line, elapsed()});
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
    w.run.retry_notices.push_back({processName(p), line, elapsed()});
  }
  if (!w.opt.quiet && p.retry_notices == 1) {
    clearStatus(w);
    printf("%s: %s (retrying; not a failure unless it gives up)\n", processName(p).c_str(),
           line.c_str());
    fflush(stdout);
  }
}

// The process a host's agent names by its tag; null for one not planned on that host.
static Process* processOf(Watch& w, const HostRecord& host, const Json& tag) {
  char role;
  int id;
  if (!tag.is_string() || !parseProcessTag(tag.get<std::string>(), &role, &id)) {
    return nullptr;
  }
  Role want = role == 'W' ? Role::Writer : Role::Reader;
  for (Process& p : w.procs) {
    if (p.role == want && p.id == id && p.host == host.name) {
      return &p;
    }
  }
  return nullptr;
}

static void loseHost(Watch& w, HostRecord& host, const std::string& why) {
  if (host.bye || host.lost) {
    return;
  }
  host.lost = true;
  host.lost_s = elapsed();
  host.lost_why = why;
  for (Process& p : w.procs) {
    if (p.host == host.name && !p.reaped) {
      p.lost = true;
    }
  }
  say(w, "logtest-run: " + host.name + " was lost: " + why);
  beginStop(w, StopReason::HostLost);
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

static void noteEnd(Watch& w, Process& p, const Json& m) {
  if (p.reaped) {
    return;
  }
  p.reaped = true;
  p.end_s = elapsed();
  p.exit.signalled = m["signal"].is_number();
  p.exit.signal = p.exit.signalled ? m["signal"].get<int>() : 0;
  p.exit.status = m["status"].is_number() ? m["status"].get<int>() : 0;
  p.exit.user_s = m.value("user_s", 0.0);
  p.exit.system_s = m.value("system_s", 0.0);
  p.exit.rss_kb = m.value("rss_kb", 0L);
  p.killed_by_launcher = m.value("killed", false);
  p.unreapable = m.value("unreapable", false);
  // Lines past those forwarded were only counted.
  int diagnostics = m.value("diagnostics", 0);
  if (diagnostics > p.diagnostics) {
    w.run.diagnostic_count += diagnostics - p.diagnostics;
    p.diagnostics = diagnostics;
  }
  int retries = m.value("retry_notices", 0);
  if (retries > p.retry_notices) {
    w.run.retry_notice_count += retries - p.retry_notices;
    p.retry_notices = retries;
  }
  if (!w.stopping) {
    processEndedEarly(w, p);
  }
  if (p.role == Role::Reader) {
    bool clean = !p.killed_by_launcher && !p.exit.signalled && p.exit.status == 0;
    noteReaderEnd(w.run.progress, p.id - 1, clean);
  }
}

static void noteTick(Watch& w, const HostRecord& host, const Json& m) {
  double now = elapsed();
  for (const Json& r : m.value("renamed", Json::array())) {
    unsigned log = r.at(0).get<unsigned>();
    Process* p = processOf(w, host, "W" + std::to_string(r.at(1).get<int>()));
    std::string writer = p != nullptr ? processName(*p) : "a writer";
    if (p != nullptr) {
      p->logs_renamed++;
    }
    noteRenamed(w.run.sizes, log);
    noteRename(w.run.progress, log, writer, now);
  }
  for (const Json& c : m.value("checking", Json::array())) {
    Process* p = processOf(w, host, "R" + std::to_string(c.at(0).get<int>()));
    if (p != nullptr) {
      p->last_checking = c.at(1).get<unsigned>();
      noteChecking(w.run.progress, p->id - 1, p->last_checking, now);
    }
  }
}

static void noteHello(HostRecord& host, const Json& m) {
  host.hello_s = elapsed();
  host.version = m.value("version", "");
  host.agent_pid = m.value("pid", -1);
  host.logtest = m.value("logtest", false);
  for (const Json& c : m.value("checks", Json::array())) {
    host.places.push_back({c.value("path", ""), c.value("token", ""), c.value("lock", "")});
  }
}

static void noteStarted(Watch& w, HostRecord& host, const Json& m) {
  for (const Json& s : m.value("procs", Json::array())) {
    Process* p =
        processOf(w, host, s.at(0).get<std::string>() + std::to_string(s.at(1).get<int>()));
    if (p != nullptr) {
      p->pid = s.at(2).get<pid_t>();
      p->start_s = elapsed();
    }
  }
  host.readers_up = true;  // agents start their readers first
}

static void noteDiagnosis(HostRecord& host, const Json& m) {
  host.diagnosed = true;
  for (const Json& h : m.value("holders", Json::array())) {
    host.lock_holders.push_back({h.at(0).get<pid_t>(), h.at(1).get<std::string>()});
  }
  for (const Json& s : m.value("states", Json::array())) {
    host.writer_states.push_back({s.at(0).get<std::string>(), s.at(1).get<std::string>()});
  }
}

static void handleMessage(Watch& w, HostRecord& host, const Json& m) {
  host.heard_s = elapsed();
  std::string e = m.value("e", "");
  if (e == "hello") {
    noteHello(host, m);
  } else if (e == "started") {
    noteStarted(w, host, m);
  } else if (e == "tick") {
    noteTick(w, host, m);
  } else if (e == "line") {
    if (Process* p = processOf(w, host, m["p"])) {
      std::string line = m.value("line", "");
      m.value("kind", "") == "retry" ? noteRetry(w, *p, line) : noteDiagnostic(w, *p, line);
    }
  } else if (e == "end") {
    if (Process* p = processOf(w, host, m["p"])) {
      noteEnd(w, *p, m);
    }
  } else if (e == "diagnosis") {
    noteDiagnosis(host, m);
  } else if (e == "bye") {
    host.bye = true;
  }
}

// Anything else a link carries is its remote shell's: a refusal, a banner, pdsh's report of an
// exit status. It is kept for the report, and never counted as the test's.
static void handleLine(Watch& w, size_t i, const std::string& line) {
  Json m;
  size_t prefix;
  HostRecord& host = w.run.hosts[i];
  if (decodeMessage(line, &m, &prefix)) {
    try {
      handleMessage(w, host, m);
    } catch (const nlohmann::json::exception& e) {
      // An agent of another version, or a line garbled on its way: the report keeps it.
      if (host.shell_lines.size() < MAX_SHELL_LINES) {
        host.shell_lines.push_back(line);
      }
    }
  } else if (!line.empty() && host.shell_lines.size() < MAX_SHELL_LINES) {
    host.shell_lines.push_back(line);
  }
}

static void readLinks(Watch& w, const std::vector<struct pollfd>& fds) {
  for (size_t i = 0; i < w.links.size(); i++) {
    if (w.links[i].out_fd < 0 || fds[i + 1].revents == 0) {
      continue;
    }
    for (const std::string& line : readLinkLines(w.links[i])) {
      handleLine(w, i, line);
    }
  }
}

// Waits for output, a signal or the next tick, whichever comes first; while the agents start
// there are no ticks, only a look now and then at who is late.
static void pollOnce(Watch& w, bool ticking = true) {
  std::vector<struct pollfd> fds;
  fds.push_back({signal_pipe[0], POLLIN, 0});
  for (const Link& link : w.links) {
    fds.push_back({link.out_fd, POLLIN, 0});  // a negative descriptor is skipped
  }
  double wait = ticking ? (w.ticks + 1) - elapsed() : 0.2;
  int timeout_ms = wait > 0 ? static_cast<int>(wait * 1000) + 1 : 0;
  if (poll(fds.data(), fds.size(), std::min(timeout_ms, 1000)) > 0) {
    readLinks(w, fds);
  }
}

static void takeSignals(Watch& w) {
  unsigned char sig;
  while (read(signal_pipe[0], &sig, 1) == 1) {
    w.interrupts++;
    if (!w.stopping) {
      beginStop(w, StopReason::Interrupted);
    } else if (w.interrupts > 1 && !w.run.grace_cut_short) {
      w.run.grace_waited_s = elapsed() - w.run.stop_s;
      w.run.grace_cut_short = true;
      sendAll(w, {{"c", "stop"}, {"grace", 0}});
    }
  }
}

// A host that has not said goodbye is lost when its connection closes or falls silent.
static void checkHosts(Watch& w) {
  double now = elapsed();
  for (size_t i = 0; i < w.links.size(); i++) {
    HostRecord& host = w.run.hosts[i];
    if (host.bye || host.lost) {
      continue;
    }
    if (w.links[i].closed) {
      loseHost(w, host, "its connection closed at " + std::to_string(int(now)) + " s");
    } else if (now - host.heard_s > AGENT_SILENCE_S) {
      loseHost(w, host, "no word from its agent since " + std::to_string(int(host.heard_s)) + " s");
    } else if (w.stopping && now > w.run.stop_s + w.opt.grace + REPORT_SLACK_S) {
      loseHost(w, host, "its processes' ends were not reported after the grace time");
    }
  }
}

static unsigned liveCount(const Watch& w) {
  unsigned live = 0;
  for (const Process& p : w.procs) {
    live += p.pid > 0 && !p.reaped && !p.lost;
  }
  return live;
}

static void showStatus(Watch& w) {
  if (w.opt.quiet || (!w.tty && w.ticks % 10 != 0)) {
    return;
  }
  std::string text = statusText(w.run, elapsed(), liveCount(w));
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
    if (p.role == Role::Writer && p.pid > 0 && !p.reaped && !p.lost) {
      return true;
    }
  }
  return false;
}

// A stall is judged once every agent has said what its /proc shows, or after a short wait.
static void checkStall(Watch& w) {
  double now = elapsed();
  if (w.stall_asked_s < 0) {
    if (writersAlive(w) && stalled(w.run.progress, now, w.opt.stall_timeout)) {
      w.stall_asked_s = now;
      sendAll(w, {{"c", "diagnose"}});
    }
    return;
  }
  bool answered = true;
  for (const HostRecord& h : w.run.hosts) {
    answered = answered && (h.diagnosed || h.lost || h.bye);
  }
  if (!answered && now - w.stall_asked_s < DIAGNOSIS_WAIT_S) {
    return;
  }
  std::string text = "no byte appended for " + std::to_string(w.opt.stall_timeout) + " s; " +
                     stallCause(w.run.hosts, w.procs);
  w.run.failures.push_back({"stall", text});
  say(w, "logtest-run: " + text);
  beginStop(w, StopReason::Stalled);
}

static bool pathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

static void checkReaders(Watch& w) {
  double now = elapsed();
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
  sendAll(w, {{"c", "hb"}});
  sampleSizes(w.run.sizes, w.opt.dir);
  if (!w.run.sizes.numbered.empty()) {
    w.run.progress.highest_seen = w.run.sizes.numbered.rbegin()->first;
  }
  noteBytes(w.run.progress, w.run.sizes.total, elapsed());
  w.run.timeline.push_back(
      {w.ticks, w.run.sizes.total, logsWritten(w.run.sizes), slowestReaderVerified(w.run)});
  if (!w.stopping && stopMarkerExists(w.opt.dir)) {
    beginStop(w, StopReason::Marker);
  }
  // The time runs from the writers' start: connecting to many hosts takes seconds of its own.
  if (!w.stopping && w.opt.duration > 0 && w.writers_started &&
      elapsed() >= w.run.progress.writers_s + w.opt.duration) {
    beginStop(w, StopReason::Duration);
  }
  if (!w.stopping && w.writers_started) {
    checkStall(w);
  }
  if (!w.stopping) {
    checkReaders(w);
  }
  checkHosts(w);
  showStatus(w);
}

// Readers start first and must be looking for log.1 before it can be written: one that
// starts after ten logs finds log.1 pruned and can verify nothing.
static void startWritersWhenReady(Watch& w) {
  if (w.writers_started || w.stopping) {
    return;
  }
  bool ready = true;
  for (const HostRecord& h : w.run.hosts) {
    ready = ready && h.readers_up;
  }
  if (!ready && elapsed() < READERS_READY_S) {
    return;
  }
  if (!ready) {
    std::string text = "not every host's readers had started after " +
                       std::to_string(int(READERS_READY_S)) + " s; the writers start anyway";
    w.run.warnings.push_back({"readers_late", text});
    say(w, "logtest-run: warning: " + text);
  }
  w.writers_started = true;
  w.run.progress.appended_s = elapsed();  // no append could come before
  w.run.progress.writers_s = elapsed();
  sendAll(w, {{"c", "writers"}});
}

static bool allReported(const Watch& w) {
  for (size_t i = 0; i < w.links.size(); i++) {
    const HostRecord& h = w.run.hosts[i];
    if (!h.lost && !(h.bye && w.links[i].closed)) {
      return false;
    }
  }
  return true;
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

// Waits up to a few seconds for every link's command to end, then ends what is left.
static void reapLinks(std::vector<Link>& links, double wait_s) {
  double deadline = monotonicSeconds() + wait_s;
  for (Link& link : links) {
    if (link.in_fd >= 0) {
      close(link.in_fd);
      link.in_fd = -1;
    }
  }
  for (Link& link : links) {
    while (!reapLink(link) && monotonicSeconds() < deadline) {
      usleep(20000);
    }
    if (!link.reaped) {
      killLink(link, SIGKILL);
      while (!reapLink(link)) {
        usleep(20000);
      }
    }
    if (link.out_fd >= 0) {
      close(link.out_fd);
      link.out_fd = -1;
    }
  }
}

static std::string shellSaid(const Link& link, const HostRecord& host) {
  if (!host.shell_lines.empty()) {
    return host.shell_lines[0];
  }
  return "(it printed nothing; exit status " + std::to_string(link.status) + ")";
}

static int connecting(const Watch& w) {
  int n = 0;
  for (size_t i = 0; i < w.links.size(); i++) {
    n += w.links[i].started_s >= 0 && w.run.hosts[i].hello_s < 0 && !w.links[i].closed;
  }
  return n;
}

// The first host that could not start, and why; empty while none has failed.
static std::string launchFailure(Watch& w) {
  double now = elapsed();
  for (size_t i = 0; i < w.links.size(); i++) {
    Link& link = w.links[i];
    HostRecord& host = w.run.hosts[i];
    std::string name = host.name.empty() ? "this host" : host.name;
    if (host.hello_s >= 0) {
      if (host.version != versionText()) {
        return name + " could not start: it runs " + host.version + ", this is " + versionText();
      }
      if (!host.logtest) {
        return name + " could not start: " + w.opt.logtest + " is not an executable there";
      }
      continue;
    }
    if (link.closed) {
      for (int i = 0; i < 50 && !reapLink(link); i++) {
        usleep(20000);
      }
      return name + " could not start: " + shellSaid(link, host);
    }
    if (link.started_s >= 0 && now - link.started_s > CONNECT_TIMEOUT_S) {
      return name + " could not start: no answer within " + std::to_string(int(CONNECT_TIMEOUT_S)) +
             " s" + (host.shell_lines.empty() ? "" : " (" + host.shell_lines[0] + ")");
    }
  }
  return "";
}

bool connectAgents(const RunSettings& opt, std::vector<Process>& processes,
                   std::vector<Link>& links, RunState& run) {
  Watch w{opt, processes, links, run};
  installSignals();
  run.started = time(nullptr);
  run_start = monotonicSeconds();
  for (const Link& link : links) {
    HostRecord host;
    host.name = link.host;
    host.command = link.argv;
    run.hosts.push_back(host);
  }
  size_t next = 0;
  for (;;) {
    while (next < links.size() && connecting(w) < opt.fanout) {
      std::string error;
      if (!startLink(links[next], elapsed(), &error)) {
        run.launch_failure = (run.hosts[next].name.empty() ? "this host" : run.hosts[next].name) +
                             " could not start: " + error;
        return false;
      }
      next++;
    }
    run.launch_failure = launchFailure(w);
    if (!run.launch_failure.empty()) {
      return false;
    }
    // An agent without input starts its readers as it says hello, and its writers once the
    // preflight's token is gone: every host's readers are up before that.
    bool all = next == links.size();
    for (size_t i = 0; i < links.size(); i++) {
      all = all && run.hosts[i].hello_s >= 0 && (links[i].input || run.hosts[i].readers_up);
    }
    if (all) {
      return true;
    }
    pollOnce(w, false);
    unsigned char sig;
    if (read(signal_pipe[0], &sig, 1) == 1) {
      run.launch_failure = "interrupted while the agents started";
      return false;
    }
  }
}

void dismissAgents(std::vector<Link>& links) {
  for (Link& link : links) {
    sendCommand(link, {{"c", "quit"}});
    killLink(link, link.input ? 0 : SIGTERM);
  }
  reapLinks(links, 5);
}

void runTest(const RunSettings& opt, std::vector<Process>& processes, std::vector<Link>& links,
             RunState& run) {
  Watch w{opt, processes, links, run};
  setUpProgress(w);
  w.tty = isatty(STDOUT_FILENO);
  w.ticks = static_cast<unsigned>(elapsed());
  for (HostRecord& h : run.hosts) {
    h.heard_s = elapsed();
  }
  sendAll(w, {{"c", "readers"}});
  while (!allReported(w)) {
    startWritersWhenReady(w);
    pollOnce(w);
    takeSignals(w);
    if (elapsed() >= w.ticks + 1) {
      tick(w);
    }
  }
  reapLinks(links, 5);
  sampleSizes(run.sizes, opt.dir);
  run.last_log = checkLastLog(opt.dir + "/" + LAST_LOG_NAME);
  run.end_s = elapsed();
  if (w.status_shown) {
    putchar('\n');  // the last status line stays on the screen
  }
}
