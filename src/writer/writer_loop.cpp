#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/md5_digest.h"
#include "control/roles.h"
#include "control/test_control.h"
#include "writer/writer.h"

// Owned by the loop for the life of the process: nothing is allocated per record.
static LogRecordHeader record;
static uint8_t record_payload[PAYLOAD_BUFFER_SIZE];

// The sequence random() gives after srandom(seed), drawn through random_r from a state of the
// writer's own: random() takes a lock around every draw, and with up to 1,280 draws a record
// the lock cost nearly as much CPU as the digest. 128 bytes of state select the generator
// random() itself uses.
static random_data draws;
static char draw_state[128];

void seedDraws(unsigned int seed) {
  initstate_r(seed, draw_state, sizeof(draw_state), &draws);
}

static uint32_t draw() {
  int32_t value = 0;
  random_r(&draws, &value);
  return static_cast<uint32_t>(value);
}

static uint32_t drawLength() {
  uint32_t len = draw() % PAYLOAD_BUFFER_SIZE;
  return len == 0 ? 1 : len;
}

// Whole 8-byte words only; a tail of len % 8 bytes keeps what earlier records left there,
// which the digest covers all the same.
static void fillPayload(uint8_t* payload, uint32_t len) {
  for (uint32_t i = 0; i < len / 8; i++) {
    uint64_t word = draw();
    memcpy(payload + 8 * i, &word, sizeof(word));
  }
}

void prepareRecord(LogRecordHeader& header, uint8_t* payload) {
  header.dataLen = drawLength();
  fillPayload(payload, header.dataLen);
  computeMd5(payload, header.dataLen, header.md5);
}

// The writer's promise, said once however it ends (at the stop, or through stopTest when the
// test stopped in the middle of an append): every record up to this one was acknowledged by
// the file system, so the logs must hold it. A killed writer says nothing and promises nothing.
static bool promise_told = false;

static void tellLastRecord() {
  if (!promise_told && my_id != 0) {
    promise_told = true;
    printf("Last record written: %d by writer %d\n", acked_seq, my_id);
  }
}

void logWriter() {
  record.magic = RECORD_MAGIC;
  record.clientID = static_cast<uint32_t>(getMyID());
  atexit(tellLastRecord);
  record.seqNo = 0;
  seedDraws(static_cast<unsigned int>(getpid()));

  // The draws happen in a fixed order per pass (pause, long pause, length, payload words), so
  // one seed always replays the same records.
  while (testIsRunning()) {
    usleep(draw() % 1000);
    // Writers with an even ID now and then hold back, letting the others race for the lock.
    if (record.clientID % 2 == 0 && draw() % 100 < 2) {
      sleep(4);
    }
    prepareRecord(record, record_payload);
    writeLogEntry(record, record_payload);
  }
  tellLastRecord();
}
