#include "decoder/common/calib_loader.h"
#include "decoder/common/tests/test_files.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <fstream>
#include <random>

namespace zel {
namespace {

using test::writeBytes;

class CalibLoader : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::makeTempDir(); }
  void TearDown() override { test::removeTree(dir_); }

  // An ideal pair: no distortion, right camera baseline_ along +x.
  void writeYamlPair(int w, int h) {
    const cv::Mat k = (cv::Mat_<double>(3, 3) << 100, 0, w / 2.0, 0, 100, h / 2.0, 0, 0, 1);
    const cv::Mat k1 = (cv::Mat_<double>(3, 3) << 102, 0, w / 2.0 + 1, 0, 101, h / 2.0 - 1, 0, 0, 1);
    const cv::Mat d = (cv::Mat_<double>(1, 5) << -0.05, 0.01, 0, 0, 0);
    const double a = 0.02;
    const cv::Mat r = (cv::Mat_<double>(3, 3) << std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a));
    const cv::Mat t = (cv::Mat_<double>(3, 1) << -baseline_, 0.2, 0.1);
    test::writeCameraFile(dir_ + "cam0_param.yaml", "cam0", w, h, k, d, cv::Mat::eye(3, 3, CV_64F),
                          cv::Mat::zeros(3, 1, CV_64F));
    test::writeCameraFile(dir_ + "cam1_param.yaml", "cam1", w, h, k1, d, r, t);
  }

  // The hmat files and rect.param of an already loaded calibration.
  void writeHmatFrom(const StereoCamera& s) {
    cv::Matx34d p0, p1;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 4; ++j) {
        p0(i, j) = s.left.P.at<double>(i, j);
        p1(i, j) = s.right.P.at<double>(i, j);
      }
    }
    test::writeMatrixFile(dir_ + "hmat0.dat", p0);
    test::writeMatrixFile(dir_ + "hmat1.dat", p1);
    const cv::Mat* maps[4] = {&s.left.mapX, &s.right.mapX, &s.left.mapY, &s.right.mapY};
    const int n = static_cast<int>(s.left.mapX.total());
    test::writeRectParam(dir_ + "rect.param", {n, n, n, n}, [&](int b, int i) { return maps[b]->ptr<float>(0)[i]; });
  }

  std::string dir_;
  double baseline_ = 60.0;
};

TEST_F(CalibLoader, YamlAndHmatLoadAndRectifyAlike) {
  const int w = 64, h = 48;
  writeYamlPair(w, h);
  StereoCamera yaml;
  ASSERT_TRUE(loadStereoCalibration(dir_, 0, w, h, false, yaml));
  EXPECT_EQ(yaml.left.mapX.size(), cv::Size(w, h));
  EXPECT_NEAR(cv::norm(yaml.right.T - yaml.left.T), baseline_, 0.01 * baseline_);
  writeHmatFrom(yaml);
  StereoCamera hmat;
  ASSERT_TRUE(loadStereoCalibration(dir_, 1, w, h, false, hmat));
  cv::Mat raw(h, w, CV_8UC1);
  cv::randu(raw, 0, 256);
  for (int side = 0; side < 2; ++side) {
    cv::Mat a, b;
    ASSERT_TRUE((side ? yaml.right : yaml.left).rectify(raw, a));
    ASSERT_TRUE((side ? hmat.right : hmat.left).rectify(raw, b));
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0) << "side " << side;
  }
  // The YAML path gives OpenCV's Q in the left rectified frame, which is the
  // frame of the rectified projection matrices: both Qs agree.
  EXPECT_LT(cv::norm(yaml.Q - hmat.Q, cv::NORM_INF), 1e-9 * cv::norm(yaml.Q, cv::NORM_INF));
}

