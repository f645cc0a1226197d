// Accuracy of the SGBM decoder on the virtual head's textured pair of the demo
// scene with its true calibration: completeness over the valid region where
// the surface is seen by both cameras, and RMS distance to the true surface.
//
// The scene is rendered once per build folder by the zelsim program
// ("zelsim render --scene demo --out DIR") and kept for later runs.
#include "decoder/sgbm/sgbm_decoder.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Flags of the renderer's ground-truth file.
constexpr std::uint8_t kSurfaceHit = 1;
constexpr std::uint8_t kSeenByRight = 2;

// The ground truth on the left rectified grid: header of 32 bytes ("ZELTRUTH",
// version, width, height, grid, header size, reserved), then W*H flag bytes
// padded to a multiple of 4, W*H float depths and W*H*3 float points (the
// planes after them are not needed here).
struct Truth {
  int width = 0, height = 0;
  std::vector<std::uint8_t> flags;
  std::vector<float> depth;
  std::vector<float> xyz;
};

bool readTruth(const std::string& path, Truth& t, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  char header[32];
  if (!in.read(header, sizeof header) || std::memcmp(header, "ZELTRUTH", 8) != 0) {
    error = "not a truth file: " + path;
    return false;
  }
  std::int32_t w, h, grid;
  std::uint32_t headerSize;
  std::memcpy(&w, header + 12, 4);
  std::memcpy(&h, header + 16, 4);
  std::memcpy(&grid, header + 20, 4);
  std::memcpy(&headerSize, header + 24, 4);
  if (w <= 0 || h <= 0 || w > 8192 || h > 8192 || grid != 1 || headerSize != 32) {
    error = "unexpected truth header in " + path;
    return false;
  }
  const std::size_t n = static_cast<std::size_t>(w) * h;
  t.width = w;
  t.height = h;
  t.flags.resize(n);
  t.depth.resize(n);
  t.xyz.resize(3 * n);
  in.read(reinterpret_cast<char*>(t.flags.data()), static_cast<std::streamsize>(n));
  in.ignore(static_cast<std::streamsize>((4 - n % 4) % 4));
  in.read(reinterpret_cast<char*>(t.depth.data()), static_cast<std::streamsize>(4 * n));
  in.read(reinterpret_cast<char*>(t.xyz.data()), static_cast<std::streamsize>(12 * n));
  if (!in) {
    error = "short truth file " + path;
    return false;
  }
  return true;
}

// Renders the demo scene into the build folder unless it is already there.
std::string renderedDemo(std::string& error) {
  const char* binary = std::getenv("ZEL_BINARY_DIR");
  const std::string dir = std::string(binary ? binary : "/tmp") + "/sgbm_rendered/demo";
  const std::string truth = dir + "/truth/left_rectified.bin";
  if (std::filesystem::exists(truth) && std::filesystem::exists(dir + "/texture_cam1.pgm")) return dir;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  const std::string command = std::string("'") + ZEL_ZELSIM + "' render --scene demo --quiet --out '" + dir + "'";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(truth)) {
    error = "failed: " + command;
    return "";
  }
  return dir;
}

struct Accuracy {
  int expected = 0;  // valid-region pixels whose surface both cameras see
  int found = 0;     // of those, how many got a point
  int points = 0;
  int stray = 0;     // points on pixels without a true surface
  double workingDistance = 0;  // mean true depth over the expected pixels
  double rms = 0;              // point to the true point of its pixel
  double rmsInliers = 0;       // the same without gross outliers (beyond 2% of the working distance)
  int outliers = 0;
};

