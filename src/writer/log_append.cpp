#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "control/file_helpers.h"
#include "control/test_control.h"
#include "writer/writer.h"

int acked_seq = 0;

// Room for the largest record, so that header and payload leave the process in one write(2)
// and a reader never sees a record arrive in pieces. One stream is open at a time.
static char stream_buffer[sizeof(LogRecordHeader) + PAYLOAD_BUFFER_SIZE];

// As fopen(last_log, "a+") would open it, except through a symlink: a writer running as root
// must not append to (or later rename) a file that someone else's link points at.
static FILE* openLastLog() {
  int fd = open(last_log, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW, 0666);
  // Nor into a FIFO or a device put in its place: records would go where no reader looks, and
  // a FIFO would hold every writer that waits for the lock.
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    fprintf(stderr, "fopen(last_log): not a regular file\n");
    stopTest();
  }
  FILE* log = fd < 0 ? nullptr : fdopen(fd, "a+");
  if (log == nullptr) {
    perror("fopen(last_log)");
    stopTest();
  }
  setvbuf(log, stream_buffer, _IOFBF, sizeof(stream_buffer));
  return log;
}

static off_t logSize(FILE* log) {
  struct stat st;
  if (fstat(fileno(log), &st) != 0) {
    perror("fstat()");
    stopTest();
  }
  return st.st_size;
}

// Flush before the sync, so the sync covers every byte we wrote, and close before the caller
// drops the lock, so the next writer's fstat sees the whole record. A failure anywhere here
// means the bytes may not be on the file system: never let that pass as a written record.
static void syncAndClose(FILE* log) {
  if (fflush(log) != 0) {
    perror("fflush(last_log)");
    stopTest();
  }
  if (fsync(fileno(log)) != 0) {
    perror("fsync(last_log)");
    stopTest();
  }
  if (fclose(log) != 0) {
    perror("fclose(last_log)");
    stopTest();
  }
}

FILE* open_current_log(CurrentLog& cur) {
  for (;;) {
    if (!testIsRunning()) {
      stopTest();
    }
    cur.lockFd = lockFile(space_lock_file, LOCK_EX);
    FILE* log = openLastLog();
    off_t size = logSize(log);
    if (size <= LOG_SIZE_LIMIT) {
      cur.size = static_cast<uint32_t>(size);
      return log;
    }
    // The rollover takes the lock again and re-checks, so drop ours rather than nest them.
    fclose(log);
    close(cur.lockFd);
    logRollover(cur);
  }
}

// Several writers may find last_log oversized at once:
//   1. A and B both see 1,030,000 bytes and release the lock.
//   2. A gets the lock here first, appends the terminator and renames last_log to log.N.
//   3. B gets the lock, its fopen creates (or opens) the new last_log, which is small: B leaves
//      without writing and goes back to append normally.
// So each log gets exactly one terminator and one name.
void logRollover(const CurrentLog& cur) {
  int lock_fd = lockFile(space_lock_file, LOCK_EX);
  FILE* log = openLastLog();
  off_t size = logSize(log);
  if (size <= LOG_SIZE_LIMIT) {
    fclose(log);
    close(lock_fd);
    return;
  }
  LogRecordHeader terminator{};
  terminator.offset = static_cast<uint32_t>(size);
  terminator.clientID = cur.clientID;
  write_all(log, &terminator, sizeof(terminator));
  // The log is whole before it gets its number: readers trust any log.N they can see.
  syncAndClose(log);

  char name[PATH_BUFFER_SIZE];
  getNextLogName(lock_fd, name);
  printf("Log rename %s by writer %d\n", name, cur.clientID);
  if (rename(last_log, name) < 0) {
    perror("rename()");
    stopTest();
  }
  close(lock_fd);
}

void getNextLogName(int fd, char (&name)[PATH_BUFFER_SIZE]) {
  int32_t number = 1;
  ssize_t got = pread(fd, &number, sizeof(number), 0);
  if (got < 0) {
    perror("pread(getNextLogName)");
    stopTest();
  }
  if (got < static_cast<ssize_t>(sizeof(number))) {
    number = 1;  // an empty logInfo starts the numbering
  }
  formLogName(name, number);
  // Renaming over an existing log would destroy records nobody has verified yet.
  if (access(name, F_OK) == 0) {
    printf("New log file already exists: %s\n", name);
    stopTest();
  }
  if (errno != ENOENT) {
    perror("access()");
    stopTest();
  }
  int32_t next = static_cast<int32_t>(static_cast<uint32_t>(number) + 1);
  if (pwrite(fd, &next, sizeof(next), 0) != static_cast<ssize_t>(sizeof(next))) {
    perror("write(next_id)");
    stopTest();
  }
}

void writeLogEntry(LogRecordHeader& header, const uint8_t* payload) {
  CurrentLog cur{};
  cur.clientID = header.clientID;
  FILE* log = open_current_log(cur);
  // Numbered under the lock, so each writer's records reach the file in sequence order.
  header.seqNo = getNextRecNo();
  header.offset = cur.size;
  write_all(log, &header, sizeof(header));
  write_all(log, payload, header.dataLen);
  syncAndClose(log);
  close(cur.lockFd);
  acked_seq = static_cast<int>(header.seqNo);
}
