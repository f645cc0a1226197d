// Accuracy of the SGBM decoder on the virtual head's textured pair of the demo
// scene with its true calibration: completeness over the valid region where
// the surface is seen by both cameras, and RMS distance to the true surface.
//
// The scene is rendered once per build folder by the zelsim program
// ("zelsim render --scene demo --out DIR") and kept for later runs.
#include "decoder/sgbm/sgbm_decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Flags of the renderer's ground-truth file.
constexpr std::uint8_t kSurfaceHit = 1;
constexpr std::uint8_t kSeenByRight = 2;
constexpr std::uint8_t kLitByProjector = 4;
constexpr int kSurfaceWindow = 4;  // truth pixels each side searched for the nearest true point

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
  // Render into a private folder and rename it into place: ctest runs the
  // tests of this program as concurrent processes, and one of them may be
  // reading the scene while another renders.
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ec);
  const std::string tmp = dir + ".tmp" + std::to_string(::getpid());
  std::filesystem::remove_all(tmp, ec);
  const std::string command = std::string("'") + ZEL_ZELSIM + "' render --scene demo --quiet --out '" + tmp + "'";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(tmp + "/truth/left_rectified.bin")) {
    std::filesystem::remove_all(tmp, ec);
    error = "failed: " + command;
    return "";
  }
  std::filesystem::rename(tmp, dir, ec);
  if (ec) std::filesystem::remove_all(tmp, ec);  // another process placed it first
  if (!std::filesystem::exists(truth)) {
    error = "cannot place the rendered scene at " + dir;
    return "";
  }
  return dir;
}

// The true calibration of the camera parameter files, rectified twice: as the
// decoder's loader does it (principal points apart, the grid of the truth
// file) and with coinciding principal points, written as the projection-matrix
// and rectification-table files of "coord" 1.
struct Rectifications {
  cv::Mat truthP;  // 3x4 of the left rectified camera of the truth grid
  cv::Mat zeroP;   // 3x4 of the left rectified camera with coinciding principal points
};

bool readCamera(const std::string& path, const std::string& name, cv::Mat& k, cv::Mat& d, cv::Mat& r, cv::Mat& t,
                cv::Size& size) {
  cv::FileStorage fs(path, cv::FileStorage::READ);
  if (!fs.isOpened()) return false;
  fs[name + "_K"] >> k;
  fs[name + "_D"] >> d;
  fs[name + "_R"] >> r;
  fs[name + "_T"] >> t;
  std::vector<int> wh;
  fs[name + "_size"] >> wh;
  if (wh.size() == 2) size = cv::Size(wh[0], wh[1]);
  return !k.empty() && !r.empty() && !t.empty();
}

