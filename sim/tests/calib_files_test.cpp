// Calibration file writers: formats as the decoders read them, and no
// partial files on failure.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "decoder/common/calib_files.h"
#include "sim/scene/stereo_rig.h"

namespace fs = std::filesystem;

namespace {

class CalibFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("calib_files_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  size_t fileCount() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
};

calibfiles::CameraParams sampleCamera() {
  calibfiles::CameraParams c;
  c.name = "cam1";
  c.size = {1280, 1024};
  c.K = (cv::Mat_<double>(3, 3) << 1450.5, 0, 640.25, 0, 1451, 511.75, 0, 0, 1);
  cv::Rodrigues(cv::Vec3d(0.01, -0.12, 0.003), c.R);
  c.T = (cv::Mat_<double>(3, 1) << -99.8, 0.3, 6.5);
  cv::Mat Rt;
  cv::hconcat(c.R, c.T, Rt);
  c.P = c.K * Rt;
  cv::Rodrigues(cv::Vec3d(0.002, 0.06, -0.001), c.R2);
  c.D = (cv::Mat_<double>(1, 5) << -0.08, 0.11, 0.0006, -0.0004, 0.0);
  return c;
}

TEST_F(CalibFiles, CameraParamFileLoadsBackWithKeysInOrder) {
  const calibfiles::CameraParams c = sampleCamera();
  ASSERT_TRUE(calibfiles::writeCameraParamFile(path("cam1_param.yaml"), c));
  cv::FileStorage in(path("cam1_param.yaml"), cv::FileStorage::READ);
  ASSERT_TRUE(in.isOpened());
  cv::FileNode size = in["cam1_size"];
  ASSERT_TRUE(size.isSeq());
  ASSERT_EQ(size.size(), 2u);
  EXPECT_EQ(static_cast<int>(size[0]), 1280);
  EXPECT_EQ(static_cast<int>(size[1]), 1024);
  const std::pair<const char*, cv::Mat> mats[] = {{"cam1_K", c.K}, {"cam1_R", c.R},   {"cam1_T", c.T},
                                                  {"cam1_P", c.P}, {"cam1_R2", c.R2}, {"cam1_D", c.D}};
  for (const auto& [key, expected] : mats) {
    cv::Mat m;
    in[key] >> m;
    ASSERT_EQ(m.type(), CV_64F) << key;
    ASSERT_EQ(m.size(), expected.size()) << key;
    EXPECT_EQ(cv::norm(m, expected, cv::NORM_INF), 0) << key;
  }
  EXPECT_TRUE(in["CameraName"].empty());
  // Keys in the order _size, _K, _R, _T, _P, _R2, _D.
  const std::string text = slurp(path("cam1_param.yaml"));
  size_t last = 0;
  for (const char* key : {"cam1_size:", "cam1_K:", "cam1_R:", "cam1_T:", "cam1_P:", "cam1_R2:", "cam1_D:"}) {
    size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GE(at, last) << key;
    last = at;
  }
}

TEST_F(CalibFiles, CameraParamFileRejectsMalformedFieldsAndWritesNothing) {
  calibfiles::CameraParams c = sampleCamera();
  c.K = cv::Mat::eye(2, 2, CV_64F);
  EXPECT_FALSE(calibfiles::writeCameraParamFile(path("a.yaml"), c));
  c = sampleCamera();
  c.D = cv::Mat::zeros(1, 3, CV_64F);
  EXPECT_FALSE(calibfiles::writeCameraParamFile(path("a.yaml"), c));
  c = sampleCamera();
  c.T.at<double>(0) = std::nan("");
  EXPECT_FALSE(calibfiles::writeCameraParamFile(path("a.yaml"), c));
  c = sampleCamera();
  c.size = {0, 1024};
  EXPECT_FALSE(calibfiles::writeCameraParamFile(path("a.yaml"), c));
  EXPECT_EQ(fileCount(), 0u);
  // Without a rectification rotation the key is left out; a 4x4 P gives its top rows.
  c = sampleCamera();
  c.R2 = cv::Mat();
  cv::Mat P4 = cv::Mat::eye(4, 4, CV_64F);
  c.P.copyTo(P4.rowRange(0, 3));
  c.P = P4;
  ASSERT_TRUE(calibfiles::writeCameraParamFile(path("b.yaml"), c));
  cv::FileStorage in(path("b.yaml"), cv::FileStorage::READ);
  EXPECT_TRUE(in["cam1_R2"].empty());
  cv::Mat P;
  in["cam1_P"] >> P;
  EXPECT_EQ(P.size(), cv::Size(4, 3));
}

TEST_F(CalibFiles, HmatIsTwelveLittleEndianDoublesRowByRow) {
  cv::Mat P = (cv::Mat_<float>(3, 4) << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12.5);
  ASSERT_TRUE(calibfiles::writeHmatFile(path("hmat0.dat"), P));
  const std::string bytes = slurp(path("hmat0.dat"));
  ASSERT_EQ(bytes.size(), 96u);
  for (int i = 0; i < 12; ++i) {
    double v;
    std::memcpy(&v, bytes.data() + 8 * i, 8);
    EXPECT_EQ(v, P.at<float>(i / 4, i % 4));
  }
  EXPECT_FALSE(calibfiles::writeHmatFile(path("bad.dat"), cv::Mat::eye(3, 3, CV_64F)));
  EXPECT_FALSE(fs::exists(path("bad.dat")));
}

void checkRectParam(const std::string& bytes, cv::Size size, const cv::Mat maps[4]) {
  const size_t count = static_cast<size_t>(size.area());
  size_t off = 0;
  for (int b = 0; b < 4; ++b) {
    ASSERT_EQ(off % 8, 0u);
    int32_t n;
    std::memcpy(&n, bytes.data() + off, 4);
    ASSERT_EQ(static_cast<size_t>(n), count);
    const float* values = reinterpret_cast<const float*>(bytes.data() + off + 8);
    for (size_t i = 0; i < count; i += 97)
      ASSERT_EQ(values[i], maps[b].at<float>(static_cast<int>(i / size.width), static_cast<int>(i % size.width)));
    off += 8 + 4 * count;
    if (off % 8) {
      for (size_t i = off; i < off + 4; ++i) ASSERT_EQ(bytes[i], '\0');
      off += 4;
    }
  }
  EXPECT_EQ(off, bytes.size());
}

TEST_F(CalibFiles, RectParamBlocksAreEightByteAligned) {
  for (cv::Size size : {cv::Size(1280, 1024), cv::Size(1281, 1025), cv::Size(3, 3)}) {
    cv::Mat maps[4];
    for (int b = 0; b < 4; ++b) {
      maps[b].create(size, CV_32F);
      cv::randu(maps[b], -10.0f, 2000.0f);
    }
    ASSERT_TRUE(calibfiles::writeRectParamFile(path("rect.param"), maps[0], maps[1], maps[2], maps[3]));
    const std::string bytes = slurp(path("rect.param"));
    ASSERT_EQ(static_cast<long long>(bytes.size()), calibfiles::rectParamFileSize(size));
    checkRectParam(bytes, size, maps);
  }
  EXPECT_EQ(calibfiles::rectParamFileSize({1280, 1024}), 4LL * (8 + 5242880));
  EXPECT_EQ(calibfiles::rectParamFileSize({1281, 1025}), 4LL * (8 + 4LL * 1281 * 1025 + 4));
}

TEST_F(CalibFiles, RectParamConvertsOtherMapTypes) {
  cv::Mat d(4, 5, CV_64F, cv::Scalar(2.5));
  ASSERT_TRUE(calibfiles::writeRectParamFile(path("rect.param"), d, d, d, d));
  const std::string bytes = slurp(path("rect.param"));
  float v;
  std::memcpy(&v, bytes.data() + 8, 4);
  EXPECT_EQ(v, 2.5f);
}

TEST_F(CalibFiles, FailedWritesLeaveTheOldFileAndNoTemporaries) {
  cv::Mat a(8, 8, CV_32F, cv::Scalar(1)), b(8, 9, CV_32F, cv::Scalar(1));
  ASSERT_TRUE(calibfiles::writeRectParamFile(path("rect.param"), a, a, a, a));
  const std::string before = slurp(path("rect.param"));
  EXPECT_FALSE(calibfiles::writeRectParamFile(path("rect.param"), a, b, a, a));  // sizes differ
  EXPECT_FALSE(calibfiles::writeRectParamFile(path("rect.param"), a, a, cv::Mat(), a));
  cv::Mat twoChannel(8, 8, CV_32FC2);
  EXPECT_FALSE(calibfiles::writeRectParamFile(path("rect.param"), twoChannel, twoChannel, twoChannel, twoChannel));
  EXPECT_EQ(slurp(path("rect.param")), before);
  EXPECT_EQ(fileCount(), 1u);
  // A folder that does not exist or cannot be written.
  EXPECT_FALSE(calibfiles::writeHmatFile(path("missing/hmat0.dat"), cv::Mat::eye(3, 4, CV_64F)));
  if (::geteuid() != 0) {  // root ignores permissions
    fs::create_directories(dir_ / "ro");
    fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(calibfiles::writeHmatFile(path("ro/hmat0.dat"), cv::Mat::eye(3, 4, CV_64F)));
  }
  // A target that is a folder: rename fails and the temporary goes away.
  fs::create_directories(dir_ / "cam0_param.yaml" / "x");
  calibfiles::CameraParams c = sampleCamera();
  EXPECT_FALSE(calibfiles::writeCameraParamFile(path("cam0_param.yaml"), c));
  for (const auto& e : fs::directory_iterator(dir_))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST_F(CalibFiles, TrueCalibrationReproducesTheDecodersRectification) {
  const sim::StereoRig rig = sim::defaultRig();
  const sim::Rectification rect = rig.rectify(true);
  std::string error;
  ASSERT_TRUE(sim::writeCalibration(rig, rect, dir_.string(), &error)) << error;
  // Load the camera files the way the decoder does and rectify again.
  cv::Mat K[2], D[2], R, T;
  for (int i = 0; i < 2; ++i) {
    std::string n = "cam" + std::to_string(i);
    cv::FileStorage in(path(n + "_param.yaml"), cv::FileStorage::READ);
    ASSERT_TRUE(in.isOpened());
    in[n + "_K"] >> K[i];
    in[n + "_D"] >> D[i];
    if (i == 1) {
      in[n + "_R"] >> R;
      in[n + "_T"] >> T;
    }
  }
  cv::Mat R1, R2, P1, P2, Q;
  cv::stereoRectify(K[0], D[0], K[1], D[1], {1280, 1024}, R, T, R1, R2, P1, P2, Q, 0, -1, {1280, 1024});
  const std::string h0 = slurp(path("hmat0.dat")), h1 = slurp(path("hmat1.dat"));
  ASSERT_EQ(h0.size(), 96u);
  ASSERT_EQ(h1.size(), 96u);
  for (int i = 0; i < 12; ++i) {
    double a, b;
    std::memcpy(&a, h0.data() + 8 * i, 8);
    std::memcpy(&b, h1.data() + 8 * i, 8);
    EXPECT_NEAR(a, P1.at<double>(i / 4, i % 4), 1e-9 * (1 + std::abs(a)));
    EXPECT_NEAR(b, P2.at<double>(i / 4, i % 4), 1e-9 * (1 + std::abs(b)));
  }
  cv::Mat m1x, m1y;
  cv::initUndistortRectifyMap(K[0], D[0], R1, P1(cv::Rect(0, 0, 3, 3)), {1280, 1024}, CV_32FC1, m1x, m1y);
  const std::string bytes = slurp(path("rect.param"));
  ASSERT_EQ(bytes.size(), 4u * (8 + 5242880));
  const float* leftX = reinterpret_cast<const float*>(bytes.data() + 8);
  const float* leftY = reinterpret_cast<const float*>(bytes.data() + 2 * (8 + 5242880) + 8);
  double worst = 0;
  for (int i = 0; i < 1280 * 1024; i += 101) {
    worst = std::max(worst, static_cast<double>(std::abs(leftX[i] - m1x.at<float>(i / 1280, i % 1280))));
    worst = std::max(worst, static_cast<double>(std::abs(leftY[i] - m1y.at<float>(i / 1280, i % 1280))));
  }
  EXPECT_LT(worst, 1e-3);
  // cam0 is the reference: identity rotation, zero translation.
  cv::FileStorage in0(path("cam0_param.yaml"), cv::FileStorage::READ);
  cv::Mat R0, T0;
  in0["cam0_R"] >> R0;
  in0["cam0_T"] >> T0;
  EXPECT_EQ(cv::norm(R0, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(T0, cv::NORM_INF), 0);
  EXPECT_NEAR(cv::norm(T), 100.0, 1.0);
}

}  // namespace
