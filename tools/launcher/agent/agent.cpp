#include "agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "children.h"
#include "control/log_format.h"
#include "last_look.h"
#include "lines.h"
#include "output_lines.h"
#include "place_check.h"
#include "proc_info.h"
#include "protocol.h"
#include "self.h"
#include "signal_pipe.h"
#include "spawn.h"

// After SIGTERM a straggler gets this long before SIGKILL, and after SIGKILL this long to be
// reaped: a process stuck in the kernel (a hard NFS mount) cannot be reaped at all.
constexpr double TERM_SECONDS = 2;
constexpr double KILL_SECONDS = 5;

// Output the coordinator has not taken yet; past this it is not reading and counts as lost.
constexpr size_t MAX_UNSENT = 1 << 20;

// The agent looks at its pipes at most this often: a reader announces every log, dozens a
// second on a fast file system, and a wake-up for each line would cost the agent more than
// the lines are worth. Nothing it forwards needs to be quicker.
constexpr useconds_t BATCH_USEC = 50000;

// Longest line of a process kept whole; a longer one is split.
constexpr size_t MAX_LINE = 4096;

static int signal_fd = -1;

struct Agent {
  const AgentArgs& args;
  std::string host = "";
  std::vector<Child> children = {};
  double start = 0;
  bool input_open = true;
  std::string input = "";  // commands after the last newline
  double heard_s = 0;
  std::string unsent = "";
  bool lost = false;  // the coordinator is gone
  bool quit = false;
  bool ended = false;  // every process has ended and bye is sent
  bool readers_started = false;
  bool writers_started = false;
  bool stopping = false;
  double grace_end = 0;
  int kill_stage = 0;  // 0: waiting, 1: SIGTERM sent, 2: SIGKILL sent, 3: given up
  double stage_end = 0;
  double next_tick = 1;
  Json renamed = Json::array();      // since the last tick
  std::set<Child*> progressed = {};  // readers whose log changed since the last tick
};

static double now(const Agent& a) {
  return monotonicSeconds() - a.start;
}

static void flushOutput(Agent& a) {
  while (!a.unsent.empty() && !a.lost) {
    ssize_t n = write(STDOUT_FILENO, a.unsent.data(), a.unsent.size());
    if (n > 0) {
      a.unsent.erase(0, n);
    } else if (n < 0 && errno == EAGAIN) {
      break;
    } else if (n < 0 && errno != EINTR) {
      a.lost = true;  // EPIPE: the connection closed
    }
  }
  if (a.unsent.size() > MAX_UNSENT) {
    a.lost = true;
  }
}

static void send(Agent& a, Json message) {
  if (a.lost) {
    return;
  }
  message["host"] = a.host;
  a.unsent += encodeMessage(message);
  flushOutput(a);
}

// Renames and reader progress since the last one; also sent before any line or end, so the
// coordinator sees what led up to it.
static void sendProgress(Agent& a) {
  Json checking = Json::array();
  for (Child* c : a.progressed) {
    checking.push_back({c->id, c->checking});
  }
  unsigned live = 0;
  for (const Child& c : a.children) {
    live += c.pid > 0 && !c.reaped;
  }
  send(a, {{"e", "tick"}, {"renamed", a.renamed}, {"checking", checking}, {"live", live}});
  a.renamed = Json::array();
  a.progressed.clear();
}

static void forwardLine(Agent& a, Child& c, const char* kind, int count, const std::string& line) {
  if (count > MAX_FORWARDED_LINES) {
    return;
  }
  sendProgress(a);
  send(a, {{"e", "line"}, {"p", processTag(c.role, c.id)}, {"kind", kind}, {"line", line}});
}

static void handleLine(Agent& a, Child& c, const std::string& line) {
  OutputLine out = classifyLine(line);
  switch (out.kind) {
    case LineKind::LogRenamed:
      a.renamed.push_back({out.number, c.id});
      break;
    case LineKind::CheckingLog:
      c.checking = out.number;
      a.progressed.insert(&c);
      break;
    case LineKind::Done:
      break;
    case LineKind::LastWritten:
    case LineKind::LastVerified:
      // Said once, at the end; a second one is something else's doing.
      if (!c.accounted) {
        c.accounted = true;
        sendProgress(a);
        send(a,
             {{"e", "line"}, {"p", processTag(c.role, c.id)}, {"kind", "account"}, {"line", line}});
      } else {
        forwardLine(a, c, "diagnostic", ++c.diagnostics, line);
      }
      break;
    case LineKind::RetryNotice:
      forwardLine(a, c, "retry", ++c.retry_notices, line);
      break;
    case LineKind::Diagnostic:
      forwardLine(a, c, "diagnostic", ++c.diagnostics, line);
      break;
  }
}

