// Which process, which fault, how often; the report at exit.
#include "inject.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

Injection injection;
Counters counters;

// Drops start this long into a writer's life unless LOGTEST_INJECT_AFTER says otherwise:
// time for a 30-second run to fill and verify a few logs first.
static const double DEFAULT_AFTER_SECONDS = 8;

static uint64_t rng_state;
static struct timespec started;

uint64_t drawNumber() {
  // xorshift64*: enough to spread faults, and no shared state with the writer's random().
  rng_state ^= rng_state >> 12;
  rng_state ^= rng_state << 25;
  rng_state ^= rng_state >> 27;
  return rng_state * 0x2545F4914F6CDD1DULL;
}

double secondsRunning() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - started.tv_sec) +
         static_cast<double>(now.tv_nsec - started.tv_nsec) / 1e9;
}

bool faultDrawn(Fault f) {
  if ((!injection.active && !injection.hiding) || injection.fault != f) {
    return false;
  }
  return injection.rate >= 1.0 ||
         static_cast<double>(drawNumber() >> 11) * 0x1p-53 < injection.rate;
}

bool faultFires(Fault f) {
  if (!faultDrawn(f)) {
    return false;
  }
  counters.fired++;
  return true;
}

const char* baseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

bool pathNames(const char* path, const char* name) {
  return strcmp(baseName(path), name) == 0;
}

bool fdNames(int fd, const char* name) {
  char link[64];
  char target[4096];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t len = readlink(link, target, sizeof(target) - 1);
  if (len <= 0) {
    return false;
  }
  target[len] = '\0';
  return pathNames(target, name);
}

bool writeFully(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t written = write(fd, data, n);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    data += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

// A logtest process, known by its own command line "logtest ROLE DIR": its role's first
// character (0 for any other program) and DIR. Readers, the dump, the launcher and any shell
// between them load the library too, and each must stay untouched whatever its environment
// says unless a fault is meant for it.
struct OwnCommand {
  char role;
  const char* dir;  // "" when there is none
};

static OwnCommand ownCommand() {
  static char cmdline[4096];
  OwnCommand self{0, ""};
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return self;
  }
  ssize_t len = read(fd, cmdline, sizeof(cmdline) - 1);
  close(fd);
  if (len <= 0) {
    return self;
  }
  cmdline[len] = '\0';
  size_t program_len = strlen(cmdline);
  if (!pathNames(cmdline, "logtest") || static_cast<ssize_t>(program_len + 1) >= len) {
    return self;
  }
  const char* role = cmdline + program_len + 1;
  self.role = *role;
  const char* dir = role + strlen(role) + 1;
  self.dir = dir < cmdline + len ? dir : "";
  return self;
}

static const char* const UNKNOWN_FAULT = "unknown fault";

// "FAULT" or "FAULT:RATE" into injection; false and *problem when it names no fault or the
// rate is out of range.
static bool selectFault(const char* text, const char** problem) {
  const char* colon = strchr(text, ':');
  size_t name_len = colon == nullptr ? strlen(text) : static_cast<size_t>(colon - text);
  for (const FaultRow& f : FAULT_TABLE) {
    if (strlen(f.name) != name_len || strncmp(f.name, text, name_len) != 0) {
      continue;
    }
    injection.fault = f.fault;
    injection.rate = f.default_rate;
    if (colon == nullptr) {
      return true;
    }
    char* end = nullptr;
    errno = 0;
    injection.rate = strtod(colon + 1, &end);
    *problem = "the rate must be above 0 and at most 1";
    return errno == 0 && end != colon + 1 && *end == '\0' && injection.rate > 0 &&
           injection.rate <= 1;
  }
  *problem = UNKNOWN_FAULT;
  return false;
}

// A writer told to inject something it cannot stops before it writes a record: a run without
// its fault must not pass for a run with it.
[[noreturn]] static void refuse(const char* variable, const char* text, const char* problem) {
  fprintf(stderr, "logtest-inject: %s=%s: %s", variable, text, problem);
  if (problem == UNKNOWN_FAULT) {
    fprintf(stderr, "; one of:");
    for (const FaultRow& f : FAULT_TABLE) {
      fprintf(stderr, " %s", f.name);
    }
  }
  fprintf(stderr, "\n");
  _exit(2);
}

