// last_log streams and the faults that act on a record's way to the file.
//
// The writer's records leave its stdio buffer through glibc's internal write, which no
// write() interposer sees. So fopen and fdopen of last_log hand the writer a stream of ours
// (fopencookie) whose write function is this file's, over the descriptor of the real stream.
// The writer's setvbuf still sizes the buffer of the stream it holds, so one fflush still hands
// us one whole record, and one write(2) stores it; the counters say if that ever stops being
// so. fileno of our stream answers the real descriptor, which fstat and fsync then see.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/log_format.h"
#include "inject.h"

struct WrappedStream {
  FILE* outer;  // what the writer holds
  FILE* inner;  // the real stream: its descriptor, and its close
  int fd;
  bool wrote;
};

// The writer has one last_log stream open at a time; a few more slots cost nothing.
static WrappedStream streams[8];

// drop-one drops the records of one writer: the launcher's writer 1, which the launcher names
// in LOGTEST_INJECT_WRITER (client IDs run on from test to test in a directory that keeps
// next_id); without it, the writer with client ID 1.
static bool droppedWriter(uint32_t client) {
  const char* writer = getenv("LOGTEST_INJECT_WRITER");
  return writer != nullptr && *writer != '\0' ? strcmp(writer, "1") == 0 : client == 1;
}

// Whether buf is exactly one data record; its header in *h.
static bool wholeRecord(const char* buf, size_t n, LogRecordHeader* h) {
  if (n < sizeof(*h)) {
    return false;
  }
  memcpy(h, buf, sizeof(*h));
  return h->magic == RECORD_MAGIC && h->dataLen != 0 && sizeof(*h) + h->dataLen == n;
}

static bool isTerminator(const char* buf, size_t n) {
  LogRecordHeader h;
  if (n != sizeof(h)) {
    return false;
  }
  memcpy(&h, buf, sizeof(h));
  return h.magic == 0 && h.dataLen == 0;
}

static ssize_t reportWritten(bool ok, size_t n) {
  return ok ? static_cast<ssize_t>(n) : -1;
}

// Each reports the whole record written, whatever it stored.
static ssize_t damagedWrite(int fd, const char* buf, size_t n, uint32_t payload_len) {
  const size_t header_len = sizeof(LogRecordHeader);
  switch (injection.fault) {
    case Fault::LostWrite:
    case Fault::DropAll:
    case Fault::DropOne:
      return static_cast<ssize_t>(n);
    case Fault::ShortWrite: {
      // The header and part of the payload: at least one byte of the record is missing.
      size_t kept = header_len + drawNumber() % payload_len;
      return reportWritten(writeFully(fd, buf, kept), n);
    }
    case Fault::BitFlip: {
      std::vector<char> copy(buf, buf + n);
      copy[header_len + drawNumber() % payload_len] ^= static_cast<char>(1 << (drawNumber() % 8));
      return reportWritten(writeFully(fd, copy.data(), n), n);
    }
    case Fault::DupWrite:
      return reportWritten(writeFully(fd, buf, n) && writeFully(fd, buf, n), n);
    default:
      return reportWritten(writeFully(fd, buf, n), n);
  }
}

// drop-all and drop-one: from LOGTEST_INJECT_AFTER seconds into the writer's life, every
// record of every client, or of one, is acknowledged and lost, as from a write-back cache that
// a server restart empties, or a client cut off from the server that goes on reporting
// success. The writer learns each append's offset from fstat under the lock, so what is not
// stored leaves no gap that the readers could see.
static bool dropFires(const LogRecordHeader& h) {
  bool dropped = injection.fault == Fault::DropAll ||
                 (injection.fault == Fault::DropOne && droppedWriter(h.clientID));
  return dropped && secondsRunning() >= injection.after_s && faultFires(injection.fault);
}

static bool recordFaultFires(const LogRecordHeader& h) {
  return faultFires(Fault::LostWrite) || faultFires(Fault::ShortWrite) ||
         faultFires(Fault::BitFlip) || faultFires(Fault::DupWrite) || dropFires(h);
}

