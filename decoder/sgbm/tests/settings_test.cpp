// Settings file of the SGBM decoder: sections, read order, defaults and the
// shared value parsing.
#include "decoder/sgbm/sgbm_params.h"
#include "decoder/sgbm/tests/test_scene.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using zel::SgbmParams;

class SgbmSettings : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = zel::test::makeTempDir(); }
  void TearDown() override { zel::test::removeTree(dir_); }
  std::string write(const std::string& text) {
    const std::string path = dir_ + "sgbm.ini";
    std::ofstream(path) << text;
    return path;
  }
  std::string dir_;
};

TEST_F(SgbmSettings, EmptyFileGivesEveryDefault) {
  SgbmParams p = SgbmParams::zeroes();
  ASSERT_TRUE(zel::readSgbmParams(write("").c_str(), p));
  const SgbmParams d;
  EXPECT_EQ(p.imageWidth, 1280);
  EXPECT_EQ(p.imageHeight, 1024);
  EXPECT_EQ(p.qEvec, 0);
  EXPECT_EQ(p.coord, 0);
  EXPECT_EQ(p.minDisparity, -16);
  EXPECT_EQ(p.numDisparities, 256);
  EXPECT_EQ(p.blockSize, 5);
  EXPECT_EQ(p.p1, 200);
  EXPECT_EQ(p.p2, 800);
  EXPECT_EQ(p.disp12MaxDiff, -1);
  EXPECT_EQ(p.preFilterCap, 1);
  EXPECT_EQ(p.uniquenessRatio, 15);
  EXPECT_EQ(p.speckleWindowSize, 100);
  EXPECT_EQ(p.speckleRange, 16);
  EXPECT_EQ(p.mode, 0);
  // The default goes through its "%.20f" text, which still holds 2.5e-13.
  EXPECT_DOUBLE_EQ(p.evecError, d.evecError);
}

TEST_F(SgbmSettings, EveryKeyFromItsOwnSection) {
  const std::string path = write(
      "[StereoSGBM]\nimage_width=640\nimage_height=0x1e0\ncoord=1\n"
      // Keys of the other section are not looked up here.
      "Q_evec=7\nmin_disparity=99\nevec_error=9\n"
      "[SGBMLIB]\nQ_evec=1\nmin_disparity=-32\nnum_disparities=128\nblock_size=7\nP1=8\nP2=32\n"
      "disp_12_max_diff=2\npre_filter_cap=63\nuniqueness_ratio=010\nspeckle_window_size=50\n"
      "speckle_range=2\nmode=1\nevec_error=0.001\n"
      // Image size keys in the matcher section are ignored.
      "image_width=1\n");
  SgbmParams p;
  ASSERT_TRUE(zel::readSgbmParams(path.c_str(), p));
  EXPECT_EQ(p.imageWidth, 640);
  EXPECT_EQ(p.imageHeight, 480);
  EXPECT_EQ(p.coord, 1);
  EXPECT_EQ(p.qEvec, 1);
  EXPECT_EQ(p.minDisparity, -32);
  EXPECT_EQ(p.numDisparities, 128);
  EXPECT_EQ(p.blockSize, 7);
  EXPECT_EQ(p.p1, 8);
  EXPECT_EQ(p.p2, 32);
  EXPECT_EQ(p.disp12MaxDiff, 2);
  EXPECT_EQ(p.preFilterCap, 63);
  EXPECT_EQ(p.uniquenessRatio, 8);  // leading zero: octal
  EXPECT_EQ(p.speckleWindowSize, 50);
  EXPECT_EQ(p.speckleRange, 2);
  EXPECT_EQ(p.mode, 1);
  EXPECT_DOUBLE_EQ(p.evecError, 0.001);
}

TEST_F(SgbmSettings, EmptyOrUnparsableValuesGiveZeroAndAreTakenUnchecked) {
  const std::string path = write("[SGBMLIB]\nblock_size=\nnum_disparities=many\nP1=-5\nmode=99\n");
  SgbmParams p;
  ASSERT_TRUE(zel::readSgbmParams(path.c_str(), p));
  EXPECT_EQ(p.blockSize, 0);
  EXPECT_EQ(p.numDisparities, 0);
  EXPECT_EQ(p.p1, -5);
  EXPECT_EQ(p.mode, 99);
  EXPECT_EQ(p.p2, 800);
}

TEST_F(SgbmSettings, MissingFileLeavesTheRecord) {
  SgbmParams p = SgbmParams::zeroes();
  EXPECT_FALSE(zel::readSgbmParams((dir_ + "absent.ini").c_str(), p));
  EXPECT_FALSE(zel::readSgbmParams(dir_.c_str(), p));  // a folder is not a settings file
  EXPECT_EQ(p.imageWidth, 0);
  EXPECT_EQ(p.numDisparities, 0);
}

}  // namespace
