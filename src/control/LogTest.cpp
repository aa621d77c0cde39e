// Entry point: one executable, five roles chosen by the first character of the first argument.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/roles.h"
#include "control/test_control.h"

volatile int debug_hold = 1;

// Roles 'w' and 'r' wait here until someone clears debug_hold, e.g. a debugger attached to
// the process; the marker is not looked at meanwhile.
static void holdForDebugger() {
  while (debug_hold != 0) {
    sleep(1);
  }
}

int main(int argc, char** argv) {
  // A standard output whose reader has gone (a launcher that died, a lost ssh connection)
  // costs only the lines: a writer killed at its rename line would leave logInfo advanced and
  // that numbered log never made, and every reader waiting for it.
  signal(SIGPIPE, SIG_IGN);
  // Line-buffered even into a pipe or a file shared by many processes, so each progress or
  // diagnostic line arrives whole and in order with standard error.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  if (argc <= 2) {
    printf("Usage: %s 'W|R|w|r|T' <log_path> [<log_num>]\n", argv[0]);
    return 1;
  }
  char role = argv[1][0];
  if (role == 'T' && argc != 4) {
    printf("Usage: %s 'T' <log_path> <log_num>\n", argv[0]);
    return 1;
  }
  size_t root_len = strlen(argv[2]);
  if (root_len > MAX_LOG_PATH_LEN) {
    // Refused before any file is touched, and not through stopTest: the marker's name would
    // be cut too.
    fprintf(stderr, "Log path too long: %zu bytes\n", root_len);
    return 1;
  }
  // A reader would wait for log.1, and a writer for nothing, in a directory that is not
  // there; neither can raise the marker in it either.
  struct stat st;
  int dir_error = stat(argv[2], &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (role != 'T' && dir_error != 0) {
    fprintf(stderr, "Log directory %s: %s\n", argv[2], strerror(dir_error));
    return 1;
  }
  initLogPaths(argv[2]);

  switch (role) {
    case 'W':
      logWriter();
      break;
    case 'R':
      logReader();
      break;
    case 'w':
      holdForDebugger();
      logWriter();
      break;
    case 'r':
      holdForDebugger();
      logReader();
      break;
    case 'T':
      dumpLog(atoi(argv[3]));
      break;
    default:
      break;
  }
  puts("Done!");
  return 0;
}
