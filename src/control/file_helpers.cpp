#include "control/file_helpers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "control/test_control.h"

int lockFile(const char* path, int op) {
  // No O_CREAT: the operator prepares logInfo and next_id; a missing one means a wrong directory.
  // No symlink either: others may write the directory, and we run as root.
  int fd = open(path, O_RDWR | O_NOFOLLOW);
  if (fd < 0) {
    perror("open(space_lock_file)");
    stopTest();
  }
  int rc;
  do {
    rc = flock(fd, op);
  } while (rc != 0 && (errno == EINTR || errno == EAGAIN));
  if (rc != 0) {
    perror("flock()");
    stopTest();
  }
  return fd;
}

// An errno whose text hints at what the entry is instead of a log: a directory, a pipe (no
// seeking in it) or a device.
static int notRegularErrno(mode_t mode) {
  if (S_ISDIR(mode)) {
    return EISDIR;
  }
  return S_ISFIFO(mode) ? ESPIPE : ENODEV;
}

static bool clearNonblock(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens path for reading as a stream only if it is a regular file reached without a symlink;
// otherwise null with errno set, and wrong_type set when an entry is there but is no log (a
// symlink, FIFO, socket, device or directory). O_NONBLOCK keeps a FIFO from blocking the
// open; it is cleared before the first read.
static FILE* openRegularFile(const char* path, const char* mode, bool& wrong_type) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    wrong_type = errno == ELOOP || errno == ENXIO;
    return nullptr;
  }
  struct stat st;
  bool usable = fstat(fd, &st) == 0;
  if (usable && !S_ISREG(st.st_mode)) {
    wrong_type = true;
    usable = false;
    errno = notRegularErrno(st.st_mode);
  }
  FILE* stream = usable && clearNonblock(fd) ? fdopen(fd, mode) : nullptr;
  if (stream == nullptr) {
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
  }
  return stream;
}

FILE* my_fopen(const char* path, const char* mode, int retry) {
  const int max_attempts = 11;
  for (int attempt = 1;; attempt++) {
    bool wrong_type = false;
    FILE* stream = openRegularFile(path, mode, wrong_type);
    if (stream != nullptr || retry == 0) {
      return stream;
    }
    char label[80];
    int saved_errno = errno;
    snprintf(label, sizeof(label), "fopen(\"%s\", \"%s\")", path, mode);
    errno = saved_errno;
    perror(label);
    // A missing log may be a directory entry not yet visible here; an entry that is there
    // but is no log will not turn into one within a millisecond.
    if (attempt == max_attempts || wrong_type) {
      stopTest();
    }
    usleep(10);
  }
}

void write_all(FILE* stream, const void* buffer, uint32_t length) {
  const char* next = static_cast<const char*>(buffer);
  while (length > 0) {
    size_t written = fwrite(next, 1, length, stream);
    if (written == 0) {
      perror("fwrite()");
      stopTest();
    }
    next += written;
    length -= written;
  }
}
