// Calls on descriptors: the logInfo lock, the size of last_log, its sync.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "control/log_format.h"
#include "inject.h"

// flock-noop: the lock is granted and excludes nobody, as with locks kept only on the client.
extern "C" int flock(int fd, int op) noexcept {
  static auto next = nextDefinition(&flock, "flock");
  if (injection.active && (op & LOCK_EX) != 0 && fdNames(fd, LOG_INFO_NAME)) {
    counters.locks++;
    if (faultFires(Fault::FlockNoop)) {
      return 0;
    }
  }
  return next(fd, op);
}

// stale-size: last_log measures less than it holds, by up to one record, as from an attribute
// cache that has not seen the latest appends.
template <typename Size>
static void measure(int fd, Size& size) {
  if (!injection.active || !fdNames(fd, LAST_LOG_NAME)) {
    return;
  }
  counters.fstats++;
  const Size largest_record = sizeof(LogRecordHeader) + MAX_PAYLOAD_LEN;
  if (size > 0 && faultFires(Fault::StaleSize)) {
    size -=
        1 + static_cast<Size>(drawNumber() % static_cast<uint64_t>(std::min(size, largest_record)));
  }
}

extern "C" int fstat(int fd, struct stat* st) noexcept {
  static auto next = nextDefinition(&fstat, "fstat");
  int rc = next(fd, st);
  if (rc == 0) {
    measure(fd, st->st_size);
  }
  return rc;
}

extern "C" int fstat64(int fd, struct stat64* st) noexcept {
  static auto next = nextDefinition(&fstat64, "fstat64");
  int rc = next(fd, st);
  if (rc == 0) {
    measure(fd, st->st_size);
  }
  return rc;
}

// fsync-eio: the sync runs, then reports a write-back error.
static int synced(int fd, int rc) {
  if (rc != 0 || !injection.active || !fdNames(fd, LAST_LOG_NAME)) {
    return rc;
  }
  counters.fsyncs++;
  if (faultFires(Fault::FsyncEio)) {
    errno = EIO;
    return -1;
  }
  return rc;
}

extern "C" int fsync(int fd) {
  static auto next = nextDefinition(&fsync, "fsync");
  return synced(fd, next(fd));
}

extern "C" int fdatasync(int fd) {
  static auto next = nextDefinition(&fdatasync, "fdatasync");
  return synced(fd, next(fd));
}
