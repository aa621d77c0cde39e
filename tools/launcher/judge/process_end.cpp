#include "process_end.h"

#include <string.h>

#include <cstdio>

// A writer that meets StopTest while opening the log ends through the stop path, with 1 and
// without a word, whoever raised the marker and whether or not the launcher had seen it yet: a
// writer that ended while no marker existed is marked ended_early instead.
static bool writerStoppedByMarker(const Process& p, int status) {
  return p.role == Role::Writer && status == 1 && p.diagnostics == 0 && !p.ended_early;
}

static std::string graceText(const StopContext& stop) {
  char text[96];
  snprintf(text, sizeof(text), "%.0f s", stop.grace_waited_s);
  std::string waited = text;
  if (stop.grace_cut_short) {
    return waited + " after StopTest (a second interrupt cut the wait short)";
  }
  return waited + " after StopTest";
}

static void fail(ProcessEnd& end, const std::string& why) {
  end.ok = false;
  end.failure = why;
}

static ProcessEnd signalledEnd(const Process& p, const StopContext& stop) {
  ProcessEnd end;
  std::string name = processName(p);
  end.signal = p.exit.signal;
  if (p.killed_by_launcher) {
    end.result = "killed after grace";
    fail(end, name + " did not end within " + graceText(stop) + " and was killed");
    return end;
  }
  end.result = "signal " + std::to_string(end.signal) + " (" + strsignal(end.signal) + ")";
  fail(end, name + " was killed by signal " + end.result.substr(7));
  return end;
}

static ProcessEnd exitedEnd(const Process& p, const StopContext& stop) {
  ProcessEnd end;
  std::string name = processName(p);
  end.exit_status = p.exit.status;
  end.result = "exit " + std::to_string(end.exit_status);
  if (p.killed_by_launcher) {
    // It ended as the signal came: the status is its own, but the grace time was not enough.
    fail(end, name + " did not end within " + graceText(stop) + " and was killed");
  } else if (p.ended_early) {
    fail(end, name + " ended with status " + std::to_string(end.exit_status) +
                  " while the test was running and no StopTest existed");
  } else if (writerStoppedByMarker(p, end.exit_status)) {
    end.result += " at StopTest";
  } else if (end.exit_status != 0) {
    fail(end, name + " exited with status " + std::to_string(end.exit_status));
  }
  return end;
}

ProcessEnd decideEnd(const Process& p, const StopContext& stop) {
  ProcessEnd end;
  if (p.pid <= 0) {
    end.result = "not started";  // the launcher's own error says why
    return end;
  }
  if (p.unreapable) {
    end.result = "not reaped";
    end.may_still_run = true;
    fail(end, processName(p) + " did not end even after SIGKILL");
    return end;
  }
  if (p.lost) {
    // Its host is judged, not it: the verdict says the host was lost.
    end.result = "lost with its host";
    end.may_still_run = true;
    return end;
  }
  if (!p.reaped) {
    end.result = "running";
    return end;
  }
  return p.exit.signalled ? signalledEnd(p, stop) : exitedEnd(p, stop);
}
