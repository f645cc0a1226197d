#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/profile.h"
#include "viewer/app/viewer_settings.h"

namespace nubiview {
namespace {

class IniFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("nubiview_settings_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::filesystem::path dir_;
};

TEST_F(IniFiles, CoordinateSystemKeys) {
  // Left hand wins over ReverseAxis; lower-case "-z" is eye -3.
  CoordinateSystem cs;
  ReadCoordinateSystem(cs, write("a.ini", "[CoordinateSystem]\nHand=left\nReverseAxis=Z\nEye=-z\nUp=y\n"));
  EXPECT_EQ(cs.hand, 0);
  EXPECT_EQ(cs.reverseAxis, 0);
  EXPECT_EQ(cs.eye, -3);
  EXPECT_EQ(cs.up, 2);

  // Right hand reads ReverseAxis by its first character; unknown values keep fields.
  CoordinateSystem r;
  ReadCoordinateSystem(r, write("b.ini",
                                "[CoordinateSystem]\nHand=Right\nReverseAxis=x-axis\nEye=W\nUp=+Z\n"
                                "[Color]\nOrder=rgb\n"));
  EXPECT_EQ(r.reverseAxis, 1);
  EXPECT_EQ(r.eye, 2);
  EXPECT_EQ(r.up, 3);
  EXPECT_EQ(r.hand, 1);
  EXPECT_EQ(r.colourOrder, 1);

  // Missing file: nothing changes.
  CoordinateSystem m{0, 0, 3, -1, -2};
  const CoordinateSystem before = m;
  ReadCoordinateSystem(m, (dir_ / "missing.ini").string());
  EXPECT_EQ(m, before);
}

TEST_F(IniFiles, CompanionWithOnlyEyeKeepsPreviousReverseAxis) {
  CoordinateSystem inEffect;
  ReadCoordinateSystem(inEffect, write("first.ini", "[CoordinateSystem]\nReverseAxis=Z\n"));
  ASSERT_EQ(inEffect.reverseAxis, 3);
  ReadCoordinateSystem(inEffect, write("second.ini", "[CoordinateSystem]\nEye=X\n"));
  EXPECT_EQ(inEffect.reverseAxis, 3);
  EXPECT_EQ(inEffect.eye, 1);
}

TEST_F(IniFiles, OutputSettings) {
  OutputSettings s =
      ReadOutputSettings(write("p.ini", "[Setting]\nout_format=PLY\nbgcolor=1A2b3C\nout_path=/tmp/x*\n"));
  EXPECT_EQ(s.outFormat, "ply.asc");
  EXPECT_EQ(s.bgColor, 0x1A2B3Cu);
  EXPECT_EQ(s.outPath, "/tmp/x*");

  OutputSettings d = ReadOutputSettings((dir_ / "none.ini").string());
  EXPECT_EQ(d.outFormat, "");
  EXPECT_EQ(d.outPath, "");
  EXPECT_EQ(d.bgColor, 0u);

  // out_format is cut to 7 characters, out_path to 127.
  const std::string longPath(300, 'a');
  OutputSettings c =
      ReadOutputSettings(write("c.ini", "[Setting]\nout_format=ply.binary\nout_path=" + longPath + "\n"));
  EXPECT_EQ(c.outFormat, "ply.bin");
  EXPECT_EQ(c.outPath.size(), 127u);
}

TEST_F(IniFiles, OptionsWritesAndReadsBack) {
  const std::string ini = (dir_ / "opt.ini").string();
  ASSERT_TRUE(WriteOutputSettings(ini, "ff8000", "3d", "/data/scan*"));
  OutputSettings s = ReadOutputSettings(ini);
  EXPECT_EQ(s.bgColor, 0xFF8000u);
  EXPECT_EQ(s.outFormat, "3d");
  EXPECT_EQ(s.outPath, "/data/scan*");
  EXPECT_EQ(platform::getProfileString("Setting", "bgcolor", "", ini), "FF8000");
  // No entry selected: bgcolor already written, the rest not, and the call fails.
  EXPECT_FALSE(WriteOutputSettings(ini, "000001", "", "x"));
  s = ReadOutputSettings(ini);
  EXPECT_EQ(s.bgColor, 1u);
  EXPECT_EQ(s.outPath, "/data/scan*");
  // An unwritable place fails.
  EXPECT_FALSE(WriteOutputSettings((dir_ / "no" / "such" / "dir.ini").string(), "0", "3d", ""));
  EXPECT_EQ(FormatColourHex(0x0A0B0C), "0A0B0C");
}

TEST_F(IniFiles, ColourAdjustment) {
  // A companion INI that only sets the red gain enables nothing.
  ColourAdjustment a = ReadColourAdjustment(write("g.ini", "[Gain]\nR=2\n"));
  EXPECT_FALSE(a.enabled);
  EXPECT_FLOAT_EQ(a.gain[0], 2.0f);
  EXPECT_FLOAT_EQ(a.gain[1], 1.0f);
  EXPECT_EQ(a.offset[2], 0);

  ColourAdjustment w;
  w.enabled = true;
  w.gain[0] = 1.5f;
  w.gain[1] = 0.25f;
  w.gain[2] = 2.0f;
  w.offset[0] = -20;
  w.offset[1] = 7;
  w.offset[2] = 255;
  const std::string ini = (dir_ / "w.ini").string();
  ASSERT_TRUE(WriteColourAdjustment(w, ini));
  EXPECT_EQ(platform::getProfileString("Gain", "G", "", ini), "0.25");
  EXPECT_EQ(platform::getProfileString("Adjustment", "Valid", "", ini), "1");
  ColourAdjustment r = ReadColourAdjustment(ini);
  EXPECT_TRUE(r.enabled);
  EXPECT_FLOAT_EQ(r.gain[0], 1.5f);
  EXPECT_EQ(r.offset[0], -20);
  EXPECT_EQ(r.offset[2], 255);
  EXPECT_FALSE(WriteColourAdjustment(w, (dir_ / "missing" / "w.ini").string()));
}

TEST(IniPaths, CompanionAndProgram) {
  EXPECT_EQ(CompanionIniPath("/data/a.ply"), "/data/a.ini");
  EXPECT_EQ(CompanionIniPath("\"/data/scan.v2.ply"), "/data/scan.v2.ini");
  EXPECT_EQ(CompanionIniPath("/data.d/noext"), "/data.d/noext.ini");
  EXPECT_EQ(CompanionIniPath("rel\\dir.x\\cloud"), "rel\\dir.x\\cloud.ini");

  auto none = [](const std::string&) { return false; };
  auto all = [](const std::string&) { return true; };
  EXPECT_EQ(ProgramIniPath("/opt/nv/bin/nubiview", "/cfg", "/home/u", all), "/opt/nv/bin/nubiview.ini");
  EXPECT_EQ(ProgramIniPath("/opt/nv/bin/nubiview", "/cfg", "/home/u", none), "/cfg/nubiview/nubiview.ini");
  EXPECT_EQ(ProgramIniPath("/opt/nv/bin/nubiview", nullptr, "/home/u", none), "/home/u/.config/nubiview/nubiview.ini");
  // A relative XDG_CONFIG_HOME is invalid and ignored.
  EXPECT_EQ(ProgramIniPath("/opt/nv/bin/nubiview", "rel", "/home/u", none), "/home/u/.config/nubiview/nubiview.ini");
}

}  // namespace
}  // namespace nubiview
