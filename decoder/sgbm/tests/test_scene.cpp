#include "decoder/sgbm/tests/test_scene.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zel::test {

namespace {

void writeBytes(const std::string& path, const void* data, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  if (n != 0) std::fwrite(data, 1, n, f);
  std::fclose(f);
}

cv::Matx34d projection(const IdealRig& rig, double centreX) {
  return cv::Matx34d(rig.f, 0, rig.cx, -rig.f * centreX, 0, rig.f, rig.cy, 0, 0, 0, 1, 0);
}

void appendBlock(std::vector<unsigned char>& bytes, const std::vector<float>& values) {
  const std::int32_t count = static_cast<std::int32_t>(values.size());
  const std::size_t at = bytes.size();
  bytes.resize(at + 8, 0);
  std::memcpy(bytes.data() + at, &count, 4);
  const std::size_t v = bytes.size();
  bytes.resize(v + 4 * values.size());
  std::memcpy(bytes.data() + v, values.data(), 4 * values.size());
  while (bytes.size() % 8 != 0) bytes.push_back(0);
}

}  // namespace

void writeHmatCalibration(const std::string& dir, const IdealRig& rig) {
  const cv::Matx34d p0 = projection(rig, 0.0);
  const cv::Matx34d p1 = projection(rig, rig.baseline);
  writeBytes(dir + "hmat0.dat", p0.val, sizeof p0.val);
  writeBytes(dir + "hmat1.dat", p1.val, sizeof p1.val);
  const std::size_t n = static_cast<std::size_t>(rig.width) * rig.height;
  std::vector<float> mx(n), my(n);
  for (std::size_t i = 0; i < n; ++i) {
    mx[i] = static_cast<float>(i % rig.width);
    my[i] = static_cast<float>(i / rig.width);
  }
  std::vector<unsigned char> bytes;
  appendBlock(bytes, mx);
  appendBlock(bytes, mx);
  appendBlock(bytes, my);
  appendBlock(bytes, my);
  writeBytes(dir + "rect.param", bytes.data(), bytes.size());
}

void writeCameraParamFiles(const std::string& dir, const IdealRig& rig) {
  const cv::Mat k = (cv::Mat_<double>(3, 3) << rig.f, 0, rig.cx, 0, rig.f, rig.cy, 0, 0, 1);
  const cv::Mat d = cv::Mat::zeros(1, 5, CV_64F);
  const cv::Mat r = cv::Mat::eye(3, 3, CV_64F);
  for (int c = 0; c < 2; ++c) {
    const std::string name = c == 0 ? "cam0" : "cam1";
    cv::FileStorage fs(dir + name + "_param.yaml", cv::FileStorage::WRITE);
    // X1 = R * X0 + T: the right camera at +baseline along x.
    const cv::Mat t = (cv::Mat_<double>(3, 1) << (c == 0 ? 0.0 : -rig.baseline), 0, 0);
    fs << name + "_size"
       << "[" << rig.width << rig.height << "]";
    fs << name + "_K" << k;
    fs << name + "_R" << r;
    fs << name + "_T" << t;
    fs << name + "_D" << d;
  }
}

ImagePairData makeShiftedPair(int width, int height, int disparity, unsigned seed) {
  const int margin = std::abs(disparity) + 1;
  const int wide = width + 2 * margin;
  cv::Mat texture(height, wide, CV_8UC1);
  cv::RNG rng(seed);
  cv::Mat coarse(height / 2 + 2, wide / 2 + 2, CV_8UC1);
  rng.fill(coarse, cv::RNG::UNIFORM, 0, 256);
  cv::resize(coarse, texture, texture.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat fine(height, wide, CV_8UC1);
  rng.fill(fine, cv::RNG::UNIFORM, 0, 60);
  cv::addWeighted(texture, 0.8, fine, 1.0, 0.0, texture);
  ImagePairData p;
  p.width = width;
  p.height = height;
  p.left.resize(static_cast<std::size_t>(width) * height);
  p.right.resize(p.left.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.left[static_cast<std::size_t>(y) * width + x] = texture.at<std::uint8_t>(y, x + margin);
      p.right[static_cast<std::size_t>(y) * width + x] = texture.at<std::uint8_t>(y, x + margin + disparity);
    }
  }
  return p;
}

std::string makeTempDir() {
  char tmpl[] = "/tmp/zel_sgbm_XXXXXX";
  const char* d = ::mkdtemp(tmpl);
  return d ? std::string(d) + "/" : std::string("/tmp/");
}

void removeTree(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

std::string readTextFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace zel::test
