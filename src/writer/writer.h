// The writer: client identity, append and rollover of the shared log, and the record loop.
#pragma once

#include <cstdint>
#include <cstdio>

#include "control/log_format.h"

extern int my_id;  // this process's client ID; 0 until getMyID has handed one out
extern int seq_n;  // last sequence number issued by this process
// The last sequence number whose append returned: written, synced and closed without error.
extern int acked_seq;

// The client ID of this process, taken once from next_id under its lock.
int getMyID();
// 1 on the first call, then 2, 3, ...
int getNextRecNo();

// One append's view of last_log, owned by the caller for the duration of that append.
struct CurrentLog {
  uint32_t clientID;
  uint32_t size;  // size of last_log under the lock: where the next record starts
  int lockFd;     // logInfo descriptor holding the exclusive lock
};

// Returns last_log open for appending with the logInfo lock held in cur.lockFd, rolling an
// oversized log over first.
FILE* open_current_log(CurrentLog& cur);
// Closes an oversized last_log with a terminator and renames it to the next log.N.
void logRollover(const CurrentLog& cur);
// Takes the next log number from the locked logInfo descriptor, advances it and fills name.
void getNextLogName(int fd, char (&name)[PATH_BUFFER_SIZE]);
// Appends one record; the caller has filled magic, clientID, dataLen and md5.
void writeLogEntry(LogRecordHeader& header, const uint8_t* payload);

// Seeds the writer's pseudo-random draws (pauses, lengths, payloads): the sequence random()
// gives after srandom(seed), so one seed always replays the same records. Called before the
// first draw.
void seedDraws(unsigned int seed);
// Draws the next record's length and payload and stamps its digest in header. payload holds
// PAYLOAD_BUFFER_SIZE bytes and is the caller's for the life of the process: a record keeps
// the tail of earlier ones beyond its last whole word.
void prepareRecord(LogRecordHeader& header, uint8_t* payload);

void logWriter();
