// Ground-truth files: the binary per-pixel truth and rig.yaml.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <opencv2/core.hpp>

#include "sim/scene/ground_truth.h"
#include "sim/scene/renderer.h"
#include "sim/scene/stereo_rig.h"

namespace fs = std::filesystem;

namespace {

std::string tempPath(const std::string& name) {
  return (fs::temp_directory_path() / (name + "_" + std::to_string(::getpid()))).string();
}

sim::GroundTruth sampleTruth() {
  sim::GroundTruth t;
  t.allocate(sim::TruthGrid::LeftRectified, 7, 5);  // odd pixel count: flags are padded
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) {
      if ((x + y) % 3 == 0) continue;
      t.flags.at<uint8_t>(y, x) = static_cast<uint8_t>(sim::kSurfaceHit | ((x % 2) ? sim::kSeenByRight : 0));
      t.depth.at<float>(y, x) = 500.0f + x + 10 * y;
      t.xyz.at<cv::Vec3f>(y, x) = cv::Vec3f(static_cast<float>(x), static_cast<float>(-y), 500.0f + x);
      t.projectorColumn.at<float>(y, x) = 3.25f * x;
      t.disparity.at<float>(y, x) = -1.5f * y;
    }
  return t;
}

bool sameFloats(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  cv::Mat fa = a.reshape(1), fb = b.reshape(1);
  for (int y = 0; y < fa.rows; ++y)
    for (int x = 0; x < fa.cols; ++x) {
      float u = fa.at<float>(y, x), v = fb.at<float>(y, x);
      if (!(u == v || (std::isnan(u) && std::isnan(v)))) return false;
    }
  return true;
}

TEST(TruthFile, RoundTripKeepsEveryPlane) {
  const std::string p = tempPath("truth_rt");
  const sim::GroundTruth t = sampleTruth();
  std::string error;
  ASSERT_TRUE(t.save(p, &error)) << error;
  EXPECT_EQ(fs::file_size(p), sim::kTruthHeaderSize + 36 + 35 * 4 * 6);
  sim::GroundTruth back;
  ASSERT_TRUE(sim::GroundTruth::load(p, back, &error)) << error;
  EXPECT_EQ(back.grid, sim::TruthGrid::LeftRectified);
  EXPECT_EQ(back.width, 7);
  EXPECT_EQ(back.height, 5);
  EXPECT_EQ(cv::norm(back.flags, t.flags, cv::NORM_INF), 0);
  EXPECT_TRUE(sameFloats(back.depth, t.depth));
  EXPECT_TRUE(sameFloats(back.xyz, t.xyz));
  EXPECT_TRUE(sameFloats(back.projectorColumn, t.projectorColumn));
  EXPECT_TRUE(sameFloats(back.disparity, t.disparity));
  // The documented header, read by hand.
  std::ifstream f(p, std::ios::binary);
  char head[32];
  f.read(head, 32);
  EXPECT_EQ(std::string(head, 8), "ZELTRUTH");
  int32_t w, h, grid;
  std::memcpy(&w, head + 12, 4);
  std::memcpy(&h, head + 16, 4);
  std::memcpy(&grid, head + 20, 4);
  EXPECT_EQ(w, 7);
  EXPECT_EQ(h, 5);
  EXPECT_EQ(grid, 1);
  fs::remove(p);
}

// Partners outside the right rectified image (x - disparity beyond 0 and
// W - 1, or not a number) lose "seen by the right camera"; the original keeps it.
TEST(TruthFile, PartnerOutsideTheRectifiedRightImageIsNotSeen) {
  sim::GroundTruth t;
  t.allocate(sim::TruthGrid::LeftRectified, 6, 1);
  const float disparity[6] = {0.0f, 1.5f, 2.0f, -0.5f, NAN, -1.0f};  // partners 0, -0.5, 0, 3.5, -, 6
  for (int x = 0; x < 6; ++x) {
    t.flags.at<uint8_t>(0, x) = sim::kSurfaceHit | sim::kSeenByRight;
    t.disparity.at<float>(0, x) = disparity[x];
  }
  const sim::GroundTruth m = t.withPartnerInRectifiedRight();
  const bool seen[6] = {true, false, true, true, false, false};
  for (int x = 0; x < 6; ++x) {
    EXPECT_EQ(m.has(x, 0, sim::kSeenByRight), seen[x]) << x;
    EXPECT_TRUE(m.has(x, 0, sim::kSurfaceHit) && t.has(x, 0, sim::kSeenByRight)) << x;
  }
}

