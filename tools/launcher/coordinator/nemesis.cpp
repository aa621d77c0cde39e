#include "nemesis.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "spawn.h"

// An action still running at the end gets this long before it is killed.
constexpr double END_WAIT_S = 10;

static void drain(NemesisState& n) {
  char buf[4096];
  while (n.out_fd >= 0 && read(n.out_fd, buf, sizeof(buf)) > 0) {
  }
}

static bool reaped(NemesisState& n, RunState& run, double now) {
  int status = 0;
  drain(n);
  if (n.pid < 0 || waitpid(n.pid, &status, WNOHANG) != n.pid) {
    return n.pid < 0;
  }
  NemesisAction& action = run.nemesis_actions.back();
  action.end_s = now;
  action.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.events.push_back({now, "nemesis_end"});
  close(n.out_fd);
  n.out_fd = -1;
  n.pid = -1;
  return true;
}

// The hold time goes through the environment, so a command that knows no such thing runs as
// it would by hand.
static void startAction(NemesisState& n, RunState& run, double seconds, double now) {
  std::vector<std::string> argv = {"/bin/sh", "-c", run.nemesis};
  if (seconds > 0) {
    char hold[64];
    snprintf(hold, sizeof(hold), "LOGTEST_NEMESIS_SECONDS=%g", seconds);
    argv.insert(argv.begin(), {"/usr/bin/env", hold});
  }
  std::string error;
  if (!startCommand(argv, &n.pid, &n.out_fd, nullptr, &error)) {
    run.launcher_errors.push_back("could not start the nemesis: " + error);
    run.nemesis.clear();
    return;
  }
  run.nemesis_actions.push_back({now, seconds, -1, -1});
  run.events.push_back({now, "nemesis"});
}

void tickNemesis(NemesisState& n, RunState& run, double writers_s, double now) {
  if (run.nemesis.empty() || !reaped(n, run, now)) {
    return;
  }
  if (!run.nemesis_at.empty()) {
    // An action still under way when the next is due delays it: one at a time.
    if (n.next_slot < run.nemesis_at.size() &&
        now >= writers_s + run.nemesis_at[n.next_slot].start_s) {
      startAction(n, run, run.nemesis_at[n.next_slot++].seconds, now);
    }
    return;
  }
  if (n.next_s < 0) {
    n.next_s = writers_s + run.nemesis_every;
  }
  if (now >= n.next_s) {
    n.next_s = now + run.nemesis_every;
    startAction(n, run, 0, now);
  }
}

void endNemesis(NemesisState& n, RunState& run, double now) {
  double deadline = monotonicSeconds() + END_WAIT_S;
  while (n.pid > 0 && !reaped(n, run, now) && monotonicSeconds() < deadline) {
    usleep(50000);
  }
  if (n.pid > 0) {
    kill(-n.pid, SIGKILL);  // its own process group, with whatever it started
    waitpid(n.pid, nullptr, 0);
    close(n.out_fd);
    n.pid = -1;
  }
}

std::string nemesisBeforeDefect(const RunState& run) {
  if (run.diagnostics.empty()) {
    return "";
  }
  double defect = run.diagnostics[0].at_s;
  const NemesisAction* last = nullptr;
  for (const NemesisAction& a : run.nemesis_actions) {
    if (a.start_s <= defect) {
      last = &a;
    }
  }
  if (last == nullptr) {
    return "";
  }
  char text[160];
  snprintf(text, sizeof(text),
           "the first defect came %.1f s after the nemesis action that began at %.1f s%s",
           defect - last->start_s, last->start_s,
           last->end_s >= 0 && last->end_s <= defect ? " (and ended before it)" : "");
  return text;
}
