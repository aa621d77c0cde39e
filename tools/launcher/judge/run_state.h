// What one run of the launcher saw, beyond each process's own record.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "last_look.h"
#include "log_sizes.h"
#include "process.h"
#include "progress.h"

enum class StopReason {
  None,
  Duration,      // the launcher raised StopTest when the time was up
  Interrupted,   // SIGINT, SIGTERM or SIGHUP reached the launcher
  Marker,        // StopTest appeared, raised by a process or by hand
  ProcessEnded,  // a process ended while no StopTest existed
  StartFailed,   // the launcher could not start every process
  Stalled,       // nothing was appended for the stall timeout
  LogVanished,   // a numbered log disappeared that no reader can have deleted
  CoverageLost,  // every reader of a path was left behind
  DirReplaced,   // the directory's path leads elsewhere now (an unmount, a replaced directory)
  Diagnostic,    // a process printed a diagnostic line
  HostLost,      // a host's agent stopped answering
};

// What an agent found of a path on its host while the coordinator held the logInfo lock.
struct PlaceAnswer {
  std::string path;
  std::string token;  // what the preflight's token file held there
  std::string lock;   // "held", "free", or why it could not try
};

// What an agent told of its host before the test, and whether it stayed in touch.
struct HostRecord {
  std::string name;                  // "" for this host
  size_t link = 0;                   // the connection that carries its agent
  std::vector<std::string> command;  // how its agent was started
  pid_t agent_pid = -1;              // on its host
  double hello_s = -1;               // when its agent answered; -1: it never did
  std::string version;               // the agent's
  bool logtest = false;              // logtest is an executable there
  std::vector<PlaceAnswer> places;
  double heard_s = 0;
  bool readers_up = false;    // its readers have started
  bool bye = false;           // every process of it ended and its agent said so
  bool looked = false;        // its agent answered the last look
  unsigned logs_renamed = 0;  // by its writers, as its ticks said
  unsigned live = 0;          // its processes alive, as its last tick said
  bool lost = false;          // its agent stopped answering before that
  double lost_s = 0;
  std::string lost_why;                  // "its connection closed", ...
  std::vector<std::string> shell_lines;  // what its remote shell printed besides the agent
  bool diagnosed = false;                // answered the stall's question
  std::vector<std::pair<pid_t, std::string>> lock_holders;         // PID and state
  std::vector<std::pair<std::string, std::string>> writer_states;  // "W3", state
};

struct OutputNote {
  std::string process;  // "writer 3"
  std::string line;
  double at_s;
};

// A --nemesis-at entry: an action due this long after the writers started, told to hold its
// fault for `seconds` (0: for as long as the command takes).
struct NemesisSlot {
  double start_s = 0;
  double seconds = 0;
};

// One run of the --nemesis command: when it began and ended, and how.
struct NemesisAction {
  double start_s = 0;
  double seconds = 0;  // how long it was told to hold its fault; 0: not told
  double end_s = -1;   // -1: still running when the test ended (it was killed)
  int status = -1;     // exit status, 128 + a signal, or -1 if not reaped
};

// A finding made while the test ran, at the second it was made: for the report's time axis.
struct RunEvent {
  double at_s;
  std::string event;  // the finding's code: "reader_left_behind", "stall", ...
};

struct TimelinePoint {
  unsigned t;  // whole seconds after the start
  uint64_t bytes;
  unsigned logs_written;
  unsigned logs_verified;  // by the slowest reader
  // In the order of the run's hosts: logs renamed by its writers so far, processes alive; in
  // the order of the readers: logs verified so far.
  std::vector<unsigned> renamed_by_host = {};
  std::vector<unsigned> live_by_host = {};
  std::vector<unsigned> verified_by_reader = {};
};

// Only the first lines are kept: a reader that rechecks a log prints one every millisecond.
constexpr size_t MAX_KEPT_DIAGNOSTICS = 100;
constexpr size_t MAX_KEPT_RETRY_NOTICES = 10;

// Lines of a remote shell kept per host.
constexpr size_t MAX_SHELL_LINES = 10;

struct RunState {
  time_t started = 0;  // wall clock, for the report
  double stop_s = 0;   // seconds after the start when the stop began
  double end_s = 0;    // seconds after the start when the watch ended
  StopReason stop_reason = StopReason::None;
  bool launcher_raised_marker = false;
  double grace_waited_s = 0;  // from the stop to the first signal sent to a straggler
  bool grace_cut_short = false;
  std::vector<std::string> launcher_errors;  // failures of the launcher's own
  std::string launch_failure;                // "h7 could not start: ..."; nothing ran
  bool start_interrupted = false;            // SIGINT or SIGTERM came while the agents started
  bool cut_short = false;                    // an interrupt stopped a run that had a duration
  std::vector<HostRecord> hosts;             // one per agent, in the order they were planned
  std::vector<Finding> failures;             // found while the test ran: a stall, a vanished log
  std::vector<Finding> warnings;             // a reader left behind or lagging
  std::vector<OutputNote> diagnostics;
  unsigned diagnostic_count = 0;
  std::vector<OutputNote> retry_notices;
  unsigned retry_notice_count = 0;
  LogSizes sizes;
  Progress progress;             // readers in the order of their ids
  std::vector<PlaceLook> looks;  // through each path on each host, once every process ended
  std::vector<TimelinePoint> timeline;
  std::vector<RunEvent> events;                // findings while it ran, in order
  std::string nemesis;                         // the command, if any
  int nemesis_every = 0;                       // seconds between the starts of its actions
  std::vector<NemesisSlot> nemesis_at;         // or, when not empty, when its actions are due
  std::vector<NemesisAction> nemesis_actions;  // in order
  unsigned timeline_step = 1;                  // seconds between its points
};

// The timeline keeps at most this many points: past it, every other point goes and the step
// doubles, so a run of a day costs what a run of an hour does.
constexpr size_t MAX_TIMELINE_POINTS = 3600;

// Adds the point of second t if it falls on the step.
void notePoint(RunState& run, const TimelinePoint& point);

// Logs verified by the slowest reader, and by the most advanced one; 0 without readers.
unsigned slowestReaderVerified(const RunState& run);
unsigned mostVerified(const RunState& run);

// When the stop began, on the launcher's clock (which starts as the agents are started).
double measuredSeconds(const RunState& run);

// The period the rates are taken over, and the run's length in its summary: from the writers'
// start until the stop began.
double testedSeconds(const RunState& run);

const char* stopReasonName(StopReason reason);  // "process_ended"
const char* stopReasonText(StopReason reason);  // "a process ended"
