#include "calibrix/tests/stereo_set.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>

#include "calibrix/tests/board_image.h"

namespace calibrix::test {

StereoSetTruth writeStereoSet(const std::string& dir, const std::string& hdr, int n, bool combined, cv::Size size) {
  const double f = size.width * 1.2;
  StereoSetTruth truth{cv::Matx33d(f, 0, (size.width - 1) / 2.0, 0, f, (size.height - 1) / 2.0, 0, 0, 1), 120.0, size};
  const BoardSpec spec;
  RenderOptions opt;
  opt.supersample = 2;
  opt.blurSigma = 0.7;
  opt.noiseSigma = 2.0;
  for (int frame = -1; frame < n; ++frame) {
    // Poses around the rig's middle, tilted a different way each frame.
    const double a = 0.5 * (frame + 1);
    const cv::Vec3d rvec = frame < 0 ? cv::Vec3d(0.05, -0.05, 0.02)
                                     : cv::Vec3d(0.35 * std::sin(a), 0.35 * std::cos(a), 0.1 * std::sin(2 * a));
    const double z = 2.2 * f + 60.0 * ((frame + 1) % 3);
    const cv::Vec3d tvec(truth.baseline / 2.0, 0, z);
    cv::Mat img[2];
    for (int cam = 0; cam < 2; ++cam) {
      const cv::Vec3d t = tvec - cv::Vec3d(cam * truth.baseline, 0, 0);
      opt.seed = static_cast<std::uint64_t>(100 + 2 * frame + cam);
      img[cam] = renderBoard(spec, boardHomography(truth.K, rvec, t), size, opt);
    }
    char name[512];
    if (combined) {
      cv::Mat both;
      cv::hconcat(img[0], img[1], both);
      if (frame < 0)
        std::snprintf(name, sizeof name, "%s/reference.pgm", dir.c_str());
      else
        std::snprintf(name, sizeof name, "%s/%s%02d.pgm", dir.c_str(), hdr.c_str(), frame);
      cv::imwrite(name, both);
    } else {
      for (int cam = 0; cam < 2; ++cam) {
        if (frame < 0)
          std::snprintf(name, sizeof name, "%s/reference_%d.pgm", dir.c_str(), cam);
        else
          std::snprintf(name, sizeof name, "%s/%s%02d_%d.pgm", dir.c_str(), hdr.c_str(), frame, cam);
        cv::imwrite(name, img[cam]);
      }
    }
  }
  return truth;
}

}  // namespace calibrix::test
