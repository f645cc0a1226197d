// zelsim render --scene NAME --out DIR [--poses N] [--seed S] [--noise 0|1]
//               [--scene-file FILE.yaml] [--supersample N] [--quiet]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/stopwatch.h"
#include "sim/scene/boards.h"
#include "sim/scene/outputs.h"
#include "sim/scene/scene_file.h"
#include "sim/zelsim/commands.h"

namespace zelsim {
namespace {

void usage() {
  std::fprintf(
      stderr,
      "Usage: zelsim render (--scene demo|plane|posts|slopes|reference|boards | --scene-file FILE.yaml) --out DIR\n"
      "                     [--poses N] [--seed S] [--noise 0|1] [--supersample N] [--blur SIGMA]\n"
      "                     [--quiet]\n"
      "  pattern scenes write DIR/cam{0,1}_NN.pgm, texture_cam{0,1}.pgm, calib/, truth/\n"
      "  boards writes DIR/boards/, DIR/boards_combined/, DIR/board.yaml, calib/, truth/\n");
}

bool parseLong(const char* text, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

int renderCommand(int argc, char** argv) {
  std::string sceneName, sceneFile, outDir;
  long long poses = -1, seed = 1, noise = 1, supersample = -1;
  double blur = -1;
  bool quiet = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zelsim render: %s needs a value\n", what);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--scene" || a == "--scene-file" || a == "--out") {
      if (!(v = value(a.c_str()))) return 2;
      (a == "--scene" ? sceneName : a == "--out" ? outDir : sceneFile) = v;
    } else if (a == "--blur") {
      if (!(v = value(a.c_str()))) return 2;
      char* end = nullptr;
      blur = std::strtod(v, &end);
      if (end == v || *end != '\0' || !(blur >= 0 && blur <= 20)) {
        std::fprintf(stderr, "zelsim render: bad value '%s' for --blur (0..20 pixels)\n", v);
        return 2;
      }
    } else if (a == "--poses" || a == "--seed" || a == "--noise" || a == "--supersample") {
      if (!(v = value(a.c_str()))) return 2;
      long long* target = a == "--poses" ? &poses : a == "--seed" ? &seed : a == "--noise" ? &noise : &supersample;
      long long hi = a == "--poses" ? 99 : a == "--noise" ? 1 : a == "--supersample" ? 16 : (1LL << 62);
      long long lo = a == "--poses" || a == "--supersample" ? 1 : 0;
      if (!parseLong(v, lo, hi, *target)) {
        std::fprintf(stderr, "zelsim render: bad value '%s' for %s (%lld..%lld)\n", v, a.c_str(), lo, hi);
        return 2;
      }
    } else {
      std::fprintf(stderr, "zelsim render: unknown argument '%s'\n", a.c_str());
      usage();
      return 2;
    }
  }
  if (outDir.empty() || sceneName.empty() == sceneFile.empty()) {
    std::fprintf(stderr, "zelsim render: give --out and exactly one of --scene and --scene-file\n");
    usage();
    return 2;
  }

  sim::SceneDescription desc;
  if (!sceneFile.empty()) {
    std::string error;
    if (!sim::loadSceneFile(sceneFile, desc, &error)) {
      std::fprintf(stderr, "zelsim render: %s\n", error.c_str());
      return 1;
    }
  } else if (sceneName == "demo") {
    desc.scene = sim::demoScene();
  } else if (sceneName == "plane") {
    desc.scene = sim::planeScene();
  } else if (sceneName == "posts") {
    desc.scene = sim::postsScene();
  } else if (sceneName == "slopes") {
    desc.scene = sim::slopesScene();
  } else if (sceneName == "reference") {
    desc.scene = sim::referencePlaneScene();
  } else if (sceneName == "boards") {
    desc.kind = sim::SceneDescription::Kind::Boards;
  } else {
    std::fprintf(stderr, "zelsim render: unknown scene '%s' (demo, plane, posts, slopes, reference, boards)\n",
                 sceneName.c_str());
    return 2;
  }
  sim::RenderSettings& settings = desc.settings;
  settings.seed = static_cast<uint64_t>(seed);
  settings.sensor.noise = noise != 0;
  settings.progress = !quiet;
  if (supersample > 0) settings.supersample = static_cast<int>(supersample);
  if (blur >= 0) settings.sensor.blurSigma = blur;

  // The posts and slopes scenes are lit from a projector off the baseline.
  const sim::StereoRig rig = sceneName == "posts" || sceneName == "slopes" ? sim::offBaselineRig() : sim::defaultRig();
  platform::Stopwatch watch;
  std::string error;
  bool ok;
  if (desc.kind == sim::SceneDescription::Kind::Boards) {
    int n = poses > 0 ? static_cast<int>(poses) : desc.poses > 0 ? desc.poses : 12;
    std::vector<sim::BoardPose> list = sim::boardPoses(rig, desc.board, n, settings.seed);
    ok = sim::writeBoardScene(rig, desc.board, list, settings, outDir, &error);
  } else {
    ok = sim::writePatternScene(rig, desc.scene, settings, outDir, &error);
  }
  if (!ok) {
    std::fprintf(stderr, "zelsim render: %s\n", error.c_str());
    return 1;
  }
  if (!quiet) std::fprintf(stderr, "zelsim: wrote %s in %.1f s\n", outDir.c_str(), watch.elapsedMs() / 1000);
  return 0;
}

}  // namespace zelsim
