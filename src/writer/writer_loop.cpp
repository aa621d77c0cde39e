#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "control/md5_digest.h"
#include "control/roles.h"
#include "control/test_control.h"
#include "writer/writer.h"

// Owned by the loop for the life of the process: nothing is allocated per record.
static LogRecordHeader header;
static uint8_t payload[PAYLOAD_BUFFER_SIZE];

static uint32_t drawLength() {
  uint32_t len = static_cast<uint32_t>(random() % PAYLOAD_BUFFER_SIZE);
  return len == 0 ? 1 : len;
}

// Whole 8-byte words only; a tail of len % 8 bytes keeps what earlier records left there,
// which the digest covers all the same.
static void fillPayload(uint32_t len) {
  for (uint32_t i = 0; i < len / 8; i++) {
    uint64_t word = static_cast<uint64_t>(random());
    memcpy(payload + 8 * i, &word, sizeof(word));
  }
}

void logWriter() {
  header.magic = RECORD_MAGIC;
  header.clientID = static_cast<uint32_t>(getMyID());
  header.seqNo = 0;
  srandom(getpid());

  // The draws happen in a fixed order per pass (pause, long pause, length, payload words), so
  // one seed always replays the same records.
  while (testIsRunning()) {
    usleep(random() % 1000);
    // Writers with an even ID now and then hold back, letting the others race for the lock.
    if (header.clientID % 2 == 0 && random() % 100 < 2) {
      sleep(4);
    }
    header.dataLen = drawLength();
    fillPayload(header.dataLen);
    computeMd5(payload, header.dataLen, header.md5);
    writeLogEntry(header, payload);
  }
}
