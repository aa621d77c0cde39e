// The one call a reader makes that the injector answers: its look for the next numbered log.
//
// hidden-rename: through one path of the log directory a numbered log stays out of sight until
// its rename is HIDDEN_SECONDS old, as through a client that caches the directory's "no such
// file" for that long. The reader waits out every log, falls behind the readers of the other
// paths, and finds its next logs deleted by them once they are LOGS_KEPT logs ahead.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "control/log_format.h"
#include "inject.h"

static const double HIDDEN_SECONDS = 3;

// A rename sets the ctime of the file renamed; nothing touches a numbered log after it.
static bool renamedLately(const char* path) {
  struct stat st;
  struct timespec now;
  if (stat(path, &st) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return false;
  }
  double age = static_cast<double>(now.tv_sec - st.st_ctim.tv_sec) +
               static_cast<double>(now.tv_nsec - st.st_ctim.tv_nsec) / 1e9;
  return age < HIDDEN_SECONDS;
}

// Whether log n is one to hide: drawn once per log, and counted as fired at its first hidden
// answer. The reader looks for one log at a time, in order.
static bool hiddenLog(unsigned long n) {
  static unsigned long drawn_for = 0;  // numbered logs start at 1
  static bool hide = false;
  static unsigned long counted_for = 0;
  if (n != drawn_for) {
    drawn_for = n;
    hide = faultDrawn(Fault::HiddenRename);
  }
  if (hide && n != counted_for) {
    counted_for = n;
    counters.fired++;
  }
  return hide;
}

extern "C" int access(const char* path, int mode) noexcept {
  static auto next = nextDefinition(&access, "access");
  int rc = next(path, mode);
  const char* name = baseName(path);
  if (rc != 0 || !injection.hiding || mode != F_OK || !isNumberedLog(name)) {
    return rc;
  }
  counters.looks++;
  if (!renamedLately(path) || !hiddenLog(strtoul(name + 4, nullptr, 10))) {
    return rc;
  }
  errno = ENOENT;
  return -1;
}
