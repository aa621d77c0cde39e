#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "control/md5_digest.h"
#include "verifier/verifier.h"

// The next sequence number each writer owes, by client ID. A map rather than a table indexed
// by ID: a damaged header may carry any ID, and must not make the reader allocate for it.
static std::unordered_map<uint32_t, int32_t> expected_seq;

bool checkRecordSeqNo(const LogRecordHeader& header) {
  // Writers are numbered from 1, so an ID of 0 is damage, not a new writer.
  if (header.clientID == 0) {
    printf("Invalid client ID %u\n", header.clientID);
    return false;
  }
  int32_t& expected = expected_seq.try_emplace(header.clientID, 1).first->second;
  if (header.seqNo == static_cast<uint32_t>(expected)) {
    // Unsigned step: a writer that reaches 2^31 records wraps instead of overflowing.
    expected = static_cast<int32_t>(static_cast<uint32_t>(expected) + 1);
    return true;
  }
  printf("Unexpected sequence numer for client ID %d, expected: %d found: %d\n",
         static_cast<int>(header.clientID), expected, static_cast<int>(header.seqNo));
  return false;
}

bool checkRecord(const LogRecordHeader& header, const uint8_t* payload) {
  uint8_t digest[16];
  computeMd5(payload, header.dataLen, digest);
  if (!checkRecordSeqNo(header)) {
    return false;
  }
  if (memcmp(digest, header.md5, sizeof(digest)) != 0) {
    printf("Cheksum failed for client ID %d\n", static_cast<int>(header.clientID));
    return false;
  }
  return true;
}

void printVerifiedUpTo() {
  std::map<uint32_t, uint32_t> last;  // by client ID, so the line reads in order
  for (const auto& [client, expected] : expected_seq) {
    if (expected > 1) {
      last[client] = static_cast<uint32_t>(expected) - 1;
    }
  }
  std::string text;
  for (const auto& [client, seq] : last) {
    text +=
        (text.empty() ? " " : ", ") + std::to_string(seq) + " by writer " + std::to_string(client);
  }
  printf("Last records verified:%s\n", text.empty() ? " none" : text.c_str());
}

void resetExpectedSeq() {
  expected_seq.clear();
}
