#include "camera/common/zpj_protocol.h"

#include <gtest/gtest.h>

namespace camera::zpj {
namespace {

TEST(ZpjProtocol, LinesSplitAtNewlineKeepingCarriageReturn) {
  auto lines = replyLines("12\r\n:OK\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "12\r");
  EXPECT_EQ(lines[1], ":OK\r");
  EXPECT_EQ(replyLines("a\n\nb").size(), 3u);  // an empty middle line is a line
  EXPECT_TRUE(replyLines("").empty());
}

TEST(ZpjProtocol, ParseEchoesUpToTheAcknowledgingLine) {
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

TEST(ZpjProtocol, SequenceEndsOnOkOrErr) {
  EXPECT_FALSE(endsSequenceReply("seq 0\r\nseq 1\r\n"));
  EXPECT_TRUE(endsSequenceReply("seq 12\r\n:OK\r\n"));
  EXPECT_TRUE(endsSequenceReply(":ERR\r\n"));
  EXPECT_FALSE(endsSequenceReply(":E"));
}

TEST(ZpjProtocol, DiagNumbers) {
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

TEST(ZpjProtocol, DiagLastLineOverTcpFirstMarkerOverSerial) {
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

TEST(ZpjProtocol, CommandTexts) {
  EXPECT_EQ(lightCommand(255), "iFFFFFF\r");
  EXPECT_EQ(lightCommand(16), "i101010\r");
  EXPECT_EQ(lightCommand(0), "i000000\r");
  EXPECT_EQ(lightCommand(4096), "iFFFFFF\r");  // never more than two digits per channel
  EXPECT_EQ(patternCommand(7) + resetCommand() + sequenceCommand(13) + echoCommand(3) + diagCommand(),
            "p7\rr\rz13\rx3\rd\r");
  // The stereo head's channel: "o" with the low 8 bits, one word per character.
  EXPECT_EQ(headPatternCommand(300), "o44\r");
  EXPECT_EQ(headDiagCommand(), "i\r");
  EXPECT_EQ(headChannelWord('i'), 0xFF960069u);
  EXPECT_EQ(headChannelChar(0xFF960069u), 'i');
  EXPECT_FALSE(headChannelChar(0xFF970069u));  // wrong complement
  EXPECT_FALSE(headChannelChar(0x00000069u));
}

TEST(ZpjProtocol, ReplyTextsReadBackByTheHostParsers) {
  EXPECT_EQ(okLine() + errLine() + echoReply(12) + diagAckLine(), ":OK\r\n:ERR\r\n12\r\n:OK\r\ndiag\r\n");
  EXPECT_EQ(sequenceStepLine(0, false) + sequenceStepLine(12, true), "seq 0\r\nseq 12\r\n:OK\r\n");
  EXPECT_EQ(diagLine(0x10, 0x20, 0xff), "//diag.rgb: 10.20.ff\r\n");
  auto v = lastDiagLine(diagAckLine() + diagLine(1, 2, 0xab));
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)[2], 0xabu);
}

using Kind = Command::Kind;

TEST(ZpjProtocol, ProjectorReadsCommandsAndTheirArguments) {
  EXPECT_EQ(parseCommand("p0").kind, Kind::Pattern);
  EXPECT_EQ(parseCommand("p12").number, 12);
  EXPECT_EQ(parseCommand("p13").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("p").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("p+1").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("r").kind, Kind::Reset);
  EXPECT_EQ(parseCommand("r1").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("z1").kind, Kind::Sequence);
  EXPECT_EQ(parseCommand("z13").number, 13);
  EXPECT_EQ(parseCommand("z0").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("x999999999").number, 999999999);
  EXPECT_EQ(parseCommand("x1234567890").kind, Kind::Invalid);  // too long to be a number here
  Command light = parseCommand("iFF10a0");
  EXPECT_EQ(light.kind, Kind::Light);
  EXPECT_EQ(light.rgb[0], 0xff);
  EXPECT_EQ(light.rgb[1], 0x10);
  EXPECT_EQ(light.rgb[2], 0xa0);
  EXPECT_EQ(parseCommand("iFF10a").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("iFF10ag").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("d").kind, Kind::Diag);
  EXPECT_EQ(parseCommand("o5").kind, Kind::Invalid);
  EXPECT_EQ(parseCommand("").kind, Kind::Invalid);
}

}  // namespace
}  // namespace camera::zpj