static void takeLines(Agent& a, Child& c) {
  std::vector<std::string> lines;
  takeLines(c.partial, MAX_LINE, lines);
  for (const std::string& line : lines) {
    handleLine(a, c, line);
  }
}

static void closeOutput(Agent& a, Child& c) {
  if (!c.partial.empty()) {
    handleLine(a, c, c.partial);
    c.partial.clear();
  }
  close(c.out_fd);
  c.out_fd = -1;
}

// Reads what the pipe holds now; closes it at end of file.
static void readOutput(Agent& a, Child& c) {
  char buf[8192];
  while (c.out_fd >= 0) {
    ssize_t n = read(c.out_fd, buf, sizeof(buf));
    if (n > 0) {
      c.partial.append(buf, n);
      takeLines(a, c);
      if (static_cast<size_t>(n) < sizeof(buf)) {
        return;  // a short read of a pipe took all it held
      }
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      closeOutput(a, c);
    } else if (errno == EAGAIN) {
      return;
    }
  }
}

static void sendEnd(Agent& a, Child& c) {
  sendProgress(a);
  const ExitInfo& e = c.exit;
  send(a, {{"e", "end"},
           {"p", processTag(c.role, c.id)},
           {"status", e.signalled || c.unreapable ? Json(nullptr) : Json(e.status)},
           {"signal", e.signalled ? Json(e.signal) : Json(nullptr)},
           {"user_s", e.user_s},
           {"system_s", e.system_s},
           {"rss_kb", e.rss_kb},
           {"run_s", (c.unreapable ? now(a) : c.end_s) - c.start_s},
           {"killed", c.killed},
           {"unreapable", c.unreapable},
           {"diagnostics", c.diagnostics},
           {"retry_notices", c.retry_notices}});
}

static void startRole(Agent& a, char role) {
  Json procs = Json::array();
  for (Child& c : a.children) {
    if (c.role != role || c.pid > 0) {
      continue;
    }
    std::string error;
    std::vector<std::string> env;
    // An injected fault meant for one writer knows it by the launcher's number.
    if (role == 'W' && !a.args.writer_env.empty()) {
      env = a.args.writer_env;
      env.push_back("LOGTEST_INJECT_WRITER=" + std::to_string(c.id));
    }
    if (!startChild(c, a.args.logtest, env, &error)) {
      send(a, {{"e", "line"},
               {"p", processTag(c.role, c.id)},
               {"kind", "diagnostic"},
               {"line", "logtest-run agent: could not start it: " + error}});
      continue;
    }
    c.start_s = now(a);
    procs.push_back({std::string(1, c.role), c.id, c.pid});
  }
  (role == 'W' ? a.writers_started : a.readers_started) = true;
  send(a, {{"e", "started"}, {"procs", procs}});
}

static void beginStop(Agent& a, double grace) {
  double end = now(a) + grace;
  if (!a.stopping || end < a.grace_end) {
    a.grace_end = end;
  }
  a.stopping = true;
}

// With nobody left to tell, the agent stops the test itself, through its own path, and ends
// its processes after the grace time. Before any writer ran there is nothing to stop: readers
// alone write nothing, so they simply end.
static void coordinatorLost(Agent& a) {
  if (a.ended) {
    return;  // the coordinator had all it needed
  }
  if (!a.writers_started) {
    a.quit = true;
    beginStop(a, 0);
    return;
  }
  for (const Child& c : a.children) {
    std::string marker = c.path + "/" + STOP_TEST_NAME;
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      break;
    }
  }
  beginStop(a, a.args.grace);
}

static void sendDiagnosis(Agent& a) {
  Json holders = Json::array();
  std::set<std::string> paths;
  for (const Child& c : a.children) {
    paths.insert(c.path);
  }
  for (const std::string& path : paths) {
    for (pid_t pid : localFlockHolders(path + "/" + LOG_INFO_NAME)) {
      holders.push_back({pid, localStateName(pid)});
    }
  }
  Json states = Json::array();
  for (const Child& c : a.children) {
    if (c.role == 'W' && c.pid > 0 && !c.reaped) {
      states.push_back({processTag(c.role, c.id), localStateName(c.pid)});
    }
  }
  send(a, {{"e", "diagnosis"}, {"holders", holders}, {"states", states}});
}

