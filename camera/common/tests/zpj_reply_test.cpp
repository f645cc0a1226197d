#include "camera/common/zpj_reply.h"

#include <gtest/gtest.h>

namespace camera {
namespace {

TEST(ZpjReply, LinesSplitAtNewlineKeepingCarriageReturn) {
  auto lines = replyLines("12\r\n:OK\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "12\r");
  EXPECT_EQ(lines[1], ":OK\r");
  EXPECT_EQ(replyLines("a\n\nb").size(), 3u);  // an empty middle line is a line
  EXPECT_TRUE(replyLines("").empty());
}

TEST(ZpjReply, ParseEchoesUpToTheAcknowledgingLine) {
  std::vector<std::string_view> echoed;
  EXPECT_TRUE(parseReply("first\r\nsecond:OK\r\nthird\r\n", &echoed));
  ASSERT_EQ(echoed.size(), 2u);
  EXPECT_EQ(echoed[1], "second:OK\r");

  echoed.clear();
  EXPECT_FALSE(parseReply("one\r\n:ERR\r\nthree", &echoed));
  EXPECT_EQ(echoed.size(), 3u);  // every line is echoed when none acknowledges

  EXPECT_FALSE(parseReply(":O\r\nK\r\n", nullptr));  // split marker is no acknowledgement
  EXPECT_TRUE(parseReply(":OK", nullptr));           // last line without newline counts
}

TEST(ZpjReply, SequenceEndsOnOkOrErr) {
  EXPECT_FALSE(endsSequenceReply("seq 0\r\nseq 1\r\n"));
  EXPECT_TRUE(endsSequenceReply("seq 12\r\n:OK\r\n"));
  EXPECT_TRUE(endsSequenceReply(":ERR\r\n"));
  EXPECT_FALSE(endsSequenceReply(":E"));
}

TEST(ZpjReply, DiagNumbers) {
  auto v = parseDiagNumbers("10.20.ff\r");
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)[0], 0x10u);
  EXPECT_EQ((*v)[1], 0x20u);
  EXPECT_EQ((*v)[2], 255u);
  EXPECT_TRUE(parseDiagNumbers(" 1. 2. 3"));
  EXPECT_FALSE(parseDiagNumbers("10.20"));
  EXPECT_FALSE(parseDiagNumbers("10..20"));
  EXPECT_FALSE(parseDiagNumbers("x.1.2"));
  EXPECT_FALSE(parseDiagNumbers("1.2.123456789"));  // more than 8 digits
  EXPECT_FALSE(parseDiagNumbers("1.2.80000000"));   // would read as a negative int
  EXPECT_TRUE(parseDiagNumbers("1.2.7fffffff"));
}

TEST(ZpjReply, DiagLastLineOverTcpFirstMarkerOverSerial) {
  const std::string reply = "diag\r\n//diag.rgb: 10.20.ff\r\nnoise //diag.rgb: 1.2.3\r\n";
  auto last = lastDiagLine(reply);
  ASSERT_TRUE(last);
  EXPECT_EQ((*last)[2], 3u);
  auto first = firstDiagMarker(reply);
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)[2], 255u);

  EXPECT_FALSE(lastDiagLine("diag\r\n:OK\r\n"));
  EXPECT_FALSE(firstDiagMarker("//diag.rgb 1.2.3"));  // marker needs its blank
  // An unreadable marker line does not hide an earlier good one.
  auto kept = lastDiagLine("//diag.rgb: 1.2.3\n//diag.rgb: garbage\n");
  ASSERT_TRUE(kept);
  EXPECT_EQ((*kept)[2], 3u);
}

TEST(ZpjReply, SetLightText) {
  EXPECT_EQ(setLightText(255), "iFFFFFF\r");
  EXPECT_EQ(setLightText(16), "i101010\r");
  EXPECT_EQ(setLightText(0), "i000000\r");
  EXPECT_EQ(setLightText(4096), "iFFFFFF\r");  // never more than two digits per channel
}

}  // namespace
}  // namespace camera
