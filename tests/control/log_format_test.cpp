#include "control/log_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_logs.h"

TEST(LogFormatTest, HeaderBytesAreLittleEndian) {
  LogRecordHeader h{};
  h.magic = RECORD_MAGIC;
  h.offset = 0x01020304;
  h.clientID = 7;
  h.seqNo = 0x00a0b0c0;
  h.dataLen = 10239;
  for (int i = 0; i < 16; i++) {
    h.md5[i] = static_cast<uint8_t>(i + 1);
  }
  std::string md5;
  for (int i = 0; i < 16; i++) {
    md5.push_back(static_cast<char>(i + 1));
  }
  std::string expected = encodeHeader(0xDEADBEAF, 0x01020304, 7, 0x00a0b0c0, 10239, md5);
  ASSERT_EQ(expected.size(), sizeof(h));
  EXPECT_EQ(0, memcmp(expected.data(), &h, sizeof(h)));
  EXPECT_EQ(static_cast<uint8_t>(expected[0]), 0xAF);  // magic starts with its low byte
}
