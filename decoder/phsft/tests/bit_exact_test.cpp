// The optimised decoder against the direct reference on synthetic scenes.
#include "decoder/phsft/tests/synthetic_scene.h"
#include "decoder/phsft/tests/test_support.h"

#include <gtest/gtest.h>

namespace zel::test {
namespace {

struct Variant {
  const char* name;
  void (*apply)(PhsftParams&);
};

const Variant kVariants[] = {
    {"defaults", [](PhsftParams&) {}},
    {"right_dup_cnt 2", [](PhsftParams& p) { p.rightDupCnt = 2; }},
    {"ls_points 5", [](PhsftParams& p) { p.lsPoints = 5; }},
    {"ls_points 4", [](PhsftParams& p) { p.lsPoints = 4; }},
    {"search_div 1", [](PhsftParams& p) { p.searchDiv = 1; }},
    {"search_div 7", [](PhsftParams& p) { p.searchDiv = 7; }},
    {"Q_evec 1", [](PhsftParams& p) { p.qEvec = 1; }},
    {"Q_evec 1 wide gap",
     [](PhsftParams& p) {
       p.qEvec = 1;
       p.evecError = 1e-6;
     }},
    {"max_step 3, max_ph_diff 1",
     [](PhsftParams& p) {
       p.maxStep = 3;
       p.maxPhDiff = 1.0;
     }},
};

class Decoding : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { removeTree(dir_); }
  std::string dir_;
};
class BitExact : public Decoding, public ::testing::WithParamInterface<int> {};

SceneOptions sceneOptions(int which) {
  SceneOptions scenes[3];
  scenes[1].seed = 7;
  scenes[1].noise = 6;
  scenes[1].codeShift = -0.6;
  scenes[2].seed = 3;
  scenes[2].width = 131;
  scenes[2].height = 23;
  scenes[2].disparity = 30;
  scenes[2].farDisparity = 2;
  scenes[2].projectorScale = 1.7;
  return scenes[which];
}

TEST_P(BitExact, SyntheticSceneAndParameterSets) {
  {
    const SceneOptions so = sceneOptions(GetParam());
    const SyntheticScene scene = makeScene(so);
    writeRectifiedCalibration(dir_, so.width, so.height, 300.0, so.width / 2.0, so.height / 2.0, 50.0);
    for (const Variant& v : kVariants) {
      PhsftParams p;
      p.imageWidth = so.width;
      p.imageHeight = so.height;
      p.coord = 1;
      v.apply(p);
      PhsftDecoder dec;
      ASSERT_TRUE(dec.loadCalibration(p, dir_ + "/"));
      const int n = expectBitExact(dec, p, scene.pair(), std::string(v.name) + " seed " + std::to_string(so.seed));
      if (p.qEvec == 0) {
        EXPECT_GT(n, so.width * so.height / 3) << v.name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scenes, BitExact, ::testing::Values(0, 1, 2));

TEST_F(Decoding, RepeatedExecGivesTheSameResult) {
  SceneOptions so;
  const SyntheticScene scene = makeScene(so);
  writeRectifiedCalibration(dir_, so.width, so.height, 300.0, 100.0, 20.0, 50.0);
  PhsftParams p;
  p.imageWidth = so.width;
  p.imageHeight = so.height;
  p.coord = 1;
  PhsftDecoder dec;
  ASSERT_TRUE(dec.loadCalibration(p, dir_ + "/"));
  PhsftOutput a, b;
  const int n1 = dec.exec(scene.pair(), 0, a);
  const int n2 = dec.exec(scene.pair(), 0, b);
  ASSERT_EQ(n1, n2);
  ASSERT_GT(n1, 0);
  EXPECT_EQ(0, std::memcmp(a.points.get(), b.points.get(), 12 * static_cast<std::size_t>(n1)));
  // Decoding again into arrays that hold a cloud reuses them; nothing of the
  // cloud before (here the other point method's) shows through.
  const float* kept = a.points.get();
  ASSERT_GT(dec.exec(scene.pair(), 1, a), 0);
  ASSERT_EQ(dec.exec(scene.pair(), 0, a), n1);
  EXPECT_EQ(a.points.get(), kept);
  EXPECT_EQ(0, std::memcmp(a.points.get(), b.points.get(), 12 * static_cast<std::size_t>(n1)));
  EXPECT_EQ(0, std::memcmp(a.pixelIndices.get(), b.pixelIndices.get(), 4 * static_cast<std::size_t>(n1)));
}

}  // namespace
}  // namespace zel::test
