// Test helper of the Python tests, so that they need no full-size render:
//   render DIR    a quarter-size demo scene (320 x 256 cameras, 32 fringe
//                 periods so that a period still spans ~10 pixels) in the
//                 layout zelscan decode reads, with its calibration and the
//                 settings files phsft.ini and sgbm.ini for that size
//   decode phsft|sgbm DIR SETTINGS OUT
//                 decodes DIR with zelscan's decoder host (the library loaded
//                 through its factory) and writes int32 N, then the points,
//                 colours and pixel indices as the decoder returned them
//   board DIR     one full-size image of the reference board (board.pgm),
//                 its settings (board.yaml) and the true centres (centres.txt:
//                 x y visible, row-major)
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "apps/zelscan/decoder_host.h"
#include "sim/scene/boards.h"
#include "sim/scene/outputs.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "zelcam_pytest_helper: %s\n", message.c_str());
  return 1;
}

void scale(sim::Camera& cam, double s) {
  cam.width = static_cast<int>(cam.width * s);
  cam.height = static_cast<int>(cam.height * s);
  cam.fx *= s;
  cam.fy *= s;
  // Pixel centres at integers: scale about the image's corner half a pixel out.
  cam.cx = (cam.cx + 0.5) * s - 0.5;
  cam.cy = (cam.cy + 0.5) * s - 0.5;
}

int render(const std::string& dir) {
  sim::StereoRig rig = sim::defaultRig();
  scale(rig.left, 0.25);
  scale(rig.right, 0.25);
  rig.projector.periods = 32;
  sim::RenderSettings settings;
  settings.supersample = 1;
  std::string error;
  if (!sim::writePatternScene(rig, sim::demoScene(), settings, dir, &error)) return fail(error);
  std::ofstream(dir + "/phsft.ini") << "[PhaseShift]\nimage_width=320\nimage_height=256\n";
  std::ofstream(dir + "/sgbm.ini") << "[StereoSGBM]\nimage_width=320\nimage_height=256\n"
                                      "[SGBMLIB]\nnum_disparities=64\n";
  return 0;
}

int decode(const std::string& kindText, const std::string& dir, const std::string& settings, const std::string& out) {
  zelscan::DecoderKind kind;
  if (!zelscan::parseDecoderKind(kindText, kind)) return fail("decoder must be phsft or sgbm");
  std::string error;
  auto host = zelscan::DecoderHost::load(kind, &error);
  if (!host) return fail(error);
  if (!host->configure(settings, dir + "/calib", &error)) return fail(error);
  std::vector<std::string> left, right;
  char name[40];
  for (int k = 0; k < host->imagesPerCamera(); ++k) {
    for (int c = 0; c < 2; ++c) {
      if (kind == zelscan::DecoderKind::Sgbm) {
        std::snprintf(name, sizeof name, "/texture_cam%d.pgm", c);
      } else {
        std::snprintf(name, sizeof name, "/cam%d_%02d.pgm", c, k);
      }
      (c == 0 ? left : right).push_back(dir + name);
    }
  }
  zelscan::ImageSets sets;
  if (!zelscan::loadImageSets(left, right, host->width(), host->height(), sets, &error)) return fail(error);
  zelscan::Cloud cloud;
  if (!host->decode(sets, cloud, &error)) return fail(error);
  std::ofstream f(out, std::ios::binary);
  const std::int32_t n = cloud.count;
  f.write(reinterpret_cast<const char*>(&n), sizeof n);
  f.write(reinterpret_cast<const char*>(cloud.points.data()), static_cast<std::streamsize>(cloud.points.size() * 4));
  f.write(reinterpret_cast<const char*>(cloud.colours.data()), static_cast<std::streamsize>(cloud.colours.size()));
  f.write(reinterpret_cast<const char*>(cloud.pixels.data()), static_cast<std::streamsize>(cloud.pixels.size() * 4));
  return f ? 0 : fail("cannot write " + out);
}

int board(const std::string& dir) {
  const sim::StereoRig rig = sim::defaultRig();
  const sim::BoardSpec spec = sim::defaultBoardSpec();
  const sim::BoardPose pose = sim::referenceBoardPose();
  sim::Scene scene;
  scene.addBoard(spec, pose.axes, pose.origin);
  sim::RenderSettings base;
  base.supersample = 1;
  const cv::Mat img = sim::renderImage(rig, 0, scene, sim::boardRenderSettings(base), 1);
  if (img.empty() || !sim::writePgm(dir + "/board.pgm", img)) return fail("cannot render the board");
  if (!sim::writeBoardSettings(spec, dir + "/board.yaml")) return fail("cannot write board.yaml");
  std::vector<cv::Point2d> centres;
  std::vector<uint8_t> visible;
  sim::circleCentres(rig.left, spec, pose, centres, visible);
  std::ofstream f(dir + "/centres.txt");
  f.precision(10);
  for (std::size_t i = 0; i < centres.size(); ++i) {
    f << centres[i].x << ' ' << centres[i].y << ' ' << int(visible[i]) << '\n';
  }
  return f ? 0 : fail("cannot write centres.txt");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 2 && a[0] == "render") return render(a[1]);
  if (a.size() == 2 && a[0] == "board") return board(a[1]);
  if (a.size() == 5 && a[0] == "decode") return decode(a[1], a[2], a[3], a[4]);
  return fail("usage: render DIR | board DIR | decode phsft|sgbm DIR SETTINGS OUT");
}
