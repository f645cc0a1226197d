#include "sim/projector/projector_protocol.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

using Kind = ProjectorCommand::Kind;

TEST(ProjectorProtocol, CommandsAndTheirArguments) {
  EXPECT_EQ(parseProjectorCommand("p0").kind, Kind::Pattern);
  EXPECT_EQ(parseProjectorCommand("p12").number, 12);
  EXPECT_EQ(parseProjectorCommand("p13").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("p").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("p+1").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("r").kind, Kind::Reset);
  EXPECT_EQ(parseProjectorCommand("r1").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("z1").kind, Kind::Sequence);
  EXPECT_EQ(parseProjectorCommand("z13").number, 13);
  EXPECT_EQ(parseProjectorCommand("z0").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("x999999999").number, 999999999);
  EXPECT_EQ(parseProjectorCommand("x1234567890").kind, Kind::Invalid);  // too long to be a number here
  ProjectorCommand light = parseProjectorCommand("iFF10a0");
  EXPECT_EQ(light.kind, Kind::Light);
  EXPECT_EQ(light.rgb[0], 0xff);
  EXPECT_EQ(light.rgb[1], 0x10);
  EXPECT_EQ(light.rgb[2], 0xa0);
  EXPECT_EQ(parseProjectorCommand("iFF10a").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("iFF10ag").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("d").kind, Kind::Diag);
  EXPECT_EQ(parseProjectorCommand("o5").kind, Kind::Invalid);
  EXPECT_EQ(parseProjectorCommand("").kind, Kind::Invalid);
}

TEST(ProjectorProtocol, SplitterHandsOutCompleteLines) {
  CommandSplitter s;
  bool overflow = true;
  s.append("p1");
  EXPECT_FALSE(s.next(&overflow));
  EXPECT_FALSE(overflow);
  s.append("\r\nx2\rd");
  EXPECT_EQ(*s.next(&overflow), "p1");
  EXPECT_EQ(*s.next(&overflow), "x2");  // the LF of the previous line is dropped
  EXPECT_FALSE(s.next(&overflow));
  s.append(std::string(CommandSplitter::kMaxCommand, 'a'));
  EXPECT_FALSE(s.next(&overflow));
  EXPECT_TRUE(overflow);
  s.append("r\r");
  EXPECT_EQ(*s.next(&overflow), "r");
}

}  // namespace
}  // namespace sim
