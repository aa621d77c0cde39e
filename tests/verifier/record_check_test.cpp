#include <gtest/gtest.h>

#include <cstring>

#include "support/test_logs.h"
#include "verifier/verifier.h"

namespace {

class RecordCheckTest : public testing::Test {
 protected:
  void SetUp() override { resetExpectedSeq(); }

  // Runs checkRecordSeqNo; returns what it printed and stores its verdict in ok.
  static std::string seqCheck(uint32_t clientID, uint32_t seqNo, bool* ok) {
    LogRecordHeader h{};
    h.magic = RECORD_MAGIC;
    h.clientID = clientID;
    h.seqNo = seqNo;
    testing::internal::CaptureStdout();
    *ok = checkRecordSeqNo(h);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(RecordCheckTest, EachWriterCountsFromOneOnItsOwn) {
  bool ok = false;
  std::string out;
  for (uint32_t seq : {1u, 2u, 3u}) {
    out += seqCheck(1, seq, &ok);
    out += seqCheck(0xFFFFFFFF, seq, &ok);  // one entry, not a table of four billion
  }
  EXPECT_EQ(out, "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(seqCheck(7, 2, &ok),
            "Unexpected sequence numer for client ID 7, expected: 1 found: 2\n");
  EXPECT_FALSE(ok);
}

TEST_F(RecordCheckTest, RepeatedOrSkippedNumberFailsAndKeepsTheExpectation) {
  bool ok;
  seqCheck(3, 1, &ok);
  seqCheck(3, 2, &ok);
  EXPECT_EQ(seqCheck(3, 2, &ok),
            "Unexpected sequence numer for client ID 3, expected: 3 found: 2\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(seqCheck(3, 5, &ok),
            "Unexpected sequence numer for client ID 3, expected: 3 found: 5\n");
  EXPECT_FALSE(ok);
  seqCheck(3, 3, &ok);
  EXPECT_TRUE(ok);
}

TEST_F(RecordCheckTest, ClientIdZeroIsRefused) {
  bool ok;
  EXPECT_EQ(seqCheck(0, 1, &ok), "Invalid client ID 0\n");
  EXPECT_FALSE(ok);
}

TEST_F(RecordCheckTest, DamagedPayloadFailsAfterItsNumberCounted) {
  std::string payload = makePayload(100, 1);
  LogRecordHeader h{};
  h.magic = RECORD_MAGIC;
  h.clientID = 4;
  h.seqNo = 1;
  h.dataLen = payload.size();
  memcpy(h.md5, md5Of(payload).data(), 16);
  EXPECT_TRUE(checkRecord(h, reinterpret_cast<const uint8_t*>(payload.data())));

  payload[99] ^= 1;
  h.seqNo = 2;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(checkRecord(h, reinterpret_cast<const uint8_t*>(payload.data())));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cheksum failed for client ID 4\n");
  bool ok;
  EXPECT_EQ(seqCheck(4, 3, &ok), "");
}

}  // namespace
