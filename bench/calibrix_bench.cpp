// Detection time per 1280 x 1024 board image: calibrix's circle board
// detection against cv::findCirclesGrid on the same grid without the base
// marker, measured in the same run (the ratio is the figure to watch).
#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <vector>

#include "calibrix/circle_calib_board.h"
#include "calibrix/tests/board_image.h"

namespace t = calibrix::test;

namespace {

double medianMs(int runs, const std::function<void()>& fn) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const cv::Size size(1280, 1024);
  const cv::Matx33d K(1500, 0, 639.5, 0, 1500, 511.5, 0, 0, 1);
  struct Pose {
    const char* name;
    cv::Vec3d rvec, tvec;
  };
  const Pose poses[] = {{"frontal", {0, 0, 0}, {0, 0, 2200}}, {"tilt 30 deg", {0.52, 0.0, 0.1}, {0, 0, 2300}}};
  t::RenderOptions opt;
  opt.supersample = 3;
  opt.blurSigma = 0.8;
  opt.noiseSigma = 3.0;
  std::printf(
      "calibrix detection vs cv::findCirclesGrid, 1280 x 1024, 13 x 19 circles, "
      "median of %d runs\n",
      runs);
  for (const Pose& pose : poses) {
    const cv::Matx33d H = t::boardHomography(K, pose.rvec, pose.tvec);
    t::BoardSpec withMarker;
    t::BoardSpec plain;
    plain.doubles.clear();
    const cv::Mat markerImg = t::renderBoard(withMarker, H, size, opt);
    const cv::Mat plainImg = t::renderBoard(plain, H, size, opt);

    calibrix::CircleCalibBoard board;
    std::vector<cv::Point2f> result;
    int found = 0;
    const double ours = medianMs(runs, [&] {
      board.detect(markerImg, result);
      found = static_cast<int>(std::count_if(result.begin(), result.end(), [](auto p) { return p.x < 1e30f; }));
    });
    calibrix::CircleCalibBoard plainBoard;
    const double oursPlain = medianMs(runs, [&] {
      std::ostringstream warn;
      plainBoard.detect(plainImg, result, nullptr, &warn);
    });
    std::vector<cv::Point2f> centres;
    bool cvFound = false;
    const double theirs = medianMs(
        runs, [&] { cvFound = cv::findCirclesGrid(plainImg, cv::Size(13, 19), centres, cv::CALIB_CB_SYMMETRIC_GRID); });
    std::printf(
        "%-12s calibrix %7.2f ms (%d/247 found) | calibrix on plain grid %7.2f ms | "
        "cv::findCirclesGrid %7.2f ms (%s) | ratio calibrix/opencv %.2f\n",
        pose.name, ours, found, oursPlain, theirs, cvFound ? "found" : "not found", ours / theirs);
  }
  return 0;
}
