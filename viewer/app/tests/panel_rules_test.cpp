#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "viewer/app/panel_rules.h"

namespace nubiview {
namespace {

TEST(PanelRules, GainEditBox) {
  int slider = 150;
  std::string t = "2.5";  // 250 is outside 0..200: the box shows the slider again
  EXPECT_FALSE(ApplyGainText(t, slider));
  EXPECT_EQ(t, "1.50");
  EXPECT_EQ(slider, 150);
  t = "1.234";
  EXPECT_TRUE(ApplyGainText(t, slider));
  EXPECT_EQ(slider, 123);
  t = "2";
  EXPECT_TRUE(ApplyGainText(t, slider));
  EXPECT_EQ(slider, 200);
  t = "-0.5";
  EXPECT_FALSE(ApplyGainText(t, slider));
  EXPECT_EQ(t, "2.00");
  t = "1e30";
  EXPECT_FALSE(ApplyGainText(t, slider));
  t = "nan";
  EXPECT_FALSE(ApplyGainText(t, slider));
  EXPECT_EQ(slider, 200);
  EXPECT_EQ(GainText(7), "0.07");
}

TEST(PanelRules, OffsetEditBox) {
  int slider = 12;
  std::string t = "256";
  EXPECT_FALSE(ApplyOffsetText(t, slider));
  EXPECT_EQ(t, "12");
  t = "-1";
  EXPECT_FALSE(ApplyOffsetText(t, slider));
  t = "255";
  EXPECT_TRUE(ApplyOffsetText(t, slider));
  EXPECT_EQ(slider, 255);
  t = "99999999999999999999";
  EXPECT_FALSE(ApplyOffsetText(t, slider));
  EXPECT_EQ(slider, 255);
}

TEST(SaveNames, ExtensionAndDateTimeNames) {
  EXPECT_EQ(DefaultExtension("ply.asc"), "ply");
  EXPECT_EQ(DefaultExtension("3d"), "3d");
  EXPECT_EQ(DefaultExtension(""), "");
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 2;
  t.tm_hour = 3;
  t.tm_min = 4;
  t.tm_sec = 5;
  EXPECT_EQ(DateTimeFileName("/out/scan_", t, "ply"), "/out/scan_20260102_030405.ply");

  const auto dir = std::filesystem::temp_directory_path() / ("nubiview_save_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::string error;
  // "*": folders along the way are made
  const std::string p = ResolveOutPath(dir.string() + "/a/b/", "3d", t, error);
  EXPECT_EQ(p, dir.string() + "/a/b/");  // without "*" the path is the file name itself
  const std::string q = ResolveOutPath(dir.string() + "\\a/b/x*", "3d", t, error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(q, dir.string() + "/a/b/x20260102_030405.3d");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a" / "b"));
  // a file standing where a folder should be: error, nothing to save to
  std::filesystem::create_directories(dir);
  {
    std::FILE* f = std::fopen((dir / "file").c_str(), "w");
    std::fclose(f);
  }
  EXPECT_EQ(ResolveOutPath(dir.string() + "/file/sub/*", "ply", t, error), "");
  EXPECT_EQ(error, dir.string() + "/file");
  EXPECT_EQ(ResolveOutPath(std::string(300, 'a') + "*", "ply", t, error), "");
  EXPECT_FALSE(error.empty());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nubiview
