// SGBM decoder: exec time against the bare matcher on the same rectified pair,
// in the same run (the machine is shared, so only the ratio means much).
//
//   sgbm_bench [reps] [mode...]
//
// A 1280 x 1024 textured pair with a known disparity and an ideal rectified
// calibration (identity maps). For each matcher mode: the median of reps runs
// of exec with rectify false (matcher input = the given pair), exec with
// rectify true (plus the remap), and cv::StereoSGBM::create + compute alone,
// interleaved so that drift of the machine hits all three alike.
#include "decoder/sgbm/sgbm_decoder.h"
#include "decoder/sgbm/tests/test_scene.h"
#include "platform/stopwatch.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<int> modes;
  for (int i = 2; i < argc; ++i) modes.push_back(std::atoi(argv[i]));
  if (modes.empty()) modes = {0, 3};

  zel::test::IdealRig rig;
  rig.width = 1280;
  rig.height = 1024;
  rig.f = 1400;
  rig.cx = 640;
  rig.cy = 512;
  rig.baseline = 80;
  const std::string dir = zel::test::makeTempDir();
  zel::test::writeHmatCalibration(dir, rig);
  const zel::test::ImagePairData pair = zel::test::makeShiftedPair(rig.width, rig.height, 40);

  std::printf("sgbm_bench: %dx%d pair, disparity 40, %d runs per figure (median)\n", rig.width, rig.height, reps);
  std::printf("%-5s %12s %12s %12s %12s %9s\n", "mode", "compute ms", "exec ms", "exec+remap", "points", "ratio");
  for (int mode : modes) {
    zel::SgbmParams params;
    params.imageWidth = rig.width;
    params.imageHeight = rig.height;
    params.coord = 1;
    params.mode = mode;
    zel::SgbmDecoder decoder;
    if (!decoder.loadCalibration(params, dir) || !decoder.calibrated()) {
      std::fprintf(stderr, "sgbm_bench: calibration did not load\n");
      return 1;
    }
    const cv::Mat left(rig.height, rig.width, CV_8UC1, const_cast<std::uint8_t*>(pair.left.data()));
    const cv::Mat right(rig.height, rig.width, CV_8UC1, const_cast<std::uint8_t*>(pair.right.data()));
    zel::DecoderOutput out;
    std::vector<double> compute, exec, execRectify, matchStage, pointStage, outputCopy;
    int points = 0;
    for (int r = 0; r < reps; ++r) {
      {
        platform::Stopwatch watch;
        cv::Ptr<cv::StereoSGBM> m = cv::StereoSGBM::create(
            params.minDisparity, params.numDisparities, params.blockSize, params.p1, params.p2, params.disp12MaxDiff,
            params.preFilterCap, params.uniquenessRatio, params.speckleWindowSize, params.speckleRange, params.mode);
        cv::Mat disparity;
        m->compute(left, right, disparity);
        compute.push_back(watch.elapsedMs());
      }
      {
        platform::Stopwatch watch;
        points = decoder.exec(pair.pair(), pair.pair(), false, nullptr, params.qEvec, out);
        exec.push_back(watch.elapsedMs());
        const zel::SgbmStageTimes& t = decoder.lastTimes();
        matchStage.push_back(t.sgbm);
        pointStage.push_back(t.pc);
        outputCopy.push_back(t.total - t.sum);
      }
      {
        platform::Stopwatch watch;
        decoder.exec(pair.pair(), pair.pair(), true, nullptr, params.qEvec, out);
        execRectify.push_back(watch.elapsedMs());
      }
    }
    const double c = median(compute);
    const double e = median(exec);
    std::printf("%-5d %12.1f %12.1f %12.1f %12d %8.3fx\n", mode, c, e, median(execRectify), points, e / c);
    std::printf("      exec stages: sgbm (matcher + marking) %.1f ms, points %.1f ms, output copy %.1f ms\n",
                median(matchStage), median(pointStage), median(outputCopy));
  }
  std::printf("target: exec <= 1.15 x compute for mode 0\n");
  zel::test::removeTree(dir);
  return 0;
}
