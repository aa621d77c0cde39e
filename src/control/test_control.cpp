#include "control/test_control.h"

#include <sys/stat.h>

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
  return stat(stop_test_file, &st) != 0 && errno == ENOENT;
}

void stopTest() {
  // Standard output may be a pipe shared with a launcher: whatever diagnosis was printed
  // must leave the process before it ends, which exit() sees to.
  FILE* marker = fopen(stop_test_file, "a+");
  if (marker != nullptr) {
    fclose(marker);
  }
  exit(1);
}
