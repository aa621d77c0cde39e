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
#include "events.h"
#include "links.h"
#include "log_dir.h"
#include "protocol.h"
#include "self.h"
#include "signal_pipe.h"
#include "spawn.h"
#include "stall_text.h"
#include "status_line.h"
#include "watch.h"

// An agent that has not answered this long after its connection started could not start.
constexpr double CONNECT_TIMEOUT_S = 30;

// Readers get this long to start everywhere before the writers start without them.
constexpr double READERS_READY_S = 30;

// Once the grace time is over the agents signal their stragglers (SIGTERM, two seconds,
// SIGKILL, five seconds); a host that has not reported its ends this long after is lost.
constexpr double REPORT_SLACK_S = 2 + 5 + 10;

// The last look reads up to a thousand logs through each path; a host that has not answered
// by then is left out of it.
constexpr double LOOK_WAIT_S = 120;

// After a stall the agents are asked what they see; answers are waited for this long.
constexpr double DIAGNOSIS_WAIT_S = 3;

// SIGINT, SIGTERM and SIGHUP, as bytes for the loop; -1 until the agents are started.
static int signal_fd = -1;

static void readLinks(Watch& w, const std::vector<struct pollfd>& fds) {
  for (size_t i = 0; i < w.links.size(); i++) {
    if (w.links[i].out_fd < 0 || fds[i + 1].revents == 0) {
      continue;
    }
    for (const std::string& line : readLinkLines(w.links[i])) {
      handleAgentLine(w, i, line);
    }
  }
}

// The time runs from the writers' start: connecting to many hosts takes seconds of its own.
static double durationLeft(const Watch& w) {
  if (w.stopping || w.opt.duration == 0 || !w.writers_started) {
    return 1e9;
  }
  return w.run.progress.writers_s + w.opt.duration - elapsed();
}

// Waits for output, a signal or the next tick, whichever comes first; while the agents start
// there are no ticks, only a look now and then at who is late.
static void pollOnce(Watch& w, bool ticking = true) {
  std::vector<struct pollfd> fds;
  fds.push_back({signal_fd, POLLIN, 0});
  for (const Link& link : w.links) {
    fds.push_back({link.out_fd, POLLIN, 0});  // a negative descriptor is skipped
  }
  double wait = ticking ? std::min((w.ticks + 1) - elapsed(), durationLeft(w)) : 0.2;
  int timeout_ms = wait > 0 ? static_cast<int>(wait * 1000) + 1 : 0;
  if (poll(fds.data(), fds.size(), std::min(timeout_ms, 1000)) > 0) {
    readLinks(w, fds);
  }
}

