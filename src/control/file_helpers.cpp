#include "control/file_helpers.h"

#include <fcntl.h>
#include <sys/file.h>
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

FILE* my_fopen(const char* path, const char* mode, int retry) {
  const int max_attempts = 11;
  for (int attempt = 1;; attempt++) {
    FILE* stream = fopen(path, mode);
    if (stream != nullptr || retry == 0) {
      return stream;
    }
    char label[80];
    int saved_errno = errno;
    snprintf(label, sizeof(label), "fopen(\"%s\", \"%s\")", path, mode);
    errno = saved_errno;
    perror(label);
    if (attempt == max_attempts) {
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
