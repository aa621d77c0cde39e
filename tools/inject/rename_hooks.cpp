// The rollover's rename of last_log to log.N, and the faults that make bytes of a numbered log
// arrive after its name: torn-rename (the terminator, too late for the readers), slow-rename
// (whole records at a time, in time) and late-write (stale bytes over records, after the
// readers verified them). A helper thread brings the late bytes while the writer goes on.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/log_format.h"
#include "inject.h"

// Past the readers' five-second recheck window, so the log is reported small.
static const int TORN_DELAY_SECONDS = 8;
// Well inside that window, so the readers wait it out.
static const int GROWTH_MILLISECONDS = 2000;
static const int GROWTH_STEPS = 8;
// After the readers of a local file system verified the log (they poll every 10 ms), before
// they delete it ten logs later unless logs come faster than 30 a second; and one sector of
// stale bytes.
static const int LATE_WRITE_MILLISECONDS = 300;
static const size_t LATE_WRITE_BYTES = 512;

static const size_t HEADER_SIZE = sizeof(LogRecordHeader);

static int realRename(const char* from, const char* to) {
  static auto next = nextDefinition(&rename, "rename");
  return next(from, to);
}

static void sleepMs(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

static bool appendTo(const std::string& path, const char* data, size_t n) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = writeFully(fd, data, n);
  close(fd);
  return ok;
}

// Starts work on a thread of its own, or does it now if no thread can be had.
template <typename Work>
static void inBackground(Work work) {
  try {
    std::thread(work).detach();
  } catch (const std::system_error&) {
    work();
  }
}

// torn-rename: the terminator is cut off before the rename and appended to log.N later.
// False, with nothing done, when last_log has no terminator to cut.
static bool tornRename(const char* from, const char* to, int* rc) {
  int fd = open(from, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::string log = to;
  std::vector<char> tail(HEADER_SIZE);
  off_t size = lseek(fd, 0, SEEK_END);
  bool cut = size >= static_cast<off_t>(HEADER_SIZE) &&
             pread(fd, tail.data(), HEADER_SIZE, size - HEADER_SIZE) ==
                 static_cast<ssize_t>(HEADER_SIZE) &&
             ftruncate(fd, size - HEADER_SIZE) == 0;
  close(fd);
  if (!cut) {
    return false;
  }
  *rc = realRename(from, to);
  if (*rc != 0) {
    int saved_errno = errno;
    appendTo(from, tail.data(), tail.size());
    errno = saved_errno;
    return true;
  }
  inBackground([log, tail] {
    sleepMs(TORN_DELAY_SECONDS * 1000);
    appendTo(log, tail.data(), tail.size());
  });
  return true;
}

// slow-rename: one numbered log on its way to its whole size. Each longer prefix is written
// beside the log and renamed over it, so it appears at once: a prefix grown by appending would
// show readers a record cut in the middle (ext4 was seen to report a size inside one large
// write(2) to a concurrent stat), which they rightly report at once.
struct Growth {
  std::string log;           // log.N
  std::string full;          // the whole log, hidden beside it until the last step
  std::string part;          // the next prefix, beside it until renamed over it
  std::vector<char> bytes;   // the whole log
  std::vector<size_t> ends;  // where each record ends, the terminator last
  Growth* next = nullptr;
};

// Guards the list and every step. A plain list head: nothing here is destroyed at exit, when
// finishRenames still walks it.
static std::mutex growth_mutex;
static Growth* growing = nullptr;

// Whole records only, and the whole log is the last step's alone.
static size_t prefixSize(const Growth& g, int step) {
  size_t records = g.ends.size() * static_cast<size_t>(step) / GROWTH_STEPS;
  return records == 0 ? 0 : g.ends[records - 1];
}

static void showPrefix(const Growth& g, int step) {
  int fd = open(g.part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return;
  }
  bool ok = writeFully(fd, g.bytes.data(), prefixSize(g, step));
  close(fd);
  if (!ok || realRename(g.part.c_str(), g.log.c_str()) != 0) {
    unlink(g.part.c_str());
  }
}

// Under growth_mutex. Once only: grow's last step forgets the log, and after finishRenames
// no step can take the lock again.
static void completeGrowth(Growth& g) {
  realRename(g.full.c_str(), g.log.c_str());
}

static void forget(Growth* g) {
  for (Growth** at = &growing; *at != nullptr; at = &(*at)->next) {
    if (*at == g) {
      *at = g->next;
      break;
    }
  }
  delete g;
}

static void grow(Growth* g) {
  for (int step = 2; step <= GROWTH_STEPS; step++) {
    sleepMs(GROWTH_MILLISECONDS / GROWTH_STEPS);
    std::lock_guard<std::mutex> lock(growth_mutex);
    if (step == GROWTH_STEPS) {
      completeGrowth(*g);
      forget(g);
      return;
    }
    showPrefix(*g, step);
  }
}

// The whole of last_log and where each record in it ends; false unless it is records back to
// back, which it is unless another fault is at work.
static bool readRecords(const char* path, Growth& g) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  off_t size = lseek(fd, 0, SEEK_END);
  g.bytes.resize(size > 0 ? static_cast<size_t>(size) : 0);
  bool ok = size > 0 && pread(fd, g.bytes.data(), g.bytes.size(), 0) == size;
  close(fd);
  size_t at = 0;
  while (ok && at + HEADER_SIZE <= g.bytes.size()) {
    LogRecordHeader h;
    memcpy(&h, g.bytes.data() + at, HEADER_SIZE);
    at += HEADER_SIZE + h.dataLen;
    g.ends.push_back(at);
  }
  return ok && at == g.bytes.size();
}

