// The image source of the live head: render, cache (keyed, never stale,
// never half written), exposure model.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/head/scene_images.h"

namespace sim::head {
namespace {

namespace fs = std::filesystem;

class SceneImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zel_head_cache_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  SceneImageOptions small() const {
    SceneImageOptions o;
    o.width = 64;
    o.height = 48;
    o.supersample = 1;
    o.noise = 0;
    o.cacheDir = (dir_ / "cache").string();
    return o;
  }
  size_t cacheFiles() const {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "cache")) n += e.path().extension() == ".images";
    return n;
  }
  fs::path dir_;
};

TEST_F(SceneImagesTest, SecondLoadComesFromTheCacheByteForByte) {
  SceneImageOptions o = small();
  o.sceneName = "plane";
  SceneImages first, second;
  bool cached = true;
  std::string error;
  ASSERT_TRUE(loadSceneImages(o, first, &error, &cached)) << error;
  EXPECT_FALSE(cached);
  ASSERT_EQ(first.width, 64);
  ASSERT_EQ(first.images[0].size(), 14u * 64 * 48);
  // Black reference darker than white, and the textured image is not a pattern image.
  long dark = 0, bright = 0;
  for (size_t i = 0; i < first.frameBytes(); ++i) {
    dark += first.image(0, 0)[i];
    bright += first.image(0, 1)[i];
  }
  EXPECT_LT(dark * 4, bright);
  ASSERT_TRUE(loadSceneImages(o, second, &error, &cached)) << error;
  EXPECT_TRUE(cached);
  EXPECT_EQ(first.images[0], second.images[0]);
  EXPECT_EQ(first.images[1], second.images[1]);
  EXPECT_EQ(cacheFiles(), 1u);
  EXPECT_EQ(fs::status(dir_ / "cache").permissions() & fs::perms::others_all, fs::perms::none);

  // A cut-off cache file is rendered again, not served.
  for (const auto& e : fs::directory_iterator(dir_ / "cache")) fs::resize_file(e.path(), 100);
  ASSERT_TRUE(loadSceneImages(o, second, &error, &cached)) << error;
  EXPECT_FALSE(cached);
  EXPECT_EQ(first.images[0], second.images[0]);
}

TEST_F(SceneImagesTest, KeyFollowsSceneFileContentsAndSettings) {
  fs::create_directories(dir_);
  const std::string file = (dir_ / "scene.yaml").string();
  auto writeScene = [&](double albedo) {
    std::ofstream(file) << "%YAML:1.0\n---\ntype: pattern\nobjects:\n"
                        << "  - { type: plane, point: [0, 0, 800], normal: [0, 0, -1], albedo: " << albedo << " }\n";
  };
  writeScene(0.5);
  SceneImageOptions o = small();
  o.sceneFile = file;
  std::string k1, k2, k3, error;
  ASSERT_TRUE(sceneImagesKey(o, &k1, &error)) << error;
  writeScene(0.6);
  ASSERT_TRUE(sceneImagesKey(o, &k2, &error)) << error;
  EXPECT_NE(k1, k2);
  o.seed = 2;
  ASSERT_TRUE(sceneImagesKey(o, &k3, &error)) << error;
  EXPECT_NE(k2, k3);
  EXPECT_EQ(k1.size(), 32u);

  SceneImages images;
  o.sceneFile = (dir_ / "missing.yaml").string();
  EXPECT_FALSE(loadSceneImages(o, images, &error));
  EXPECT_FALSE(error.empty());
  o.sceneFile.clear();
  o.sceneName = "nowhere";
  EXPECT_FALSE(loadSceneImages(o, images, &error));
  EXPECT_NE(error.find("unknown scene"), std::string::npos);
}

TEST(ExposureModel, ReferenceIsExactOthersScaleRoundAndSaturate) {
  std::vector<uint8_t> in = {0, 1, 2, 100, 127, 128, 200, 255}, out(in.size());
  applyExposure(in.data(), out.data(), in.size(), exposureFactor(10000, 10000, 100, 100));
  EXPECT_EQ(out, in);
  applyExposure(in.data(), out.data(), in.size(), exposureFactor(20000, 10000, 100, 100));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 2, 4, 200, 254, 255, 255, 255}));
  applyExposure(in.data(), out.data(), in.size(), exposureFactor(10000, 10000, 50, 100));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 1, 50, 64, 64, 100, 128}));  // halves round to even
  EXPECT_EQ(exposureFactor(1, 0, 1, 1), 1.0);
}

}  // namespace
}  // namespace sim::head