TEST(TruthFile, DamagedFilesAreRefused) {
  const std::string p = tempPath("truth_bad");
  ASSERT_TRUE(sampleTruth().save(p));
  std::string bytes;
  {
    std::ifstream f(p, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  auto loadVariant = [&](const std::string& content) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
    sim::GroundTruth t;
    std::string error;
    bool ok = sim::GroundTruth::load(p, t, &error);
    EXPECT_TRUE(ok || !error.empty());
    return ok;
  };
  EXPECT_TRUE(loadVariant(bytes));
  EXPECT_FALSE(loadVariant(bytes.substr(0, bytes.size() - 1)));  // truncated
  EXPECT_FALSE(loadVariant(bytes + "x"));                        // trailing data
  EXPECT_FALSE(loadVariant(bytes.substr(0, 20)));                // short header
  std::string wrong = bytes;
  wrong[0] = 'X';
  EXPECT_FALSE(loadVariant(wrong));  // magic
  wrong = bytes;
  int32_t huge = 1 << 30;
  std::memcpy(wrong.data() + 12, &huge, 4);
  EXPECT_FALSE(loadVariant(wrong));  // width
  wrong = bytes;
  int32_t negative = -5;
  std::memcpy(wrong.data() + 16, &negative, 4);
  EXPECT_FALSE(loadVariant(wrong));  // height
  wrong = bytes;
  int32_t grid = 7;
  std::memcpy(wrong.data() + 20, &grid, 4);
  EXPECT_FALSE(loadVariant(wrong));  // grid
  sim::GroundTruth t;
  EXPECT_FALSE(sim::GroundTruth::load(p + ".missing", t));
  fs::remove(p);
}

TEST(TruthFile, ParseRefusesEveryPrefixAndRandomBytes) {
  const std::string p = tempPath("truth_prefix");
  ASSERT_TRUE(sampleTruth().save(p));
  std::ifstream f(p, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(f)), {});
  fs::remove(p);
  sim::GroundTruth t;
  for (size_t n = 0; n < bytes.size(); n += 7) EXPECT_FALSE(sim::GroundTruth::parse(bytes.substr(0, n), t)) << n;
  EXPECT_TRUE(sim::GroundTruth::parse(bytes, t));
  std::mt19937 rng(4);
  for (int i = 0; i < 200; ++i) {
    std::string junk = bytes.substr(0, 32);
    for (int k = 0; k < 3; ++k) junk[rng() % 32] = static_cast<char>(rng());
    junk.resize(rng() % 2000);
    sim::GroundTruth::parse(junk, t);  // must not crash or overrun
  }
}

TEST(TruthFile, FuzzSeedIsAValidFile) {
  const char* src = std::getenv("ZEL_SOURCE_DIR");
  if (!src) GTEST_SKIP() << "ZEL_SOURCE_DIR not set (run through ctest)";
  sim::GroundTruth t;
  std::string error;
  ASSERT_TRUE(sim::GroundTruth::load(std::string(src) + "/sim/fuzz/corpus/truth_file/small_rectified.bin", t, &error))
      << error;
  EXPECT_EQ(t.width, 3);
  EXPECT_EQ(t.height, 2);
  EXPECT_TRUE(std::isnan(t.depth.at<float>(1, 0)));
  EXPECT_FLOAT_EQ(t.projectorColumn.at<float>(1, 2), 52.5f);
}