// Through each of this host's paths once.
static void sendLook(Agent& a) {
  Json places = Json::array();
  std::set<std::string> paths;
  for (const Child& c : a.children) {
    if (paths.insert(c.path).second) {
      places.push_back(lookToJson(lookAtLogs(c.path)));
    }
  }
  send(a, {{"e", "look"}, {"places", places}});
  a.heard_s = now(a);  // the coordinator waited; its heartbeats wait in the pipe
}

static void handleCommand(Agent& a, const std::string& line) {
  Json command = Json::parse(line, nullptr, false);
  if (!command.is_object()) {
    return;
  }
  a.heard_s = now(a);
  std::string c = command.value("c", "");
  if (c == "readers" && !a.quit) {
    startRole(a, 'R');
  } else if (c == "writers" && !a.quit && !a.stopping) {
    startRole(a, 'W');
  } else if (c == "stop") {
    beginStop(a, command.value("grace", a.args.grace));
  } else if (c == "quit") {
    a.quit = true;
    beginStop(a, 0);
  } else if (c == "diagnose") {
    sendDiagnosis(a);
  } else if (c == "look" && a.ended) {
    sendLook(a);
  }
}

static void readInput(Agent& a) {
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
    a.input_open = false;
    if (!a.quit) {
      coordinatorLost(a);
    }
    return;
  }
  if (n < 0) {
    return;
  }
  a.input.append(buf, n);
  size_t start = 0;
  for (size_t nl; (nl = a.input.find('\n', start)) != std::string::npos; start = nl + 1) {
    handleCommand(a, a.input.substr(start, nl - start));
  }
  a.input.erase(0, start);
}

static void reap(Agent& a) {
  for (Child* c : reapChildren(a.children, now(a))) {
    readOutput(a, *c);  // whatever it printed before it ended counts
    sendEnd(a, *c);
  }
}

static void takeSignals(Agent& a) {
  for (int sig; (sig = nextSignal(signal_fd)) != 0;) {
    if (sig == SIGCHLD) {
      reap(a);
    } else if (!a.lost) {
      a.lost = true;  // our session is being closed: the coordinator is gone
      coordinatorLost(a);
    }
  }
}

static bool markerSeen(const Agent& a) {
  std::set<std::string> paths;
  for (const Child& c : a.children) {
    struct stat st;
    if (paths.insert(c.path).second && stat((c.path + "/" + STOP_TEST_NAME).c_str(), &st) == 0) {
      return true;
    }
  }
  return false;
}

// Without input, processes wait until the coordinator has removed its preflight token: it does
// so once the preflight passed and the directory is set up, and only after it has ended the
// agents of a refused run.
static bool preflightOver(const Agent& a) {
  struct stat st;
  return a.args.token.empty() || a.children.empty() ||
         stat((a.children[0].path + "/" + a.args.token).c_str(), &st) != 0;
}

static void tick(Agent& a) {
  a.next_tick += 1;
  sendProgress(a);
  if (!a.args.no_input && a.input_open && now(a) - a.heard_s > AGENT_SILENCE_S) {
    a.input_open = false;  // a cut link: no end of file will ever come
    coordinatorLost(a);
  }
  if (!a.stopping && a.writers_started && markerSeen(a)) {
    beginStop(a, a.args.grace);
  }
}

static void enforceGrace(Agent& a) {
  double t = now(a);
  if (!a.stopping || t < a.grace_end) {
    return;
  }
  if (a.kill_stage == 0) {
    signalChildren(a.children, SIGTERM);
    a.kill_stage = 1;
    a.stage_end = t + TERM_SECONDS;
  } else if (a.kill_stage == 1 && t >= a.stage_end) {
    signalChildren(a.children, SIGKILL);
    a.kill_stage = 2;
    a.stage_end = t + KILL_SECONDS;
  } else if (a.kill_stage == 2 && t >= a.stage_end) {
    for (Child& c : a.children) {
      if (c.pid > 0 && !c.reaped) {
        c.unreapable = true;
        sendEnd(a, c);
      }
    }
    a.kill_stage = 3;
  }
}

static bool finished(const Agent& a) {
  if (a.kill_stage == 3) {
    return true;
  }
  if (!a.stopping) {
    return false;
  }
  for (const Child& c : a.children) {
    if (c.pid > 0 && !c.reaped) {
      return false;
    }
  }
  return true;
}

