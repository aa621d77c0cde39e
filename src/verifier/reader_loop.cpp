#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "control/roles.h"
#include "control/test_control.h"
#include "verifier/verifier.h"

// Readers prune each other's logs, so none may fall LOGS_KEPT logs behind another. Writers
// on a fast file system make dozens of logs a second: a reader that slept a whole second
// would wake to find its next log verified and deleted by a reader that woke first.
static const useconds_t LOG_POLL_USEC = 10000;

// Waits for path to exist, polling it and the stop marker every LOG_POLL_USEC. True once it
// exists while the test still runs.
static bool waitForLog(const char* path) {
  while (testIsRunning() && access(path, F_OK) != 0) {
    if (errno != ENOENT) {
      perror("access()");
      stopTest();
    }
    usleep(LOG_POLL_USEC);
  }
  return testIsRunning();
}

void logReader() {
  char path[PATH_BUFFER_SIZE];
  // A numbered log is complete from the moment it has its name (the writer renames it only
  // after its terminator), so the reader needs no lock.
  for (uint32_t n = 1; testIsRunning(); n++) {
    formLogName(path, static_cast<int>(n));
    if (!waitForLog(path)) {
      break;
    }
    printf("Checking log %d\n", static_cast<int>(n));
    checkLog(path);
    // Other readers prune too, so the log may be gone already: that is fine.
    if (n > LOGS_KEPT) {
      formLogName(path, static_cast<int>(n - LOGS_KEPT));
      unlink(path);
    }
  }
  printVerifiedUpTo();
}