// LOGTEST_INJECT_AFTER: seconds, 0 or more; unset or empty for the default.
static void readDelay() {
  const char* text = getenv("LOGTEST_INJECT_AFTER");
  injection.after_s = DEFAULT_AFTER_SECONDS;
  if (text == nullptr || *text == '\0') {
    return;
  }
  char* end = nullptr;
  errno = 0;
  injection.after_s = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(injection.after_s >= 0)) {
    refuse("LOGTEST_INJECT_AFTER", text, "a number of seconds, 0 or more");
  }
}

static const char* faultName(Fault fault) {
  for (const FaultRow& f : FAULT_TABLE) {
    if (f.fault == fault) {
      return f.name;
    }
  }
  return "?";
}

static int formatReport(char* line, size_t size) {
  const Counters& c = counters;
  if (injection.hiding) {
    return snprintf(line, size, "pid=%d role=reader fault=%s rate=%g looks=%llu fired=%llu\n",
                    static_cast<int>(getpid()), faultName(injection.fault), injection.rate,
                    (unsigned long long)c.looks, (unsigned long long)c.fired);
  }
  return snprintf(
      line, size,
      "pid=%d fault=%s rate=%g streams=%llu records=%llu split=%llu locks=%llu "
      "fstats=%llu fsyncs=%llu closes=%llu renames=%llu fired=%llu\n",
      static_cast<int>(getpid()), faultName(injection.fault), injection.rate,
      (unsigned long long)c.streams, (unsigned long long)c.records, (unsigned long long)c.split,
      (unsigned long long)c.locks, (unsigned long long)c.fstats, (unsigned long long)c.fsyncs,
      (unsigned long long)c.closes, (unsigned long long)c.renames, (unsigned long long)c.fired);
}

// One line per process, appended in one write(2) so that processes ending together do not mix.
static void writeReport() {
  const char* path = getenv("LOGTEST_INJECT_REPORT");
  if (path == nullptr || *path == '\0') {
    return;
  }
  char line[512];
  int len = formatReport(line, sizeof(line));
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0 || !writeFully(fd, line, static_cast<size_t>(len))) {
    perror("logtest-inject: LOGTEST_INJECT_REPORT");
  }
  if (fd >= 0) {
    close(fd);
  }
}

static void endInjection() {
  finishRenames();
  writeReport();
}

static void seedNumbers() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  rng_state = ((static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
               static_cast<uint64_t>(now.tv_sec)) |
              1;  // xorshift never leaves 0
}

static void startWriter(const char* selection) {
  const char* problem = nullptr;
  if (!selectFault(selection, &problem)) {
    refuse("LOGTEST_INJECT", selection, problem);
  }
  readDelay();
  seedNumbers();
  atexit(endInjection);
  injection.active = true;
}

// hidden-rename acts in the readers of one path only, named by LOGTEST_INJECT_PATH as their
// command line names it, so that the readers of the other paths go ahead of them. A reader
// never stops for a selection it cannot use: the writers, which read the same one, do.
static void startReader(const char* selection, const char* dir) {
  const char* hidden_path = getenv("LOGTEST_INJECT_PATH");
  const char* problem = nullptr;
  if (hidden_path == nullptr || *hidden_path == '\0' || strcmp(hidden_path, dir) != 0 ||
      !selectFault(selection, &problem) || injection.fault != Fault::HiddenRename) {
    return;
  }
  seedNumbers();
  atexit(endInjection);
  injection.hiding = true;
}

__attribute__((constructor)) static void startInjection() {
  clock_gettime(CLOCK_MONOTONIC, &started);
  const char* selection = getenv("LOGTEST_INJECT");
  if (selection == nullptr || *selection == '\0') {
    return;
  }
  OwnCommand self = ownCommand();
  if (self.role == 'W' || self.role == 'w') {
    startWriter(selection);
  } else if (self.role == 'R' || self.role == 'r') {
    startReader(selection, self.dir);
  }
}