TEST(RigFile, LoadsWithOpenCvAndEqualsTheRig) {
  const std::string p = tempPath("rig") + ".yaml";
  const sim::StereoRig rig = sim::defaultRig();
  const sim::Rectification rect = rig.rectify(false);
  ASSERT_TRUE(sim::writeRigYaml(rig, rect, p));
  cv::FileStorage fs(p, cv::FileStorage::READ);
  ASSERT_TRUE(fs.isOpened());
  cv::Mat K, D, R, T, sR, sT, Q;
  fs["cam1_K"] >> K;
  fs["cam1_D"] >> D;
  fs["cam1_R"] >> R;
  fs["cam1_T"] >> T;
  fs["stereo_R"] >> sR;
  fs["stereo_T"] >> sT;
  fs["rect_Q"] >> Q;
  EXPECT_EQ(cv::norm(K, rig.right.K(), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(D, rig.right.D(), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(R, cv::Mat(rig.right.pose.R), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(T, cv::Mat(rig.right.pose.t), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(sR, rig.stereoR(), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(sT, rig.stereoT(), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(Q, rect.Q, cv::NORM_INF), 0);
  EXPECT_EQ(static_cast<int>(fs["projector_periods"]), 128);
  EXPECT_DOUBLE_EQ(static_cast<double>(fs["baseline"]), rig.baseline());
  fs.release();

  sim::StereoRig back;
  std::string error;
  ASSERT_TRUE(sim::readRigYaml(p, back, &error)) << error;
  cv::Point2d a, b;
  for (cv::Vec3d w : {cv::Vec3d(10, 20, 600), cv::Vec3d(-150, 90, 900)}) {
    ASSERT_TRUE(rig.left.project(w, a));
    ASSERT_TRUE(back.left.project(w, b));
    EXPECT_LT(cv::norm(a - b), 1e-9);
    ASSERT_TRUE(rig.right.project(w, a));
    ASSERT_TRUE(back.right.project(w, b));
    EXPECT_LT(cv::norm(a - b), 1e-9);
    double u1, v1, u2, v2;
    ASSERT_TRUE(rig.projector.project(w, u1, v1));
    ASSERT_TRUE(back.projector.project(w, u2, v2));
    EXPECT_NEAR(u1, u2, 1e-9);
  }
  std::ofstream(p, std::ios::trunc) << "%YAML:1.0\n---\ncam0_size: [ 1280 ]\n";
  EXPECT_FALSE(sim::readRigYaml(p, back, &error));
  EXPECT_FALSE(error.empty());
  fs::remove(p);
}

// A small rig keeps the render fast enough for a unit test.
sim::StereoRig smallRig() {
  sim::StereoRig rig = sim::defaultRig();
  for (sim::Camera* c : {&rig.left, &rig.right}) {
    c->width = 320;
    c->height = 256;
    c->fx /= 4;
    c->fy /= 4;
    c->cx = (c->cx + 0.5) / 4 - 0.5;
    c->cy = (c->cy + 0.5) / 4 - 0.5;
  }
  return rig;
}

TEST(RenderTruth, RawTruthAgreesWithTheSceneAndTheImages) {
  const sim::StereoRig rig = smallRig();
  sim::RenderSettings s;
  s.sensor.noise = false;
  sim::PatternSet set;
  sim::GroundTruth truth;
  ASSERT_TRUE(sim::renderPatternSet(rig, sim::demoScene(), s, set, &truth));
  ASSERT_EQ(set.left.size(), 13u * 320 * 256);
  ASSERT_EQ(set.right.size(), 13u * 320 * 256);
  int hits = 0, unlit = 0, unseen = 0;
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 320; ++x) {
      if (!truth.has(x, y, sim::kSurfaceHit)) continue;
      ++hits;
      EXPECT_TRUE(truth.has(x, y, sim::kSeenByLeft));
      cv::Vec3f p = truth.xyz.at<cv::Vec3f>(y, x);
      EXPECT_FLOAT_EQ(p[2], truth.depth.at<float>(y, x));
      // The point projects back onto its pixel.
      cv::Point2d px;
      ASSERT_TRUE(rig.left.project(rig.left.pose.toWorld({p[0], p[1], p[2]}), px));
      EXPECT_NEAR(px.x, x, 1e-2);
      EXPECT_NEAR(px.y, y, 1e-2);
      if (!truth.has(x, y, sim::kLitByProjector)) {
        ++unlit;
        EXPECT_TRUE(std::isnan(truth.projectorColumn.at<float>(y, x)));
      } else {
        float u = truth.projectorColumn.at<float>(y, x);
        EXPECT_GE(u, 0);
        EXPECT_LT(u, 1280);
      }
      if (!truth.has(x, y, sim::kSeenByRight)) ++unseen;
    }
  EXPECT_EQ(hits, 320 * 256);  // the backdrop fills the view
  EXPECT_GT(unlit, 100);       // projector shadows
  EXPECT_GT(unseen, 100);      // occluded from the right camera
}

}  // namespace
