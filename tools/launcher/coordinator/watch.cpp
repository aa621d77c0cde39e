#include "watch.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "links.h"
#include "spawn.h"

void indexProcesses(Watch& w) {
  for (Process& p : w.procs) {
    std::vector<Process*>& role = p.role == Role::Writer ? w.writers : w.readers;
    if (role.size() < static_cast<size_t>(p.id)) {
      role.resize(p.id, nullptr);
    }
    role[p.id - 1] = &p;
  }
  for (size_t i = 0; i < w.run.hosts.size(); i++) {
    w.host_index[w.run.hosts[i].name] = i;
  }
}

// The launcher's single clock: seconds since the first agent was started.
static double run_start = 0;

void startClock() {
  run_start = monotonicSeconds();
}

double elapsed() {
  return monotonicSeconds() - run_start;
}

void clearStatus(Watch& w) {
  if (w.status_shown) {
    fputs("\r\033[K", stdout);
    w.status_shown = false;
  }
}

// A line of the launcher's own while the test runs, above the status line.
void say(Watch& w, const std::string& text) {
  if (w.opt.quiet) {
    return;
  }
  clearStatus(w);
  printf("%s\n", text.c_str());
  fflush(stdout);
}

void sendAll(Watch& w, const Json& command) {
  for (Link& link : w.links) {
    sendCommand(link, command);
  }
}

bool directoryReplaced(Watch& w) {
  struct stat st;
  if (w.dir_dev == 0 || w.dir_replaced) {
    return w.dir_replaced;
  }
  if (stat(w.opt.dir.c_str(), &st) == 0 ? st.st_dev == w.dir_dev && st.st_ino == w.dir_ino
                                        : errno != ENOENT && errno != ENOTDIR) {
    // A server away for a moment (ENOTCONN, EIO) leaves the directory where it was; what it
    // does to the test, the processes report.
    return false;
  }
  w.dir_replaced = true;
  std::string text = w.opt.dir + " is no longer the directory the test started on";
  w.run.failures.push_back({"dir_replaced", text});
  w.run.events.push_back({elapsed(), "dir_replaced"});
  say(w, "logtest-run: " + text);
  return true;
}

void beginStop(Watch& w, StopReason reason, MarkerResult* marker) {
  if (w.stopping) {
    return;
  }
  w.stopping = true;
  w.run.stop_reason = reason;
  w.run.stop_s = elapsed();
  w.run.grace_waited_s = w.opt.grace;
  MarkerResult result = MarkerResult::AlreadyThere;
  if (reason != StopReason::Marker && !directoryReplaced(w)) {
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

void loseHost(Watch& w, HostRecord& host, const std::string& why) {
  if (host.bye || host.lost) {
    return;
  }
  host.lost = true;
  host.lost_s = elapsed();
  host.lost_why = why;
  if (!w.running) {
    return;  // nothing has started: the launch failed, and says so
  }
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
void processEndedEarly(Watch& w, Process& p) {
  MarkerResult marker;
  beginStop(w, StopReason::ProcessEnded, &marker);
  if (marker == MarkerResult::Raised) {
    p.ended_early = true;
  } else if (marker == MarkerResult::AlreadyThere) {
    w.run.stop_reason = StopReason::Marker;
  }
}
