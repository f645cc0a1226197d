#include "decoder/phsft/phsft_params.h"
#include "decoder/phsft/tests/synthetic_scene.h"

#include <gtest/gtest.h>

#include <fstream>

namespace zel {
namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::makeTempDir(); }
  void TearDown() override { test::removeTree(dir_); }
  std::string write(const std::string& text) {
    const std::string path = dir_ + "/phsft.ini";
    std::ofstream(path) << text;
    return path;
  }
  std::string dir_;
};

TEST_F(Settings, MissingKeysGiveTheDefaultsAfterTheirTextRoundTrip) {
  PhsftParams p = PhsftParams::zeroes();
  ASSERT_TRUE(readPhsftParams(write("[PhaseShift]\n[PSLIB]\n").c_str(), p));
  const PhsftParams d;
  EXPECT_EQ(p.nimage, 13);
  EXPECT_EQ(p.imageWidth, 1280);
  EXPECT_EQ(p.imageHeight, 1024);
  EXPECT_EQ(p.qEvec, 0);
  EXPECT_EQ(p.coord, 0);
  EXPECT_EQ(p.searchDiv, 2);
  EXPECT_EQ(p.bwDiff, 10);
  EXPECT_EQ(p.brightness, 255);
  EXPECT_EQ(p.darkness, 10);
  EXPECT_EQ(p.stepDiff, 1.2);
  EXPECT_EQ(p.maxStep, 1.0);
  EXPECT_EQ(p.maxPhDiff, 0.5);
  EXPECT_EQ(p.maxTexDiff, 0.8);
  EXPECT_EQ(p.maxParallax, 400.0);
  EXPECT_EQ(p.minParallax, -300.0);
  EXPECT_EQ(p.rightDupCnt, 1);
  EXPECT_EQ(p.lsPoints, 3);
  EXPECT_EQ(p.evecError, 2.5e-13);  // "%.20f" keeps 2.5e-13's digits
  EXPECT_EQ(p.matchMode, 0);
  EXPECT_EQ(d.evecError, 2.5e-13);
}

TEST_F(Settings, ValueParsing) {
  PhsftParams p;
  ASSERT_TRUE(readPhsftParams(write("[phaseshift]\nIMAGE_WIDTH=0x10\nimage_height=010\nnimage=\n"
                                    "coord = 1 ; comment\n[PSLIB]\nbw_diff=abc\nbrightness=-5\n"
                                    "darkness=99999999999\nstep_diff=2.5e-1\nmax_step=\nmax_parallax=12abc\n"
                                    "right_dup_cnt=0X1f\nls_points=+7\nmatch_mode=1\n[Other]\nsearch_div=9\n")
                                  .c_str(),
                              p));
  EXPECT_EQ(p.imageWidth, 16);  // hexadecimal
  EXPECT_EQ(p.imageHeight, 8);  // octal
  EXPECT_EQ(p.nimage, 0);       // present but empty: 0, not the default
  EXPECT_EQ(p.coord, 1);        // parsing stops at the first character that is not a digit
  EXPECT_EQ(p.bwDiff, 0);       // unparsable
  EXPECT_EQ(p.brightness, -5);  // no range limits
  EXPECT_EQ(p.darkness, INT32_MAX);
  EXPECT_EQ(p.stepDiff, 0.25);
  EXPECT_EQ(p.maxStep, 0.0);
  EXPECT_EQ(p.maxParallax, 12.0);
  EXPECT_EQ(p.rightDupCnt, 31);
  EXPECT_EQ(p.lsPoints, 7);
  EXPECT_EQ(p.matchMode, 1);
  EXPECT_EQ(p.searchDiv, 2);  // other sections are not read
}

TEST_F(Settings, LongValuesAreCutToTheBuffer) {
  PhsftParams p;
  // 300 digits: the 256-byte buffer keeps 255 of them, still a huge number.
  ASSERT_TRUE(readPhsftParams(write("[PSLIB]\nmax_parallax=" + std::string(300, '9') + "\n").c_str(), p));
  EXPECT_GT(p.maxParallax, 1e254);
  EXPECT_LT(p.maxParallax, 1e256);
}

TEST_F(Settings, MissingFileIsRefusedAndLeavesTheRecord) {
  PhsftParams p;
  p.bwDiff = 77;
  EXPECT_FALSE(readPhsftParams((dir_ + "/absent.ini").c_str(), p));
  EXPECT_FALSE(readPhsftParams(dir_.c_str(), p));  // a folder is not a settings file
  EXPECT_FALSE(readPhsftParams(nullptr, p));
  EXPECT_EQ(p.bwDiff, 77);
}

}  // namespace
}  // namespace zel