static void takeSignals(Watch& w) {
  while (nextSignal(signal_fd) != 0) {
    w.interrupts++;
    if (!w.stopping) {
      // With -t 0 an interrupt is how a run ends; otherwise it cuts the run short.
      w.run.cut_short = w.opt.duration > 0;
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
  for (HostRecord& host : w.run.hosts) {
    if (host.bye || host.lost) {
      continue;
    }
    if (w.links[host.link].closed) {
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
  w.run.events.push_back({elapsed(), "stall"});
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
  for (const Finding& f : judgeCoverageLost(progress, now)) {
    found.push_back(f);
  }
  for (const Finding& f : found) {
    bool failure = f.code == "log_vanished" || f.code == "coverage";
    (failure ? w.run.failures : w.run.warnings).push_back(f);
    w.run.events.push_back({now, f.code});
    say(w, std::string("logtest-run: ") + (failure ? "" : "warning: ") + f.text);
    if (failure) {
      beginStop(w, f.code == "coverage" ? StopReason::CoverageLost : StopReason::LogVanished);
    }
  }
}

// An unmount (even a lazy one) or a directory put in its place ends the test: the processes'
// names lead elsewhere now.
static void checkDirectory(Watch& w) {
  if (!w.stopping && directoryReplaced(w)) {
    beginStop(w, StopReason::DirReplaced);
  }
}

static void tick(Watch& w) {
  w.ticks++;
  checkDirectory(w);
  if (w.writers_started && !w.stopping) {
    tickNemesis(w.nemesis, w.run, w.run.progress.writers_s, elapsed());
  }
  sendAll(w, {{"c", "hb"}});
  sampleSizes(w.run.sizes, w.opt.dir);
  w.run.progress.highest_seen = w.run.sizes.highest_measured;
  noteBytes(w.run.progress, w.run.sizes.total, elapsed());
  TimelinePoint point{w.ticks, w.run.sizes.total, logsWritten(w.run.sizes),
                      slowestReaderVerified(w.run)};
  for (const HostRecord& h : w.run.hosts) {
    point.renamed_by_host.push_back(h.logs_renamed);
    point.live_by_host.push_back(h.live);
  }
  for (const ReaderProgress& r : w.run.progress.readers) {
    point.verified_by_reader.push_back(verifiedUpTo(r));
  }
  notePoint(w.run, point);
  if (!w.stopping && stopMarkerExists(w.opt.dir)) {
    beginStop(w, StopReason::Marker);
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
    w.run.events.push_back({elapsed(), "readers_late"});
    say(w, "logtest-run: warning: " + text);
  }
  w.writers_started = true;
  w.run.progress.appended_s = elapsed();  // no append could come before
  w.run.progress.writers_s = elapsed();
  sendAll(w, {{"c", "writers"}});
}

static bool allReported(const Watch& w) {
  for (const HostRecord& h : w.run.hosts) {
    if (!h.lost && !h.bye) {
      return false;
    }
  }
  return true;
}

// Agents that can hear us look at what is left through each of their paths. Agents without
// input have gone after their bye; the launcher looks through the first path itself if no
// agent could.
static void lookThroughAgents(Watch& w) {
  if (w.dir_replaced) {
    return;  // what is there now is not what was tested
  }
  std::vector<HostRecord*> asked;
  for (HostRecord& h : w.run.hosts) {
    if (h.bye && w.links[h.link].input && !w.links[h.link].closed) {
      asked.push_back(&h);
    }
  }
  sendAll(w, {{"c", "look"}});
  double deadline = elapsed() + LOOK_WAIT_S;
  for (;;) {
    bool waiting = false;
    for (HostRecord* h : asked) {
      waiting = waiting || (!h->looked && !w.links[h->link].closed);
    }
    if (!waiting || elapsed() > deadline || nextSignal(signal_fd) != 0) {
      break;
    }
    pollOnce(w, false);
    if (elapsed() >= w.ticks + 1) {
      w.ticks++;
      sendAll(w, {{"c", "hb"}});
    }
  }
  if (w.run.looks.empty()) {
    w.run.looks.push_back(lookAtLogs(w.opt.dir));
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

// Hosts whose connection has started and whose agent has not answered yet.
static int connecting(const Watch& w) {
  int n = 0;
  for (const HostRecord& h : w.run.hosts) {
    const Link& link = w.links[h.link];
    n += link.started_s >= 0 && h.hello_s < 0 && !link.closed;
  }
  return n;
}

// The first host that could not start, and why; empty while none has failed.
static std::string launchFailure(Watch& w) {
  double now = elapsed();
  for (HostRecord& host : w.run.hosts) {
    Link& link = w.links[host.link];
    std::string name = host.name.empty() ? "this host" : host.name;
    if (host.lost) {
      return name + " could not start: " + host.lost_why;
    }
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
  signal_fd = signalPipe({SIGINT, SIGTERM, SIGHUP});
  run.started = time(nullptr);
  startClock();
  for (size_t i = 0; i < links.size(); i++) {
    for (const std::string& name : links[i].hosts) {
      HostRecord host;
      host.name = name;
      host.link = i;
      host.command = links[i].argv;
      run.hosts.push_back(host);
    }
  }
  indexProcesses(w);
  size_t next = 0;
  for (;;) {
    while (next < links.size() && connecting(w) < opt.fanout) {
      std::string error;
      if (!startLink(links[next], elapsed(), &error)) {
        const std::string& name = links[next].hosts[0];
        run.launch_failure = (name.empty() ? "this host" : name) + " could not start: " + error;
        return false;
      }
      next++;
    }
    run.launch_failure = launchFailure(w);
    if (!run.launch_failure.empty()) {
      return false;
    }
    // An agent without input starts its readers once the preflight's token is gone, and its
    // writers some seconds later.
    bool all = next == links.size();
    for (const HostRecord& h : run.hosts) {
      all = all && h.hello_s >= 0;
    }
    if (all) {
      return true;
    }
    pollOnce(w, false);
    // Agents that answered wait for the others; they must hear that the launcher is alive.
    if (elapsed() >= w.ticks + 1) {
      w.ticks++;
      sendAll(w, {{"c", "hb"}});
    }
    if (nextSignal(signal_fd) != 0) {
      run.launch_failure = "interrupted while the agents started";
      run.start_interrupted = true;
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
  indexProcesses(w);
  setUpProgress(w);
  run.nemesis = opt.nemesis;
  run.nemesis_every = opt.nemesis_every;
  run.nemesis_at = opt.nemesis_at;
  struct stat st;
  if (stat(opt.dir.c_str(), &st) == 0) {
    w.dir_dev = st.st_dev;
    w.dir_ino = st.st_ino;
  }
  w.tty = isatty(STDOUT_FILENO);
  w.ticks = static_cast<unsigned>(elapsed());
  for (HostRecord& h : run.hosts) {
    h.heard_s = elapsed();
  }
  w.running = true;
  sendAll(w, {{"c", "readers"}});
  while (!allReported(w)) {
    startWritersWhenReady(w);
    pollOnce(w);
    takeSignals(w);
    if (durationLeft(w) <= 0) {
      beginStop(w, StopReason::Duration);
    }
    if (elapsed() >= w.ticks + 1) {
      tick(w);
    }
  }
  endNemesis(w.nemesis, run, elapsed());
  sampleSizes(run.sizes, opt.dir);
  lookThroughAgents(w);
  reapLinks(links, 5);
  run.end_s = elapsed();
  if (w.status_shown) {
    putchar('\n');  // the last status line stays on the screen
  }
}
