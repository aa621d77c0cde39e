// What the coordinator keeps while a test runs, and what happens when the test stops: the
// marker raised, every agent told, a lost host written off.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "log_dir.h"
#include "nemesis.h"
#include "process.h"
#include "protocol.h"
#include "reach.h"
#include "run_loop.h"
#include "run_state.h"

struct Watch {
  const RunSettings& opt;
  std::vector<Process>& procs;
  std::vector<Link>& links;
  RunState& run;
  std::vector<Process*> writers = {};  // by id - 1, for the agents' tags
  std::vector<Process*> readers = {};
  std::map<std::string, size_t> host_index = {};  // in run.hosts, by name
  bool running = false;                           // the test has begun: readers were told to start
  bool tty = false;
  bool stopping = false;
  int interrupts = 0;
  unsigned ticks = 0;
  bool writers_started = false;
  bool first_writer_seen = false;  // a writer reported started: the duration runs from then
  double stall_asked_s = -1;       // when the agents were asked about a stall
  bool status_shown = false;       // a tty status line waits to be overwritten
  dev_t dir_dev = 0;               // the directory the test started on
  ino_t dir_ino = 0;
  bool dir_replaced = false;  // its path leads elsewhere now; said once
  NemesisState nemesis = {};
};

// Indexes the processes by role and id, and the hosts by name.
void indexProcesses(Watch& w);

// Seconds since startClock(): the launcher's one clock for every event of a run.
void startClock();
double elapsed();

// A line of the launcher's own while the test runs, above the status line.
void say(Watch& w, const std::string& text);
void clearStatus(Watch& w);

void sendAll(Watch& w, const Json& command);

// Raises StopTest (unless the marker is the reason, or the directory is no longer the one
// tested: the marker must not land in whatever is there now) and tells every agent; the first
// reason is the one kept. *marker, if given, says whether the launcher's marker was the first.
void beginStop(Watch& w, StopReason reason, MarkerResult* marker = nullptr);

// Whether the directory's path leads elsewhere than at the start; the first time, a failure.
bool directoryReplaced(Watch& w);

// A process that ended while no stop was known of.
void processEndedEarly(Watch& w, Process& p);

// Writes off a host whose agent stopped answering: its processes' ends are unknown.
void loseHost(Watch& w, HostRecord& host, const std::string& why);