// For a horizontal rectified pair placed anywhere in the world, the Q built
// from the projection matrices reprojects (x, y, d) to the world point.
void expectQReprojects(const cv::Matx33d& r, const cv::Vec3d& leftCentre, double baseline) {
  const double f = 500, cx = 320, cy = 240, cxr = 300;
  const cv::Vec3d rightCentre = leftCentre + r.t() * cv::Vec3d(baseline, 0, 0);
  PinHoleCamera left, right;
  ASSERT_TRUE(left.setProjection(cv::Mat(test::rectifiedProjection(f, cx, cy, r, leftCentre))));
  ASSERT_TRUE(right.setProjection(cv::Mat(test::rectifiedProjection(f, cxr, cy, r, rightCentre))));
  const cv::Mat q = buildProjectionQ(left, right);
  // OpenCV's Q (Tx = -B) moved into the world frame.
  const cv::Matx44d q0(1, 0, 0, -cx, 0, 1, 0, -cy, 0, 0, 0, f, 0, 0, 1.0 / baseline, (cx - cxr) / -baseline);
  cv::Matx44d toCam = cv::Matx44d::eye();
  const cv::Vec3d shift = -(r * leftCentre);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) toCam(i, j) = r(i, j);
    toCam(i, 3) = shift[i];
  }
  const cv::Matx44d expected = toCam.inv() * q0;
  EXPECT_LT(cv::norm(cv::Mat(expected) - q, cv::NORM_INF), 1e-9 * cv::norm(q, cv::NORM_INF));
  const cv::Vec3d world = leftCentre + r.t() * cv::Vec3d(30, -20, 900);
  const cv::Vec3d pl = test::rectifiedProjection(f, cx, cy, r, leftCentre) * cv::Vec4d(world[0], world[1], world[2], 1);
  const cv::Vec3d pr =
      test::rectifiedProjection(f, cxr, cy, r, rightCentre) * cv::Vec4d(world[0], world[1], world[2], 1);
  const double x = pl[0] / pl[2], y = pl[1] / pl[2], d = x - pr[0] / pr[2];
  const cv::Vec4d hom = cv::Matx44d(q.ptr<double>(0)) * cv::Vec4d(x, y, d, 1);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(hom[i] / hom[3], world[i], 1e-6);
}

TEST(ProjectionQ, EqualsOpenCvQInTheWorldFrame) {
  const cv::Vec3d rv(0.1, -0.3, 0.2);
  cv::Matx33d r;
  cv::Rodrigues(rv, r);
  expectQReprojects(r, cv::Vec3d(100, -50, 20), 80);
  // The left camera at the world origin (a calibration in its own frame):
  // a = R_L * T_L is zero there, the baseline still decides.
  expectQReprojects(cv::Matx33d::eye(), cv::Vec3d(0, 0, 0), 80);
  expectQReprojects(r, cv::Vec3d(0, 0, 0), 25);
}

TEST_F(CalibLoader, RectParamPaddingAndExactSize) {
  for (const cv::Size size : {cv::Size(1281, 1025), cv::Size(1280, 1024)}) {
    const int n = size.area();
    test::writeRectParam(dir_ + "rect.param", {n, n, n, n}, [](int b, int i) { return b * 1e6f + i % 100000; });
    if (n % 2 == 0) {
      EXPECT_EQ(std::filesystem::file_size(dir_ + "rect.param"), 4u * (8u + 5242880u));
    } else {
      EXPECT_EQ(std::filesystem::file_size(dir_ + "rect.param"), 4u * (8u + 4u * n + 4u));
    }
    RectMaps maps;
    ASSERT_TRUE(readRectParamFile(dir_ + "rect.param", size.width, size.height, maps)) << size;
    EXPECT_EQ(maps[3].size(), size);
    EXPECT_EQ(maps[3].at<float>(size.height - 1, size.width - 1), 3e6f + (n - 1) % 100000);
    EXPECT_EQ(maps[1].at<float>(0, 0), 1e6f);
  }
}

