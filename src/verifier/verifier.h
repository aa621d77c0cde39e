// The reader's checks: per-writer sequence numbers and payload digests, and the scan of one
// numbered log. Every defect is reported on standard output and ends the test.
#pragma once

#include <cstdint>

#include "control/log_format.h"

// True if header carries the sequence number its writer owes next; then that expectation
// moves on by one. Writers' numbers run on across numbered logs, so the expectations live
// for the whole reader process. A client seen for the first time owes 1.
bool checkRecordSeqNo(const LogRecordHeader& header);

// True if the record is its writer's next one and payload's first dataLen bytes match the
// header's digest. The sequence check comes first: a damaged payload with the right number
// has already advanced its writer's expectation when it is reported.
bool checkRecord(const LogRecordHeader& header, const uint8_t* payload);

// Says, in one line at the reader's end, the last record it verified of each writer: a
// writer's last records may be in logs long deleted, and this line is then their only trace.
void printVerifiedUpTo();

// Forgets every writer's expectation, as in a fresh reader process. For tests.
void resetExpectedSeq();

// Verifies the numbered log at path from its first byte to its terminator and returns only
// if the whole file is sound; any defect stops the test.
void checkLog(const char* path);
