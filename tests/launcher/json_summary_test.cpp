#include "json_summary.h"

#include <gtest/gtest.h>

TEST(JsonSummaryTest, StringsAreEscaped) {
  EXPECT_EQ(jsonString(""), "\"\"");
  EXPECT_EQ(jsonString("a \"b\" \\c/"), "\"a \\\"b\\\" \\\\c/\"");
  EXPECT_EQ(jsonString(std::string("\x01\t\n\x1f\x7f", 5)), "\"\\u0001\\u0009\\u000a\\u001f\x7f\"");
  EXPECT_EQ(jsonString(std::string("nul\0end", 7)), "\"nul\\u0000end\"");
}

TEST(JsonSummaryTest, WellFormedUtf8StaysOtherBytesBecomeReplacementCharacters) {
  EXPECT_EQ(jsonString("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
  struct Case {
    const char* bytes;
    const char* json;
  } cases[] = {
      {"\xff", "\"\\ufffd\""},                                   // never in UTF-8
      {"a\xc3", "\"a\\ufffd\""},                                 // cut sequence
      {"\xc3(", "\"\\ufffd(\""},                                 // bad continuation
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                        // overlong '/'
      {"\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\""},             // overlong '/'
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // above U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jsonString(c.bytes), c.json) << c.json;
  }
}
