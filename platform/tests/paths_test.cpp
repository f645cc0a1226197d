#include "platform/paths.h"
#include "platform/stopwatch.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Paths, SeparatorsOfBothKinds) {
  EXPECT_TRUE(platform::endsWithSeparator("calib\\"));
  EXPECT_TRUE(platform::endsWithSeparator("calib/"));
  EXPECT_FALSE(platform::endsWithSeparator("calib"));
  EXPECT_FALSE(platform::endsWithSeparator(""));
  EXPECT_TRUE(platform::hasDirectoryPart("a\\b.ini"));
  EXPECT_TRUE(platform::hasDirectoryPart("./b.ini"));
  EXPECT_FALSE(platform::hasDirectoryPart("b.ini"));
}

TEST(Paths, JoinAddsOneSeparator) {
  EXPECT_EQ(platform::joinPath("calib", "cam0_param.yaml"), "calib/cam0_param.yaml");
  EXPECT_EQ(platform::joinPath("calib/", "x"), "calib/x");
  EXPECT_EQ(platform::joinPath("calib\\", "x"), "calib\\x");
  EXPECT_EQ(platform::joinPath("", "x"), "x");
  EXPECT_EQ(platform::toNativePath("C:\\data\\a.ply"), "C:/data/a.ply");
  EXPECT_FALSE(platform::currentDirectory().empty());
}

TEST(Stopwatch, LapsAddUpToElapsed) {
  platform::Stopwatch sw;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double lap1 = sw.lapMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double lap2 = sw.lapMs();
  EXPECT_GE(lap1, 19.0);
  EXPECT_GE(lap2, 4.0);
  EXPECT_GE(sw.elapsedMs(), lap1 + lap2);
}

}  // namespace