TEST_F(CalibLoader, RectParamFailures) {
  const int w = 16, h = 8, n = w * h;
  RectMaps maps;
  auto fails = [&](const char* what) {
    EXPECT_FALSE(readRectParamFile(dir_ + "rect.param", w, h, maps)) << what;
    EXPECT_TRUE(maps[0].empty()) << what;
  };
  fails("missing file");
  test::writeRectParam(dir_ + "rect.param", {n + 1, n + 1, n + 1, n + 1}, [](int, int) { return 0.f; });
  fails("another size, first block");
  test::writeRectParam(dir_ + "rect.param", {n, n, n - 1, n}, [](int, int) { return 0.f; });
  fails("third block of another size");
  const std::int32_t huge[4] = {0x7fffffff, 0, 0, 0};
  writeBytes(dir_ + "rect.param", huge, sizeof huge);
  fails("huge count");
  std::int32_t negative[2] = {-n, 0};
  writeBytes(dir_ + "rect.param", negative, sizeof negative);
  fails("negative count");
  test::writeRectParam(dir_ + "rect.param", {n, n, n}, [](int, int) { return 0.f; });
  fails("three blocks");
  test::writeRectParam(dir_ + "rect.param", {n, n, n, n}, [](int, int) { return 1.f; });
  std::filesystem::resize_file(dir_ + "rect.param", std::filesystem::file_size(dir_ + "rect.param") - 4);
  fails("short last block");
}

TEST_F(CalibLoader, FailedLoadReplacesNothing) {
  const int w = 32, h = 24;
  writeYamlPair(w, h);
  StereoCamera stereo;
  ASSERT_TRUE(loadStereoCalibration(dir_, 0, w, h, false, stereo));
  const cv::Mat mapBefore = stereo.left.mapX;
  const cv::Mat qBefore = stereo.Q.clone();
  writeHmatFrom(stereo);
  // A rect.param whose last block is short: the projections and maps that did
  // load must not replace the calibration in force.
  std::filesystem::resize_file(dir_ + "rect.param", 4 * (8 + 4 * w * h) - 8);
  EXPECT_FALSE(loadStereoCalibration(dir_, 1, w, h, true, stereo));
  EXPECT_EQ(stereo.left.mapX.data, mapBefore.data);
  EXPECT_EQ(cv::norm(stereo.Q - qBefore), 0.0);
  // Other coord values keep what is in force, and fail when nothing is.
  EXPECT_TRUE(loadStereoCalibration(dir_, 2, w, h, true, stereo));
  EXPECT_FALSE(loadStereoCalibration(dir_, 2, w, h, false, stereo));
}

TEST_F(CalibLoader, MalformedFilesFailCleanly) {
  const int w = 32, h = 24;
  StereoCamera stereo;
  EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo)) << "no files";
  writeYamlPair(w, h);
  std::string text;
  {
    std::ifstream in(dir_ + "cam1_param.yaml");
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  writeBytes(dir_ + "cam1_param.yaml", text.data(), text.size() / 2);
  EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo)) << "truncated YAML";
  writeYamlPair(w, h);
  const cv::Mat nanK = (cv::Mat_<double>(3, 3) << NAN, 0, 16, 0, 100, 12, 0, 0, 1);
  test::writeCameraFile(dir_ + "cam0_param.yaml", "cam0", w, h, nanK, cv::Mat::zeros(1, 5, CV_64F),
                        cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F));
  EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo)) << "NaN matrix";
  test::writeCameraFile(dir_ + "cam0_param.yaml", "cam0", w, h, cv::Mat::eye(2, 2, CV_64F),
                        cv::Mat::zeros(1, 5, CV_64F), cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F));
  EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo)) << "2x2 K";
  writeBytes(dir_ + "cam0_param.yaml", "%YAML:1.0\n---\ncam0_K: [1, 2\n", 27);
  EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo)) << "broken YAML";
  // A matrix header claiming a huge size must not make the reader allocate it.
  for (const char* header : {"rows: 3\n   cols: 2000000000\n", "rows: 3\n   cols: z3\n", "rows: -1\n   cols: 3\n"}) {
    std::string huge = std::string("%YAML:1.0\n---\ncam0_K: !!opencv-matrix\n   ") + header +
                       "   dt: d\n   data: [ 100., 0., 8., 0., 100., 4., 0., 0., 1. ]\n";
    writeBytes(dir_ + "cam0_param.yaml", huge.data(), huge.size());
    EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo)) << header;
  }
  EXPECT_TRUE(stereo.left.mapX.empty());

  const double p[12] = {100, 0, 16, 0, 0, 100, 12, 0, 0, 0, 1, 0};
  writeBytes(dir_ + "hmat0.dat", p, 95);
  writeBytes(dir_ + "hmat1.dat", p, 96);
  test::writeIdentityRectParam(dir_ + "rect.param", w, h);
  EXPECT_FALSE(loadStereoCalibration(dir_, 1, w, h, false, stereo)) << "short hmat0";
  writeBytes(dir_ + "hmat0.dat", p, 96);
  // Both cameras at the same place: no baseline, no usable Q.
  EXPECT_FALSE(loadStereoCalibration(dir_, 1, w, h, false, stereo)) << "zero baseline";
  const double pr[12] = {100, 0, 16, -1000, 0, 100, 12, 0, 0, 0, 1, 0};
  writeBytes(dir_ + "hmat1.dat", pr, 96);
  EXPECT_TRUE(loadStereoCalibration(dir_, 1, w, h, false, stereo));
  EXPECT_NEAR(stereo.right.T.at<double>(0), 10.0, 1e-12);
}

