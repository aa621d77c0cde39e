// libFuzzer target: arbitrary bytes as a numbered log, given to the dump and to the reader's
// scan with its record checks. Run it through scripts/fuzz.
//
// The scan ends the process at the first defect: stopTest calls exit(1). A forked child per
// input would keep that, but costs a fork, an exit and two trips through the scheduler per
// input, which on a busy host held the search to a few dozen inputs a second. So the link
// wraps exit (-Wl,--wrap=exit): while the scan runs, exit jumps back here, and a reported
// defect counts like a sound log, as no finding. A crash, a sanitizer report or a hang (past
// libFuzzer's -timeout) is a finding, as for any fuzz target. The scan's own stream, left open
// by the jump, is closed here: fdopen and fclose are wrapped too, to know it (the core opens
// its logs with open and fdopen, so as not to follow links). A descriptor leaked per input
// would end the run at the open-file limit after some tens of thousands of inputs.
#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "control/md5_digest.h"
#include "control/roles.h"
#include "control/test_control.h"
#include "verifier/verifier.h"

static char log_dir[PATH_BUFFER_SIZE];
static char log_path[PATH_BUFFER_SIZE];

static bool running_core = false;  // inside the dump or the scan
static jmp_buf core_exit;
static FILE* core_stream = nullptr;  // the stream the core has open, if any

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" FILE* __real_fdopen(int fd, const char* mode);
extern "C" int __real_fclose(FILE* stream);

extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (running_core) {
    longjmp(core_exit, 1);
  }
  __real_exit(status);
}

// The core has at most one log open at a time; stopTest's marker is closed before its exit.
extern "C" FILE* __wrap_fdopen(int fd, const char* mode) {
  FILE* stream = __real_fdopen(fd, mode);
  if (running_core && stream != nullptr) {
    core_stream = stream;
  }
  return stream;
}

extern "C" int __wrap_fclose(FILE* stream) {
  if (stream == core_stream) {
    core_stream = nullptr;
  }
  return __real_fclose(stream);
}

// The scan gives a log that lacks its last bytes five seconds of wall-clock time, pausing a
// millisecond between looks. While the core runs, each pause moves a clock of our own on by a
// second instead, so that wait ends after a few looks and every path through it is still taken.
static time_t fake_now = 0;

extern "C" time_t time(time_t* out) noexcept {
  time_t now = fake_now;
  if (!running_core) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    now = ts.tv_sec;
  }
  if (out != nullptr) {
    *out = now;
  }
  return now;
}

extern "C" int usleep(useconds_t usec) {
  if (running_core) {
    fake_now++;
    return 0;
  }
  struct timespec ts = {static_cast<time_t>(usec / 1000000),
                        static_cast<long>(usec % 1000000) * 1000};
  return nanosleep(&ts, nullptr);
}

static void removeLogDir() {
  unlink(log_path);
  unlink(stop_test_file);
  rmdir(log_dir);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  snprintf(log_dir, sizeof(log_dir), "%s/log_fuzz.XXXXXX", tmp != nullptr && *tmp ? tmp : "/tmp");
  if (mkdtemp(log_dir) == nullptr) {
    perror("log_fuzz: mkdtemp");
    exit(2);
  }
  initLogPaths(log_dir);
  formLogName(log_path, 1);
  atexit(removeLogDir);
  // Findings and dump lines go to standard output; libFuzzer reports on standard error.
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  // OpenSSL reads its configuration at the first digest, which is no part of any input.
  uint8_t digest[16];
  computeMd5("", 0, digest);
  return 0;
}

// The lowest free descriptor is the same before every input unless one leaked on the last.
static int first_fd = -1;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0) {
    perror("log_fuzz: writing the log");
    abort();
  }
  if (first_fd < 0) {
    first_fd = fd;
  } else if (fd != first_fd) {
    fprintf(stderr, "log_fuzz: the last input leaked descriptor %d\n", first_fd);
    abort();
  }
  fake_now = time(nullptr);
  running_core = true;
  // The dump reports what it finds and returns; the scan ends at its first defect.
  if (setjmp(core_exit) == 0) {
    dumpLog(1);
    resetExpectedSeq();
    checkLog(log_path);
  }
  running_core = false;
  if (core_stream != nullptr) {
    __real_fclose(core_stream);
    core_stream = nullptr;
  }
  return 0;
}
