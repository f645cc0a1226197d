#include "sim/projector/projector_protocol.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

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
