#include "control/test_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

const char* log_root = "";
char stop_test_file[PATH_BUFFER_SIZE];
char space_lock_file[PATH_BUFFER_SIZE];
char last_log[PATH_BUFFER_SIZE];

void initLogPaths(const char* root) {
  log_root = root;
  snprintf(stop_test_file, sizeof(stop_test_file), "%s/%s", root, STOP_TEST_NAME);
  snprintf(space_lock_file, sizeof(space_lock_file), "%s/%s", root, LOG_INFO_NAME);
  snprintf(last_log, sizeof(last_log), "%s/%s", root, LAST_LOG_NAME);
}

void formLogName(char (&name)[PATH_BUFFER_SIZE], int n) {
  snprintf(name, sizeof(name), "%s/%s%d", log_root, NUMBERED_LOG_PREFIX, n);
}

bool testIsRunning() {
  struct stat st;
  // lstat: a symlink named StopTest is a marker like any other entry, even one leading nowhere.
  return lstat(stop_test_file, &st) != 0 && errno == ENOENT;
}

void stopTest() {
  // As fopen(stop_test_file, "a+") would, but never through a symlink: a link planted under
  // that name must not make a process running as root create a file elsewhere.
  int marker = open(stop_test_file, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (marker >= 0) {
    close(marker);
  }
  // Standard output may be a pipe shared with a launcher: whatever diagnosis was printed
  // must leave the process before it ends, which exit() sees to.
  exit(1);
}
