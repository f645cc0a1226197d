#pragma once
// `zelsim serve --head cameras` for the plug-in host tests, run in the test's
// private network namespace: small images without noise, so that frames can
// be compared byte for byte with the head's own rendering of each pattern,
// and a direct line to its projector (showing a pattern through the plug-in
// would wait 800 ms per command; the plug-ins' projector path is tested in
// camera/common).
#include <memory>
#include <string>
#include <vector>

#include "camera/ace/tests/host_fixture.h"
#include "sim/head/scene_images.h"

namespace acetest {

// The folder of the rendered-head cache that every plug-in host test shares.
std::string headCacheDir();
// The scene a test head serves: plane, width x height, no noise, one sample
// per pixel, rendered into headCacheDir().
sim::head::SceneImageOptions headSceneOptions(int width, int height);

class HeadServer {
 public:
  static constexpr int kWidth = 320, kHeight = 256;
  static constexpr int kProjectorPort = 5073;

  // Starts zelsim serve with the cameras' user-defined names and the given
  // extra arguments; waits for "ready". False with *error.
  bool start(const std::vector<std::string>& names, const std::vector<std::string>& extra, std::string* error);
  void stop();
  ~HeadServer() { stop(); }

  // The head's images (pattern 0..12 of camera 0 or 1), rendered in this
  // process with the server's settings.
  const sim::head::SceneImages& images() const { return images_; }
  // Sends "p<n>" to the virtual projector and waits for its ":OK".
  bool showPattern(int pattern);
  const std::string& logPath() const { return log_; }

 private:
  std::unique_ptr<BackgroundProcess> server_;
  sim::head::SceneImages images_;
  std::string log_;
  int projector_ = -1;
};

}  // namespace acetest