static bool slowRename(const char* from, const char* to, int* rc) {
  Growth* g = new Growth;
  if (!readRecords(from, *g)) {
    delete g;
    return false;
  }
  g->log = to;
  const char* name = baseName(to);
  std::string dir = name == to ? "." : std::string(to, static_cast<size_t>(name - 1 - to));
  std::string hidden = dir + "/.inject." + name;
  g->full = hidden + ".full";
  g->part = hidden + ".part";
  *rc = realRename(from, g->full.c_str());
  if (*rc != 0) {
    delete g;
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(growth_mutex);
    showPrefix(*g, 1);
    g->next = growing;
    growing = g;
  }
  inBackground([g] { grow(g); });
  return true;
}

// late-write: a page of the log that the writer's client still held is written back after
// the rename, with zeros where the records were: over the record that starts halfway into the
// log, so that it lands on records and not on the terminator.
struct LateWrite {
  std::string log;
  LateWrite* next = nullptr;
};

// Guards the list and every write, like growth_mutex.
static std::mutex late_mutex;
static LateWrite* late = nullptr;

// Where the first record at or past the middle of the log starts, with room for the stale
// bytes before the terminator; -1 if the log is not records back to back.
static off_t middleRecord(int fd) {
  off_t size = lseek(fd, 0, SEEK_END);
  off_t at = 0;
  while (at < size / 2) {
    LogRecordHeader h;
    if (pread(fd, &h, HEADER_SIZE, at) != static_cast<ssize_t>(HEADER_SIZE) || h.dataLen == 0) {
      return -1;
    }
    at += static_cast<off_t>(HEADER_SIZE + h.dataLen);
  }
  return at + static_cast<off_t>(LATE_WRITE_BYTES + HEADER_SIZE) <= size ? at : -1;
}

// Under late_mutex. Counted as fired once the stale bytes are stored; a log that the readers
// deleted already escapes.
static void writeLate(const LateWrite& w) {
  int fd = open(w.log.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  static const char zeros[LATE_WRITE_BYTES] = {};
  off_t at = middleRecord(fd);
  if (at >= 0 && pwrite(fd, zeros, sizeof(zeros), at) == static_cast<ssize_t>(sizeof(zeros))) {
    counters.fired++;
  }
  close(fd);
}

static void forgetLate(LateWrite* w) {
  for (LateWrite** at = &late; *at != nullptr; at = &(*at)->next) {
    if (*at == w) {
      *at = w->next;
      break;
    }
  }
  delete w;
}

static void scheduleLateWrite(const char* log) {
  LateWrite* w = new LateWrite;
  w->log = log;
  {
    std::lock_guard<std::mutex> lock(late_mutex);
    w->next = late;
    late = w;
  }
  inBackground([w] {
    sleepMs(LATE_WRITE_MILLISECONDS);
    std::lock_guard<std::mutex> lock(late_mutex);
    writeLate(*w);
    forgetLate(w);
  });
}

void finishRenames() {
  // Held to the end of the process: no step may follow the completion, no late write may
  // follow the ones done here.
  growth_mutex.lock();
  for (Growth* g = growing; g != nullptr; g = g->next) {
    completeGrowth(*g);
  }
  late_mutex.lock();
  for (LateWrite* w = late; w != nullptr; w = w->next) {
    writeLate(*w);
  }
}

extern "C" int rename(const char* from, const char* to) noexcept {
  if (!injection.active || !pathNames(from, LAST_LOG_NAME) || !isNumberedLog(baseName(to))) {
    return realRename(from, to);
  }
  counters.renames++;
  int rc = 0;
  // Counted as fired only once the rename was done the faulty way.
  if ((faultDrawn(Fault::TornRename) && tornRename(from, to, &rc)) ||
      (faultDrawn(Fault::SlowRename) && slowRename(from, to, &rc))) {
    counters.fired++;
    return rc;
  }
  rc = realRename(from, to);
  if (rc == 0 && faultDrawn(Fault::LateWrite)) {
    scheduleLateWrite(to);
  }
  return rc;
}
