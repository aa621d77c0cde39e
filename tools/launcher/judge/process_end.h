// How each process ended, decided once; the verdict, the printed summary and the JSON only
// read it.
#pragma once

#include <string>

#include "process.h"

// What the launcher knew about the stop when the processes ended.
struct StopContext {
  double stop_s = 0;             // when the stop began
  double grace_waited_s = 0;     // how long the processes were given to end after it
  bool grace_cut_short = false;  // a second interrupt ended the wait early
};

struct ProcessEnd {
  std::string result;          // "exit 0", "exit 1 at StopTest", "signal 9 (Killed)", ...
  int exit_status = -1;        // -1 unless it exited (for a remote one, the remote status if known)
  int signal = 0;              // the signal that ended it, 0 if none
  bool ok = true;              // an end that a sound test gives
  std::string failure;         // why not, when !ok
  bool may_still_run = false;  // it may still run: not even SIGKILL ended it, or its host was lost
};

ProcessEnd decideEnd(const Process& p, const StopContext& stop);