void writeBytes(const std::string& path, const void* data, std::size_t n) {
  std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

void appendBlock(std::vector<char>& bytes, const cv::Mat& map) {
  const std::int32_t count = static_cast<std::int32_t>(map.total());
  const std::size_t at = bytes.size();
  bytes.resize(at + 8, 0);
  std::memcpy(bytes.data() + at, &count, 4);
  const std::size_t v = bytes.size();
  bytes.resize(v + 4 * map.total());
  std::memcpy(bytes.data() + v, map.ptr<float>(), 4 * map.total());
  while (bytes.size() % 8 != 0) bytes.push_back(0);
}

bool writeZeroDisparityCalibration(const std::string& calib, const std::string& out, Rectifications& rect,
                                   std::string& error) {
  cv::Mat k0, d0, r0, t0, k1, d1, r1, t1;
  cv::Size size0, size1;
  if (!readCamera(calib + "cam0_param.yaml", "cam0", k0, d0, r0, t0, size0) ||
      !readCamera(calib + "cam1_param.yaml", "cam1", k1, d1, r1, t1, size1)) {
    error = "camera parameter files in " + calib;
    return false;
  }
  cv::Mat R1, R2, P1, P2, Q;
  cv::stereoRectify(k0, d0, k1, d1, size0, r1, t1, R1, R2, P1, P2, Q, 0, -1, size0);
  rect.truthP = P1.clone();
  cv::stereoRectify(k0, d0, k1, d1, size0, r1, t1, R1, R2, P1, P2, Q, cv::CALIB_ZERO_DISPARITY, -1, size0);
  rect.zeroP = P1.clone();
  cv::Mat maps[4];
  cv::initUndistortRectifyMap(k0, d0, R1, P1(cv::Rect(0, 0, 3, 3)), size0, CV_32FC1, maps[0], maps[2]);
  cv::initUndistortRectifyMap(k1, d1, R2, P2(cv::Rect(0, 0, 3, 3)), size0, CV_32FC1, maps[1], maps[3]);
  writeBytes(out + "hmat0.dat", P1.ptr<double>(), 96);
  writeBytes(out + "hmat1.dat", P2.ptr<double>(), 96);
  std::vector<char> bytes;
  for (const cv::Mat& m : maps) appendBlock(bytes, m);
  writeBytes(out + "rect.param", bytes.data(), bytes.size());
  return true;
}

struct Accuracy {
  int expected = 0;  // valid-region pixels whose surface both cameras see
  int found = 0;     // of those, how many got a point
  int points = 0;
  int stray = 0;     // points on pixels without a true surface
  double workingDistance = 0;  // mean true depth over the expected pixels
  double rms = 0;              // point to the true surface
  double rmsInliers = 0;       // the same without gross outliers (beyond 2% of the working distance)
  int outliers = 0;
  int litPoints = 0;  // points on surfaces the projector lights (it also lights the texture)
  double rmsLit = 0;
};

// The decoder's grid may be the truth's grid shifted by (du, dv) pixels: the
// same rectified orientation and focal length, other principal points.
Accuracy measure(const Truth& t, const zel::ValidRegion& r, const zel::DecoderOutput& out, double du, double dv) {
  Accuracy a;
  const int w = t.width, h = t.height;
  std::vector<char> hasPoint(t.flags.size(), 0);
  for (int i = 0; i < out.count; ++i) hasPoint[out.pixelIndices[i]] = 1;
  auto both = [&](std::size_t i) { return (t.flags[i] & (kSurfaceHit | kSeenByRight)) == (kSurfaceHit | kSeenByRight); };
  double depthSum = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * w + x;
      if (!both(i)) continue;
      const int mx = static_cast<int>(std::lround(x + du)), my = static_cast<int>(std::lround(y + dv));
      if (!r.contains(mx, my) || mx >= w || my >= h || mx < 0 || my < 0) continue;
      ++a.expected;
      a.found += hasPoint[static_cast<std::size_t>(my) * w + mx];
      depthSum += t.depth[i];
    }
  }
  a.workingDistance = a.expected ? depthSum / a.expected : 0;
  const double limit = 0.02 * a.workingDistance;
  double sq = 0, sqIn = 0, sqLit = 0;
  int measured = 0, inliers = 0;
  for (int i = 0; i < out.count; ++i) {
    // Distance to the true surface: the nearest true point among the truth
    // pixels around the point's own pixel (the true surface is sampled once
    // per pixel, so this is an upper bound of the distance to the surface;
    // the window reaches the foreground next to an occlusion edge, where a
    // block matcher puts foreground depth on a few background pixels).
    const int tx = static_cast<int>(std::lround(out.pixelIndices[i] % w - du));
    const int ty = static_cast<int>(std::lround(out.pixelIndices[i] / w - dv));
    if (tx < 0 || ty < 0 || tx >= w || ty >= h || (t.flags[static_cast<std::size_t>(ty) * w + tx] & kSurfaceHit) == 0) {
      ++a.stray;
      continue;
    }
    double e2 = std::numeric_limits<double>::infinity();
    for (int y = std::max(0, ty - kSurfaceWindow); y <= std::min(h - 1, ty + kSurfaceWindow); ++y) {
      for (int x = std::max(0, tx - kSurfaceWindow); x <= std::min(w - 1, tx + kSurfaceWindow); ++x) {
        const std::size_t j = static_cast<std::size_t>(y) * w + x;
        if ((t.flags[j] & kSurfaceHit) == 0) continue;
        double d2 = 0;
        for (int k = 0; k < 3; ++k) {
          const double d = out.points[3 * i + k] - t.xyz[3 * j + k];
          d2 += d * d;
        }
        e2 = std::min(e2, d2);
      }
    }
    sq += e2;
    ++measured;
    if ((t.flags[static_cast<std::size_t>(ty) * w + tx] & kLitByProjector) != 0) {
      sqLit += e2;
      ++a.litPoints;
    }
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
  a.rmsLit = a.litPoints ? std::sqrt(sqLit / a.litPoints) : 0;
  return a;
}

std::vector<std::uint8_t> readPgm(const std::string& path, int width, int height) {
  const cv::Mat m = cv::imread(path, cv::IMREAD_GRAYSCALE);
  if (m.cols != width || m.rows != height || !m.isContinuous()) return {};
  return std::vector<std::uint8_t>(m.data, m.data + m.total());
}

void print(const char* label, const Accuracy& a) {
  std::printf("[accuracy] sgbm %s: points %d, completeness %.2f%% (%d of %d), stray %d, working distance %.1f mm, "
              "RMS %.4f mm (%.4f%%), without %d gross outliers RMS %.4f mm (%.4f%%), on lit surfaces (%d points) "
              "RMS %.4f mm (%.4f%%)\n",
              label, a.points, a.expected ? 100.0 * a.found / a.expected : 0.0, a.found, a.expected, a.stray,
              a.workingDistance, a.rms, 100 * a.rms / a.workingDistance, a.outliers, a.rmsInliers,
              100 * a.rmsInliers / a.workingDistance, a.litPoints, a.rmsLit, 100 * a.rmsLit / a.workingDistance);
}