// Values that parse but make no camera: each is refused before use with the
// file and the cause, instead of a cloud far off the surface.
TEST_F(CalibLoader, ImplausibleCameraValuesAreRefusedByName) {
  const int w = 32, h = 24;
  const cv::Mat k = (cv::Mat_<double>(3, 3) << 100, 0, 16, 0, 100, 12, 0, 0, 1);
  const cv::Mat d = cv::Mat::zeros(1, 5, CV_64F), eye = cv::Mat::eye(3, 3, CV_64F);
  const cv::Mat t = (cv::Mat_<double>(3, 1) << -60, 0, 0);
  const struct {
    std::string file, name;
    int w, h;
    cv::Mat k, d, r, t;
    std::string cause;
  } cases[] = {
      {"cam0", "cam0", -w, -h, k, d, eye, cv::Mat::zeros(3, 1, CV_64F),
       "cam0_param.yaml: cam0_size is not two positive integers up to 32768"},
      {"cam1", "cam1", w, 0, k, d, eye, t, "cam1_param.yaml: cam1_size is not two positive integers up to 32768"},
      {"cam0", "cam0", w, h, -k, d, eye, cv::Mat::zeros(3, 1, CV_64F),
       "cam0_param.yaml: cam0_K is not a camera matrix with positive focal lengths"},
      {"cam1", "cam1", w, h, k, d, 2 * eye, t, "cam1_param.yaml: cam1_R is not a rotation"},
      {"cam1", "cam1", w, h, k, cv::Mat::zeros(1, 3, CV_64F), eye, t,
       "cam1_param.yaml: cam1_D is not a vector of 4, 5, 8, 12 or 14 distortion coefficients"},
      {"cam1", "cam1", w, h, k, d, eye, cv::Mat::zeros(3, 1, CV_64F),
       "cam1_param.yaml: cam1_T is missing or zero (no baseline)"},
  };
  for (const auto& c : cases) {
    writeYamlPair(w, h);
    test::writeCameraFile(dir_ + c.file + "_param.yaml", c.name, c.w, c.h, c.k, c.d, c.r, c.t);
    StereoCamera stereo;
    std::string error;
    EXPECT_FALSE(loadStereoCalibration(dir_, 0, w, h, false, stereo, &error)) << c.cause;
    EXPECT_EQ(error, dir_ + c.cause);
    EXPECT_TRUE(stereo.left.mapX.empty());
  }
  StereoCamera stereo;
  std::string error;
  writeYamlPair(w, h);
  EXPECT_FALSE(loadStereoCalibration(dir_, 0, -w, h, false, stereo, &error));
  EXPECT_EQ(error, "an image size of -32 x 24 pixels");
}

}  // namespace
}  // namespace zel
