#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "control/file_helpers.h"
#include "control/test_control.h"
#include "verifier/verifier.h"

static const useconds_t RETRY_PAUSE_USEC = 1000;
static const uint32_t HEADER_SIZE = sizeof(LogRecordHeader);

// Where one scan stands. The widths and signedness are those the diagnostics print.
struct LogScan {
  const char* path;
  FILE* stream;
  int32_t record;      // 1-based number of the header being handled
  uint32_t offset;     // where that header starts: size - remaining
  int32_t size;        // the file's size at the last open
  uint32_t remaining;  // bytes not yet consumed
  int32_t terminator;  // number of the first zero-length header; 0 while none has been seen
  int32_t retries;     // partial reads plus rechecks so far in this file
  uint32_t deadline;   // end of the retry window in seconds since the epoch; 0 while unset
};

// One set of buffers for the life of the process: the scan allocates nothing per record.
static LogRecordHeader header;
static uint8_t payload[PAYLOAD_BUFFER_SIZE];
static char stream_buffer[64 * 1024];  // fewer, larger reads on a network file system

static bool windowPassed(const LogScan& s) {
  return s.deadline != 0 && s.deadline < time(nullptr);
}

static void startWindow(LogScan& s) {
  s.deadline = static_cast<uint32_t>(time(nullptr)) + RETRY_WINDOW_SECONDS;
}

static void seekTo(const LogScan& s, uint32_t offset) {
  if (fseek(s.stream, static_cast<long>(offset), SEEK_SET) != 0) {
    perror("fseek(a log)");
    stopTest();
  }
}

// Opens the log; after a recheck, reopens it and resumes at the saved offset, so records
// already verified are not read (nor counted against their writers) again.
static void openLog(LogScan& s) {
  s.stream = my_fopen(s.path, "r", 1);
  setvbuf(s.stream, stream_buffer, _IOFBF, sizeof(stream_buffer));
  struct stat st;
  if (fstat(fileno(s.stream), &st) != 0) {
    perror("fstat(a log)");
    stopTest();
  }
  s.size = static_cast<int32_t>(st.st_size);
  s.remaining = static_cast<uint32_t>(st.st_size);
  // Tested here rather than at the end of data, so that a log still without its terminator
  // when the window ends is reported for what it most likely is: short.
  if (windowPassed(s)) {
    printf("Small log file, size = %d, min size = %d\n", s.size, static_cast<int>(LOG_SIZE_LIMIT));
    stopTest();
  }
  if (s.retries != 0) {
    s.remaining = static_cast<uint32_t>(s.size) - s.offset;
    seekTo(s, s.offset);
  }
}

[[noreturn]] static void unexpectedEof(const LogScan& s) {
  printf("Unexpected EOF, record = %d, size = %d, offset = %d\n", s.record,
         static_cast<int>(s.remaining), static_cast<int>(s.offset));
  stopTest();
}

// Reads the header at s.offset. False after a partial read: the caller handles the same
// header again, from its first byte, once its remaining bytes may have become visible.
static bool readHeader(LogScan& s) {
  size_t got = fread(&header, 1, HEADER_SIZE, s.stream);
  if (got == 0) {
    perror("fread(1)");
    printf("Error at offset %d in log size %d, record = %d\n", static_cast<int>(s.offset), s.size,
           s.record);
    stopTest();
  }
  if (got == HEADER_SIZE) {
    return true;
  }
  if (s.retries == 0) {
    puts("Partial read, retrying.");
    startWindow(s);
  }
  if (windowPassed(s)) {
    printf("Partial read retry timeout, record %d\n", s.record);
    stopTest();
  }
  s.retries++;
  s.record--;
  usleep(RETRY_PAUSE_USEC);
  // The seek also clears the stream's end-of-file mark, so the next read asks the file again.
  seekTo(s, s.offset);
  return false;
}