class RenderedDemo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    dir_ = renderedDemo(error);
    ASSERT_FALSE(dir_.empty()) << error;
    ASSERT_TRUE(readTruth(dir_ + "/truth/left_rectified.bin", truth_, error)) << error;
    left_ = readPgm(dir_ + "/texture_cam0.pgm", truth_.width, truth_.height);
    right_ = readPgm(dir_ + "/texture_cam1.pgm", truth_.width, truth_.height);
    ASSERT_FALSE(left_.empty());
    ASSERT_FALSE(right_.empty());
  }
  zel::SgbmParams params(int coord, int qEvec) const {
    zel::SgbmParams p;
    p.imageWidth = truth_.width;
    p.imageHeight = truth_.height;
    p.coord = coord;
    p.qEvec = qEvec;
    p.evecError = 1e-6;  // mm; the rays of a rectified pair meet up to rounding
    return p;
  }
  std::string dir_;
  Truth truth_;
  std::vector<std::uint8_t> left_, right_;
};

// The head's cameras are toed in to meet at about 800 mm. Rectified with their
// principal points apart (the camera parameter files), every surface beyond
// the distance where the principal-point offset equals f * B / Z has a
// negative disparity, which the decoder marks 47: most of the demo scene.
// These figures are printed for the record only.
TEST_F(RenderedDemo, CameraParameterFilesLoseTheSurfacesOfNegativeDisparity) {
  zel::SgbmDecoder dec;
  const zel::SgbmParams p = params(0, 0);
  ASSERT_TRUE(dec.loadCalibration(p, dir_ + "/calib/"));
  ASSERT_TRUE(dec.calibrated());
  zel::DecoderOutput out;
  const ImagePair raw{left_.data(), right_.data()};
  dec.exec(raw, raw, true, nullptr, p.qEvec, out);
  const Accuracy a = measure(truth_, dec.lastRegion(), out, 0, 0);
  print("coord 0 (principal points apart)", a);
  EXPECT_EQ(a.stray, 0);
}

// The same true calibration rectified with coinciding principal points and
// given as projection-matrix and rectification-table files: all disparities
// are positive. The search covers the scene's working volume, as a user sets
// it up: disparities 144 to 271, that is 1010 mm down to 535 mm (the backdrop
// stands at 950 mm, the nearest surface at 560 mm).
TEST_F(RenderedDemo, AccuracyAgainstTheGroundTruth) {
  const std::string calib = dir_ + "/sgbm_zero_disparity/";
  std::filesystem::create_directories(calib);
  Rectifications rect;
  std::string error;
  ASSERT_TRUE(writeZeroDisparityCalibration(dir_ + "/calib/", calib, rect, error)) << error;
  ASSERT_NEAR(rect.zeroP.at<double>(0, 0), rect.truthP.at<double>(0, 0), 1e-9);
  const double du = rect.zeroP.at<double>(0, 2) - rect.truthP.at<double>(0, 2);
  const double dv = rect.zeroP.at<double>(1, 2) - rect.truthP.at<double>(1, 2);
  for (int qEvec : {0, 1}) {
    zel::SgbmParams p = params(1, qEvec);
    p.minDisparity = 144;
    p.numDisparities = 128;
    // Filters of the matcher against the wrong matches in projector shadows
    // and next to occlusions, where the texture gives the blocks nothing to
    // hold on to: left-right check within 1 pixel, a clear winner (30%),
    // speckles up to 400 pixels that differ by more than 1 pixel removed. With
    // the defaults (15%, 100 pixels, 16 pixels) about 0.8% of the points are
    // such gross mismatches and the RMS of all points is about 2.5%.
    p.disp12MaxDiff = 1;
    p.uniquenessRatio = 30;
    p.speckleWindowSize = 400;
    p.speckleRange = 1;
    zel::SgbmDecoder dec;
    ASSERT_TRUE(dec.loadCalibration(p, calib));
    ASSERT_TRUE(dec.calibrated());
    zel::DecoderOutput out;
    const ImagePair raw{left_.data(), right_.data()};
    dec.exec(raw, raw, true, nullptr, p.qEvec, out);
    const Accuracy a = measure(truth_, dec.lastRegion(), out, du, dv);
    print(qEvec == 0 ? "coord 1, Q_evec 0" : "coord 1, Q_evec 1", a);
    ASSERT_GT(a.expected, 0);
    EXPECT_GE(double(a.found) / a.expected, 0.85);
    EXPECT_LE(a.rms, 0.005 * a.workingDistance);
    EXPECT_EQ(a.stray, 0);
  }
}

}  // namespace
