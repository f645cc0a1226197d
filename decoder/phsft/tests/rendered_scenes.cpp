#include "decoder/phsft/tests/rendered_scenes.h"

#include "sim/scene/outputs.h"
#include "sim/scene/render_fingerprint.h"
#include "sim/scene/scene.h"
#include "sim/scene/stereo_rig.h"

#include <unistd.h>
#include <cstdlib>
#include <filesystem>

namespace zel::test {

namespace fs = std::filesystem;

namespace {

std::string cacheRoot() {
  const char* bin = std::getenv("ZEL_BINARY_DIR");
  return std::string(bin ? bin : "/tmp") + "/test_scenes";
}

bool buildScene(const std::string& name, sim::Scene& scene, sim::RenderSettings& settings, sim::StereoRig& rig) {
  settings.seed = 1;
  settings.sensor.noise = true;
  rig = sim::defaultRig();
  if (name == "posts" || name == "slopes") {
    scene = name == "posts" ? sim::postsScene() : sim::slopesScene();
    rig = sim::offBaselineRig();
  } else if (name == "demo") {
    scene = sim::demoScene();
  } else if (name == "plane") {
    scene = sim::planeScene();
  } else if (name == "mix") {
    scene = sim::demoScene();
    for (sim::Object& o : scene.objects) {
      if (o.name != "backdrop") o.centre[2] -= 60;
    }
    settings.seed = 9;
    settings.sensor.blurSigma = 0.6;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool renderedScene(const std::string& name, RenderedScene& out, std::string& error) {
  sim::Scene scene;
  sim::RenderSettings settings;
  sim::StereoRig rig;
  if (!buildScene(name, scene, settings, rig)) {
    error = "unknown scene " + name;
    return false;
  }
  // Keyed by the render's fingerprint: a scene, rig or setting changed since
  // the last build renders anew instead of testing stale images.
  const std::string dir = cacheRoot() + "/" + name + "-" + sim::renderFingerprint(rig, scene, settings);
  if (!fs::exists(dir + "/" + sim::PatternSceneFiles::kRectifiedTruth)) {
    // Render into a private folder and rename it into place, so concurrent
    // test processes never see a half-written scene.
    std::error_code ec;
    fs::create_directories(cacheRoot(), ec);
    const std::string tmp = dir + ".tmp" + std::to_string(::getpid());
    if (!sim::writePatternScene(rig, scene, settings, tmp, &error)) return false;
    fs::rename(tmp, dir, ec);
    if (ec) fs::remove_all(tmp, ec);  // another process won the race
  }
  out.dir = dir;
  out.scene = scene;
  out.rig = rig;
  const cv::Mat r1 = out.rig.rectify(false).R1;
  out.rectifyLeft = cv::Matx33d(r1.ptr<double>(0));
  if (!sim::GroundTruth::load(dir + "/" + sim::PatternSceneFiles::kRectifiedTruth, out.truth, &error)) return false;
  out.width = out.truth.width;
  out.height = out.truth.height;
  return sim::readPatternImages(dir, 0, out.width, out.height, out.left, &error) &&
         sim::readPatternImages(dir, 1, out.width, out.height, out.right, &error);
}

}  // namespace zel::test