// No whole header is left. A file that ends on a record boundary without a terminator may
// be a renamed log whose last bytes are not visible here yet: pause, and let the caller
// reopen it. Anything else is a cut record. The window is judged at the reopen alone, so a
// terminator that never comes is reported as a small log whenever the second ticks over.
static void recheckAtEnd(LogScan& s) {
  fclose(s.stream);
  if (s.remaining != 0) {
    unexpectedEof(s);
  }
  usleep(RETRY_PAUSE_USEC);
  if (s.retries == 0) {
    startWindow(s);
  }
  s.retries++;
  printf("Rechecking for log terminator record, cnt = %d.\n", s.retries);
  s.record--;
}

static void checkOffset(const LogScan& s) {
  if (header.offset != s.offset) {
    printf("Unexpected record offset, record = %d, offset = %d, expected offset = %d\n", s.record,
           static_cast<int>(s.offset), static_cast<int>(header.offset));
    stopTest();
  }
}

// The header just read ends the file. Besides having seen a terminator, it must sit where it
// says: a tail of zeros (size grown, data never written) would otherwise pass as one.
static void checkLastHeader(const LogScan& s) {
  if (s.terminator == 0) {
    unexpectedEof(s);
  }
  checkOffset(s);
}

static void checkNoDataAfterTerminator(const LogScan& s) {
  if (s.terminator != 0 && header.dataLen != 0) {
    printf("Error: Data found beyond last record (%d), record = %d, size = %d, offset = %d\n",
           s.terminator, s.record, static_cast<int>(s.remaining), static_cast<int>(s.offset));
    stopTest();
  }
}

static void checkMagic(const LogScan& s) {
  if (header.magic != RECORD_MAGIC) {
    printf("Bad header at offset %d in log size %d, record = %d\n", static_cast<int>(s.offset),
           s.size, s.record);
    stopTest();
  }
}

static void checkPayloadFits(const LogScan& s) {
  if (header.dataLen > s.remaining) {
    printf("Unexpected EOF, missing data at offset %d in log size %d, record = %d\n",
           static_cast<int>(s.offset), s.size, s.record);
    stopTest();
  }
}

// After the offset check, so that a misplaced header is reported as such whatever its length.
static void checkPayloadBuffer(const LogScan& s) {
  if (header.dataLen > PAYLOAD_BUFFER_SIZE) {
    printf("Record too long, dataLen = %u at offset %d in log size %d, record = %d\n",
           header.dataLen, static_cast<int>(s.offset), s.size, s.record);
    stopTest();
  }
}

// A read that yields some but not all bytes is left to the digest to judge.
static void verifyPayload(const LogScan& s) {
  if (fread(payload, 1, header.dataLen, s.stream) == 0) {
    int saved_errno = errno;
    perror("fread(2)");
    printf("Error %d reading %d bytes  at offset %d in log size %d, record = %d\n", saved_errno,
           static_cast<int>(header.dataLen), static_cast<int>(s.offset), s.size, s.record);
    stopTest();
  }
  if (!checkRecord(header, payload)) {
    printf("checkRecord() failed at offset %d in log size %d, record = %d\n",
           static_cast<int>(s.offset), s.size, s.record);
    stopTest();
  }
}

void checkLog(const char* path) {
  LogScan s{};
  s.path = path;
  openLog(s);
  for (;;) {
    s.record++;
    s.offset = static_cast<uint32_t>(s.size) - s.remaining;
    if (s.remaining < HEADER_SIZE) {
      recheckAtEnd(s);
      openLog(s);
      continue;
    }
    if (!readHeader(s)) {
      continue;
    }
    checkNoDataAfterTerminator(s);
    // The first zero-length header is the terminator; it must be the last 36 bytes, which
    // the magic check below enforces (a terminator's magic is 0).
    if (header.dataLen == 0 && s.terminator == 0) {
      s.terminator = s.record;
    }
    s.remaining -= HEADER_SIZE;
    if (s.remaining == 0) {
      checkLastHeader(s);
      fclose(s.stream);
      return;
    }
    checkMagic(s);
    // Header-only records with a good magic may follow the first terminator.
    if (s.terminator != 0) {
      continue;
    }
    checkPayloadFits(s);
    checkOffset(s);
    checkPayloadBuffer(s);
    verifyPayload(s);
    s.remaining -= header.dataLen;
  }
}