static ssize_t cookieWrite(void* cookie, const char* buf, size_t n) {
  WrappedStream* s = static_cast<WrappedStream*>(cookie);
  s->wrote = true;
  LogRecordHeader h;
  if (!wholeRecord(buf, n, &h)) {
    if (!isTerminator(buf, n)) {
      counters.split++;
    }
    return reportWritten(writeFully(s->fd, buf, n), n);
  }
  counters.records++;
  if (recordFaultFires(h)) {
    return damagedWrite(s->fd, buf, n, h.dataLen);
  }
  return reportWritten(writeFully(s->fd, buf, n), n);
}

static ssize_t cookieRead(void* cookie, char* buf, size_t n) {
  return read(static_cast<WrappedStream*>(cookie)->fd, buf, n);
}

static int cookieSeek(void* cookie, off64_t* pos, int whence) {
  off64_t at = lseek64(static_cast<WrappedStream*>(cookie)->fd, *pos, whence);
  if (at < 0) {
    return -1;
  }
  *pos = at;
  return 0;
}

// The writer's fclose lands here after its last flush. close-eio reports a write-back error
// on a stream that wrote, the way a network file system reports one at close.
static int cookieClose(void* cookie) {
  WrappedStream* s = static_cast<WrappedStream*>(cookie);
  bool wrote = s->wrote;
  FILE* inner = s->inner;
  *s = WrappedStream{};
  int rc = fclose(inner);
  if (rc == 0 && wrote) {
    counters.closes++;
    if (faultFires(Fault::CloseEio)) {
      errno = EIO;
      return -1;
    }
  }
  return rc;
}

// Hands back our stream over inner, or inner itself if no slot or stream can be had.
static FILE* wrapStream(FILE* inner, const char* mode) {
  WrappedStream* slot = nullptr;
  for (WrappedStream& s : streams) {
    if (s.outer == nullptr) {
      slot = &s;
      break;
    }
  }
  if (slot == nullptr) {
    return inner;
  }
  cookie_io_functions_t io = {cookieRead, cookieWrite, cookieSeek, cookieClose};
  FILE* outer = fopencookie(slot, mode, io);
  if (outer == nullptr) {
    return inner;
  }
  *slot = WrappedStream{outer, inner, fileno(inner), false};
  counters.streams++;
  return outer;
}

extern "C" FILE* fopen(const char* path, const char* mode) {
  static auto next = nextDefinition(&fopen, "fopen");
  FILE* f = next(path, mode);
  if (!injection.active || f == nullptr || !pathNames(path, LAST_LOG_NAME)) {
    return f;
  }
  return wrapStream(f, mode);
}

extern "C" FILE* fopen64(const char* path, const char* mode) {
  static auto next = nextDefinition(&fopen64, "fopen64");
  FILE* f = next(path, mode);
  if (!injection.active || f == nullptr || !pathNames(path, LAST_LOG_NAME)) {
    return f;
  }
  return wrapStream(f, mode);
}

// The writer opens last_log itself (O_NOFOLLOW) and fdopens it: known by the file the
// descriptor has open. fopen and fopen64 above serve a logtest from before that change, which
// a remote host may still run.
extern "C" FILE* fdopen(int fd, const char* mode) noexcept {
  static auto next = nextDefinition(&fdopen, "fdopen");
  FILE* f = next(fd, mode);
  if (!injection.active || f == nullptr || !fdNames(fd, LAST_LOG_NAME)) {
    return f;
  }
  return wrapStream(f, mode);
}

extern "C" int fileno(FILE* stream) noexcept {
  static auto next = nextDefinition(&fileno, "fileno");
  if (stream != nullptr) {
    for (const WrappedStream& s : streams) {
      if (s.outer == stream) {
        return s.fd;
      }
    }
  }
  return next(stream);
}
