// The log directory and the on-disk record format shared by writers, readers and the dump.
#pragma once

#include <cstddef>
#include <cstdint>

// Files of a log directory. Processes of one test, on one host or many, meet only here.
//
//   StopTest  marker: while it exists every process stops; only its existence counts.
//   logInfo   prepared by the operator (may be empty). Bytes 0-3 hold the number of the next
//             numbered log, int32 little-endian; fewer than 4 bytes stand for 1. The exclusive
//             flock on it covers one whole append or one whole rollover.
//   next_id   prepared by the operator, e.g. "0". Decimal text of the last client ID handed out;
//             its flock covers handing out one ID.
//   last_log  the log all writers append to; created by the first writer.
//   log.N     a finished log: last_log renamed at rollover, N = 1, 2, 3, ...
constexpr const char* STOP_TEST_NAME = "StopTest";
constexpr const char* LOG_INFO_NAME = "logInfo";
constexpr const char* NEXT_ID_NAME = "next_id";
constexpr const char* LAST_LOG_NAME = "last_log";
constexpr const char* NUMBERED_LOG_PREFIX = "log.";  // log.N is "%s/log.%d" with the directory

// A reader that has verified log.N deletes log.(N - LOGS_KEPT): the ten verified logs
// log.(N - 9) to log.N remain. Whoever watches the directory must know it to tell a log that
// a reader deleted from one that vanished.
constexpr unsigned LOGS_KEPT = 10;

// A log whose content lags behind its size or its name gets this long to catch up, counted
// from the first retry of either kind and never extended.
constexpr unsigned RETRY_WINDOW_SECONDS = 5;

// Whether a directory entry is a numbered log: "log." and decimal digits, nothing else.
inline bool isNumberedLog(const char* name) {
  const char* digits = name + 4;  // strlen(NUMBERED_LOG_PREFIX)
  if (name[0] != 'l' || name[1] != 'o' || name[2] != 'g' || name[3] != '.' || *digits == '\0') {
    return false;
  }
  for (const char* c = digits; *c != '\0'; c++) {
    if (*c < '0' || *c > '9') {
      return false;
    }
  }
  return true;
}

// A log file is records back to back, nothing before, between or after them. A record is a
// 36-byte header followed by dataLen payload bytes. Every field is little-endian, no padding:
//
//   byte  0  uint32  magic     RECORD_MAGIC (0xDEADBEAF, not 0xDEADBEEF); 0 in a terminator
//   byte  4  uint32  offset    position of this header in its file
//   byte  8  uint32  clientID  writer's client ID, 1 or more (the rolling writer's in a terminator)
//   byte 12  uint32  seqNo     per writer 1, 2, 3, ... across all numbered logs; 0 in a terminator
//   byte 16  uint32  dataLen   payload bytes, 1 to MAX_PAYLOAD_LEN; 0 in a terminator
//   byte 20  16 B    md5       MD5 digest of the payload; all zero in a terminator
//
// The terminator is a header with no payload and ends every numbered log as its last 36 bytes.
//
// A writer appends only after seeing, under the logInfo lock, a size of at most LOG_SIZE_LIMIT;
// a larger last_log is first closed with a terminator and renamed to log.N. So the last data
// record of a numbered log starts at or below LOG_SIZE_LIMIT and a whole log measures
// 1,024,037 to 1,034,311 bytes.
//
// A reader checks each header in this order: a whole header could be read; no data record
// after the first zero-length header; magic; the bytes left hold the payload; offset; dataLen
// fits the payload buffer; then per writer seqNo, and last the digest. The last 36 bytes of a
// log must be a terminator carrying its own offset.
struct LogRecordHeader {
  uint32_t magic;
  uint32_t offset;
  uint32_t clientID;
  uint32_t seqNo;
  uint32_t dataLen;
  uint8_t md5[16];
};

static_assert(sizeof(LogRecordHeader) == 36, "LogRecordHeader must be 36 bytes without padding");
// Headers go to disk as they lie in memory; peers on other hosts read them the same way.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record format is little-endian");

constexpr uint32_t RECORD_MAGIC = 0xDEADBEAF;
constexpr uint32_t LOG_SIZE_LIMIT = 1024000;

// Writers draw payloads of 1 to MAX_PAYLOAD_LEN bytes; readers refuse a dataLen above
// PAYLOAD_BUFFER_SIZE before reading the payload.
constexpr uint32_t PAYLOAD_BUFFER_SIZE = 10240;
constexpr uint32_t MAX_PAYLOAD_LEN = PAYLOAD_BUFFER_SIZE - 1;

// Every path of the system is formed in buffers of this size, so readers and writers name the
// same files whatever the length of the log directory's path.
constexpr int PATH_BUFFER_SIZE = 1024;

// The longest name formed from the log directory's path is a numbered log's with the widest
// int, "<path>/log.-2147483648" (StopTest, logInfo, next_id and last_log are shorter). A longer
// path is refused: a name cut short would be another file, possibly outside the directory.
constexpr size_t MAX_LOG_PATH_LEN = PATH_BUFFER_SIZE - sizeof("/log.-2147483648");
