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

static uint64_t rng_state;

uint64_t drawNumber() {
  // xorshift64*: enough to spread faults, and no shared state with the writer's random().
  rng_state ^= rng_state >> 12;
  rng_state ^= rng_state << 25;
  rng_state ^= rng_state >> 27;
  return rng_state * 0x2545F4914F6CDD1DULL;
}

bool faultDrawn(Fault f) {
  if (!injection.active || injection.fault != f) {
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

// A logtest writer, known by its own command line: the program is named logtest and the
// role's first character is W or w. Readers, the dump, the launcher and any shell between
// them load the library too and must stay untouched whatever their environment says.
static bool isWriter() {
  char cmdline[4096];
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ssize_t len = read(fd, cmdline, sizeof(cmdline) - 1);
  close(fd);
  if (len <= 0) {
    return false;
  }
  cmdline[len] = '\0';
  size_t program_len = strlen(cmdline);
  if (!pathNames(cmdline, "logtest") || static_cast<ssize_t>(program_len + 1) >= len) {
    return false;
  }
  char role = cmdline[program_len + 1];
  return role == 'W' || role == 'w';
}

// "FAULT" or "FAULT:RATE". A writer told to inject something unknown stops before it writes
// a record: a run without its fault must not pass for a run with it.
static void parseSelection(const char* text) {
  const char* colon = strchr(text, ':');
  size_t name_len = colon == nullptr ? strlen(text) : static_cast<size_t>(colon - text);
  for (const FaultRow& f : FAULT_TABLE) {
    if (strlen(f.name) != name_len || strncmp(f.name, text, name_len) != 0) {
      continue;
    }
    injection.fault = f.fault;
    injection.rate = f.default_rate;
    if (colon == nullptr) {
      return;
    }
    char* end = nullptr;
    errno = 0;
    injection.rate = strtod(colon + 1, &end);
    if (errno == 0 && end != colon + 1 && *end == '\0' && injection.rate > 0 &&
        injection.rate <= 1) {
      return;
    }
    fprintf(stderr, "logtest-inject: LOGTEST_INJECT=%s: the rate must be above 0 and at most 1\n",
            text);
    _exit(2);
  }
  fprintf(stderr, "logtest-inject: LOGTEST_INJECT=%s: unknown fault; one of:", text);
  for (const FaultRow& f : FAULT_TABLE) {
    fprintf(stderr, " %s", f.name);
  }
  fprintf(stderr, "\n");
  _exit(2);
}

static const char* faultName(Fault fault) {
  for (const FaultRow& f : FAULT_TABLE) {
    if (f.fault == fault) {
      return f.name;
    }
  }
  return "?";
}

// One line per writer, appended in one write(2) so that writers ending together do not mix.
static void writeReport() {
  const char* path = getenv("LOGTEST_INJECT_REPORT");
  if (path == nullptr || *path == '\0') {
    return;
  }
  char line[512];
  const Counters& c = counters;
  int len = snprintf(
      line, sizeof(line),
      "pid=%d fault=%s rate=%g streams=%llu records=%llu split=%llu locks=%llu "
      "fstats=%llu fsyncs=%llu closes=%llu renames=%llu fired=%llu\n",
      static_cast<int>(getpid()), faultName(injection.fault), injection.rate,
      (unsigned long long)c.streams, (unsigned long long)c.records, (unsigned long long)c.split,
      (unsigned long long)c.locks, (unsigned long long)c.fstats, (unsigned long long)c.fsyncs,
      (unsigned long long)c.closes, (unsigned long long)c.renames, (unsigned long long)c.fired);
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

__attribute__((constructor)) static void startInjection() {
  const char* selection = getenv("LOGTEST_INJECT");
  if (selection == nullptr || *selection == '\0' || !isWriter()) {
    return;
  }
  parseSelection(selection);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  rng_state = ((static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
               static_cast<uint64_t>(now.tv_sec)) |
              1;  // xorshift never leaves 0
  atexit(endInjection);
  injection.active = true;
}
