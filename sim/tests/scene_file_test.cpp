// Scene files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/scene/scene_file.h"

namespace fs = std::filesystem;

namespace {

class SceneFile : public ::testing::Test {
 protected:
  std::string write(const std::string& text) {
    path_ = (fs::temp_directory_path() / ("scene_" + std::to_string(::getpid()) + ".yaml")).string();
    std::ofstream(path_, std::ios::trunc) << text;
    return path_;
  }
  void TearDown() override { fs::remove(path_); }
  std::string path_;
};

TEST_F(SceneFile, ReadsObjectsBoardAndRenderSettings) {
  sim::SceneDescription d;
  std::string error;
  ASSERT_TRUE(sim::loadSceneFile(write(R"(%YAML:1.0
---
type: pattern
render: { supersample: 5, blur_sigma: 0.8, exposure: 1.5, noise: 0 }
objects:
  - { type: plane, point: [0, 0, 950], normal: [0, 0, -1], albedo: 0.6,
      texture: { type: noise, scale: 7, contrast: 0.45, seed: 3 } }
  - { type: rect, center: [0, 0, 700], size: [200, 300], rotation: [0, 30, 0] }
  - { type: sphere, name: ball, center: [10, 20, 650], radius: 80, albedo: 0.8 }
  - { type: box, center: [0, 0, 800], size: [100, 50, 20], rotation: [10, 20, 0] }
)"),
                                 d, &error))
      << error;
  EXPECT_EQ(d.kind, sim::SceneDescription::Kind::Pattern);
  ASSERT_EQ(d.scene.objects.size(), 4u);
  EXPECT_EQ(d.scene.objects[0].kind, sim::Object::Kind::Plane);
  EXPECT_EQ(d.scene.objects[0].material.texture.kind, sim::Texture::Kind::Noise);
  EXPECT_DOUBLE_EQ(d.scene.objects[0].material.albedo, 0.6);
  EXPECT_EQ(d.scene.objects[2].name, "ball");
  EXPECT_DOUBLE_EQ(d.scene.objects[2].radius, 80);
  EXPECT_DOUBLE_EQ(d.scene.objects[3].half[1], 25);
  EXPECT_EQ(d.settings.supersample, 5);
  EXPECT_DOUBLE_EQ(d.settings.sensor.blurSigma, 0.8);
  EXPECT_FALSE(d.settings.sensor.noise);
  // The sphere is where the file says: a ray from the origin toward it hits.
  sim::Hit hit;
  sim::Ray ray{{0, 0, 0}, cv::normalize(cv::Vec3d(10, 20, 650))};
  ASSERT_TRUE(d.scene.intersect(ray, 0, 1e9, hit));
  EXPECT_EQ(hit.object, 2);
  EXPECT_NEAR(hit.t, cv::norm(cv::Vec3d(10, 20, 650)) - 80, 1e-6);
}

TEST_F(SceneFile, BoardsScene) {
  sim::SceneDescription d;
  std::string error;
  ASSERT_TRUE(
      sim::loadSceneFile(write("%YAML:1.0\n---\ntype: boards\nposes: 4\n"
                               "board: { n_circles_x: 9, n_circles_y: 11, origin_x: 4, origin_y: 5, unitleng: 20 }\n"),
                         d, &error))
      << error;
  EXPECT_EQ(d.kind, sim::SceneDescription::Kind::Boards);
  EXPECT_EQ(d.poses, 4);
  EXPECT_EQ(d.board.nCirclesX, 9);
  EXPECT_EQ(d.board.offsetX(), 4);
  EXPECT_DOUBLE_EQ(d.board.unitleng, 20);
}

TEST_F(SceneFile, ErrorsNameTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"type: movie\n", "unknown scene type"},
      {"objects:\n  - { type: cone, center: [0, 0, 1] }\n", "unknown object type"},
      {"objects:\n  - { type: sphere, radius: 5 }\n", "missing 'center'"},
      {"objects:\n  - { type: sphere, center: [0, 0], radius: 5 }\n", "list of 3"},
      {"objects:\n  - { type: sphere, center: [0, 0, 500], radius: -5 }\n", "radius"},
      {"objects:\n  - { type: plane, point: [0, 0, 500], albedo: 3 }\n", "albedo"},
      {"objects:\n  - { type: plane, point: [0, 0, 500], texture: { type: image, path: nope.png } }\n",
       "cannot read texture"},
      {"render: { supersample: 0 }\nobjects:\n  - { type: plane, point: [0, 0, 500] }\n", "supersample"},
      {"type: pattern\n", "at least one object"},
  };
  for (const auto& [body, message] : cases) {
    sim::SceneDescription d;
    std::string error;
    EXPECT_FALSE(sim::loadSceneFile(write(std::string("%YAML:1.0\n---\n") + body), d, &error)) << body;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  sim::SceneDescription d;
  std::string error;
  EXPECT_FALSE(sim::loadSceneFile("/nonexistent/scene.yaml", d, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace

namespace {

TEST(SceneFiles, ShippedDemoFileIsTheBuiltInDemo) {
  const char* src = std::getenv("ZEL_SOURCE_DIR");
  if (!src) GTEST_SKIP() << "ZEL_SOURCE_DIR not set (run through ctest)";
  sim::SceneDescription d;
  std::string error;
  ASSERT_TRUE(sim::loadSceneFile(std::string(src) + "/sim/scenes/demo.yaml", d, &error)) << error;
  const sim::Scene builtIn = sim::demoScene();
  ASSERT_EQ(d.scene.objects.size(), builtIn.objects.size());
  for (size_t i = 0; i < builtIn.objects.size(); ++i) {
    const sim::Object &a = d.scene.objects[i], &b = builtIn.objects[i];
    EXPECT_EQ(a.kind, b.kind) << i;
    EXPECT_LT(cv::norm(a.centre - b.centre), 1e-9) << i;
    EXPECT_LT(cv::norm(a.n - b.n), 1e-9) << i;
    EXPECT_LT(cv::norm(a.half - b.half), 1e-9) << i;
    EXPECT_DOUBLE_EQ(a.material.albedo, b.material.albedo) << i;
    EXPECT_EQ(a.material.texture.seed, b.material.texture.seed) << i;
  }
  for (const char* other : {"steps.yaml", "boards.yaml"})
    EXPECT_TRUE(sim::loadSceneFile(std::string(src) + "/sim/scenes/" + other, d, &error)) << error;
}

}  // namespace