static void pollOnce(Agent& a) {
  usleep(BATCH_USEC);
  std::vector<struct pollfd> fds = {{signal_fd, POLLIN, 0}};
  std::vector<Child*> owners = {nullptr};
  if (a.input_open && !a.args.no_input) {
    fds.push_back({STDIN_FILENO, POLLIN, 0});
    owners.push_back(nullptr);
  }
  if (!a.unsent.empty() && !a.lost) {
    fds.push_back({STDOUT_FILENO, POLLOUT, 0});
    owners.push_back(nullptr);
  }
  for (Child& c : a.children) {
    if (c.out_fd >= 0) {
      fds.push_back({c.out_fd, POLLIN, 0});
      owners.push_back(&c);
    }
  }
  double wait = std::min(a.next_tick, a.stopping ? a.grace_end : a.next_tick) - now(a);
  int timeout_ms = wait > 0 ? static_cast<int>(wait * 1000) + 1 : 0;
  if (poll(fds.data(), fds.size(), std::min(timeout_ms, 1000)) <= 0) {
    return;
  }
  for (size_t i = 1; i < fds.size(); i++) {
    if (fds[i].revents == 0) {
      continue;
    }
    if (owners[i] != nullptr) {
      readOutput(a, *owners[i]);
    } else if (fds[i].fd == STDIN_FILENO) {
      readInput(a);
    } else {
      flushOutput(a);
    }
  }
}

// Once every process has ended, the coordinator may ask for a last look at the logs: the agent
// stays until its input ends, it is told to quit, or the coordinator falls silent.
static void awaitLook(Agent& a) {
  while (!a.args.no_input && a.input_open && !a.lost && !a.quit &&
         now(a) - a.heard_s <= AGENT_SILENCE_S) {
    pollOnce(a);
    takeSignals(a);
  }
}

static void sayHello(Agent& a) {
  Json checks = Json::array();
  std::set<std::string> seen;
  for (const Child& c : a.children) {
    if (a.args.token.empty() || !seen.insert(c.path).second) {
      continue;
    }
    PlaceCheck check = checkPlace(c.path, a.args.token);
    checks.push_back({{"path", check.path}, {"token", check.token}, {"lock", check.lock}});
  }
  send(a, {{"e", "hello"},
           {"version", versionText()},
           {"pid", getpid()},
           {"logtest", access(a.args.logtest.c_str(), X_OK) == 0},
           {"processes", a.children.size()},
           {"checks", checks}});
}

static std::string hostName(const AgentArgs& args) {
  if (args.name_from_env.empty()) {
    return args.name;
  }
  const char* name = getenv(args.name_from_env.c_str());
  return name != nullptr ? name : "";
}

int agentMain(const AgentArgs& args) {
  Agent a{args};
  a.host = hostName(args);
  for (const auto& [host, p] : args.plan) {
    if (host == a.host) {
      Child c;
      c.role = p.role;
      c.id = p.id;
      c.path = p.path;
      a.children.push_back(c);
    }
  }
  signal_fd = signalPipe({SIGCHLD, SIGINT, SIGTERM, SIGHUP});
  if (signal_fd < 0) {
    perror("logtest-run agent: pipe");
    return 1;
  }
  fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
  fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
  a.start = monotonicSeconds();
  sayHello(a);
  double writers_at = -1;
  while (!finished(a)) {
    pollOnce(a);
    takeSignals(a);
    // Without input: readers once the launcher has set the directory up and removed its
    // token, writers some seconds later, when every host's readers are up.
    if (args.no_input && !a.readers_started && !a.stopping && preflightOver(a)) {
      startRole(a, 'R');
      writers_at = now(a) + args.writers_after_s;
    }
    if (writers_at >= 0 && !a.writers_started && !a.stopping && now(a) >= writers_at) {
      startRole(a, 'W');
    }
    if (now(a) >= a.next_tick) {
      tick(a);
    }
    enforceGrace(a);
  }
  for (Child& c : a.children) {
    if (c.out_fd >= 0) {
      readOutput(a, c);
    }
    if (c.out_fd >= 0) {
      closeOutput(a, c);  // a killed process's descendants may still hold the pipe open
    }
  }
  send(a, {{"e", "bye"}});
  a.ended = true;
  awaitLook(a);
  // What is still unsent goes out before the agent does, as far as the connection takes it.
  fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) & ~O_NONBLOCK);
  flushOutput(a);
  return 0;
}
