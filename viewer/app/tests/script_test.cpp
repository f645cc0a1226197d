#include <gtest/gtest.h>

#include "viewer/app/script.h"

namespace nubiview {
namespace {

TEST(Script, ParsesCommandsAndRejectsBadLines) {
  std::vector<ScriptCommand> c;
  std::string error;
  ASSERT_TRUE(
      ParseScript("# start\nwait 100\r\nclick right 10 20.5\nkey alt+Left\n\n"
                  "open /tmp/a b.ply  \npanel gain-r 2.5\nquit\n",
                  c, error))
      << error;
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[1].verb, "click");
  EXPECT_EQ(c[1].args[2], "20.5");
  EXPECT_EQ(c[3].args[0], "/tmp/a b.ply");
  EXPECT_EQ(c[3].line, 6);
  EXPECT_FALSE(ParseScript("jump 1\n", c, error));
  EXPECT_EQ(error, "line 1: unknown command 'jump'");
  EXPECT_FALSE(ParseScript("wait\n", c, error));
  EXPECT_FALSE(ParseScript("click side 1 2\n", c, error));
  EXPECT_FALSE(ParseScript("move 1 x\n", c, error));
  EXPECT_FALSE(ParseScript("frames 2\nscreenshot\n", c, error));
  EXPECT_EQ(error.rfind("line 2:", 0), 0u);
}

}  // namespace
}  // namespace nubiview