Accuracy measure(const Truth& t, const zel::ValidRegion& r, const zel::DecoderOutput& out) {
  Accuracy a;
  const int w = t.width;
  std::vector<char> hasPoint(t.flags.size(), 0);
  for (int i = 0; i < out.count; ++i) hasPoint[out.pixelIndices[i]] = 1;
  double depthSum = 0;
  for (int y = std::max(0, r.y0); y < std::min(t.height, r.y1); ++y) {
    for (int x = std::max(0, r.x0); x < std::min(w, r.x1); ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * w + x;
      if ((t.flags[i] & (kSurfaceHit | kSeenByRight)) != (kSurfaceHit | kSeenByRight)) continue;
      ++a.expected;
      a.found += hasPoint[i];
      depthSum += t.depth[i];
    }
  }
  a.workingDistance = a.expected ? depthSum / a.expected : 0;
  const double limit = 0.02 * a.workingDistance;
  double sq = 0, sqIn = 0;
  int measured = 0, inliers = 0;
  for (int i = 0; i < out.count; ++i) {
    const std::size_t p = static_cast<std::size_t>(out.pixelIndices[i]);
    if ((t.flags[p] & kSurfaceHit) == 0) {
      ++a.stray;
      continue;
    }
    double e2 = 0;
    for (int k = 0; k < 3; ++k) {
      const double d = out.points[3 * i + k] - t.xyz[3 * p + k];
      e2 += d * d;
    }
    sq += e2;
    ++measured;
    if (e2 > limit * limit) {
      ++a.outliers;
    } else {
      sqIn += e2;
      ++inliers;
    }
  }
  a.points = out.count;
  a.rms = measured ? std::sqrt(sq / measured) : 0;
  a.rmsInliers = inliers ? std::sqrt(sqIn / inliers) : 0;
  return a;
}

std::vector<std::uint8_t> readPgm(const std::string& path, int width, int height) {
  const cv::Mat m = cv::imread(path, cv::IMREAD_GRAYSCALE);
  if (m.cols != width || m.rows != height || !m.isContinuous()) return {};
  return std::vector<std::uint8_t>(m.data, m.data + m.total());
}

TEST(RenderedDemo, SgbmAccuracyAgainstTheGroundTruth) {
  std::string error;
  const std::string dir = renderedDemo(error);
  ASSERT_FALSE(dir.empty()) << error;
  Truth truth;
  ASSERT_TRUE(readTruth(dir + "/truth/left_rectified.bin", truth, error)) << error;
  const std::vector<std::uint8_t> left = readPgm(dir + "/texture_cam0.pgm", truth.width, truth.height);
  const std::vector<std::uint8_t> right = readPgm(dir + "/texture_cam1.pgm", truth.width, truth.height);
  ASSERT_FALSE(left.empty());
  ASSERT_FALSE(right.empty());

  for (int qEvec : {0, 1}) {
    zel::SgbmParams p;
    p.imageWidth = truth.width;
    p.imageHeight = truth.height;
    p.coord = 0;  // the camera parameter files: points in the left rectified frame, as the truth
    p.qEvec = qEvec;
    p.evecError = 1e-6;  // mm; the rays of a rectified pair meet up to rounding
    zel::SgbmDecoder dec;
    ASSERT_TRUE(dec.loadCalibration(p, dir + "/calib/"));
    ASSERT_TRUE(dec.calibrated());
    zel::DecoderOutput out;
    const ImagePair raw{left.data(), right.data()};
    dec.exec(raw, raw, true, nullptr, qEvec, out);
    const Accuracy a = measure(truth, dec.lastRegion(), out);
    ASSERT_GT(a.expected, 0);
    const double completeness = double(a.found) / a.expected;
    std::printf("[accuracy] sgbm Q_evec %d: points %d, completeness %.2f%% (%d of %d), stray %d, working "
                "distance %.1f mm, RMS %.4f mm (%.4f%%), without %d gross outliers RMS %.4f mm (%.4f%%)\n",
                qEvec, a.points, 100 * completeness, a.found, a.expected, a.stray, a.workingDistance, a.rms,
                100 * a.rms / a.workingDistance, a.outliers, a.rmsInliers, 100 * a.rmsInliers / a.workingDistance);
    EXPECT_GE(completeness, 0.85);
    EXPECT_LE(a.rms, 0.005 * a.workingDistance);
  }
}

}  // namespace
