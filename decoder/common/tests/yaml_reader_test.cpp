#include "decoder/common/yaml_reader.h"

#include "decoder/common/calib_files.h"
#include "decoder/common/calib_loader.h"
#include "decoder/common/tests/test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zel {
namespace {

cv::Mat matrixOf(const YamlNode& root, const std::string& key) {
  const YamlNode* n = root.find(key);
  EXPECT_NE(n, nullptr) << key;
  cv::Mat m;
  std::string error;
  if (n) {
    EXPECT_TRUE(yamlMatrix(*n, 64, m, error)) << key << ": " << error;
  }
  return m;
}

// Every shape OpenCV's storage writes for us reads back value for value:
// our own camera parameter writer, and a storage text with nested maps, block
// and flow sequences, strings and a matrix long enough to wrap its data.
TEST(YamlReader, ReadsWhatTheStorageWrites) {
  const std::string dir = test::makeTempDir();
  calibfiles::CameraParams cam;
  cam.name = "cam1";
  cam.size = cv::Size(1280, 1024);
  cam.K = (cv::Mat_<double>(3, 3) << 1234.5678901234567, 0, 640.25, 0, 1233.1, 511.75, 0, 0, 1);
  cam.R = cv::Mat::eye(3, 3, CV_64F);
  cam.T = (cv::Mat_<double>(3, 1) << -60.123456789, 0.5e-7, -1e12);
  cam.P = cv::Mat::zeros(3, 4, CV_64F);
  cam.D = (cv::Mat_<double>(1, 14) << -0.1, 0.02, 1e-5, -2e-5, 0.003, 0, 0, 0, 0, 0, 0, 0, 0, 0.25);
  ASSERT_TRUE(calibfiles::writeCameraParamFile(dir + "cam1_param.yaml", cam));
  YamlNode root;
  std::string error;
  ASSERT_TRUE(readYamlFile(dir + "cam1_param.yaml", root, error)) << error;
  const YamlNode* size = root.find("cam1_size");
  ASSERT_NE(size, nullptr);
  int w = 0, h = 0;
  ASSERT_EQ(size->items.size(), 2u);
  EXPECT_TRUE(size->items[0].asInt(w) && size->items[1].asInt(h));
  EXPECT_EQ(cv::Size(w, h), cam.size);
  EXPECT_EQ(cv::norm(matrixOf(root, "cam1_K"), cam.K, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(matrixOf(root, "cam1_T"), cam.T, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(matrixOf(root, "cam1_D"), cam.D, cv::NORM_INF), 0.0);

  cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
  cv::Mat big(7, 9, CV_64F);
  cv::randu(big, -1e6, 1e6);
  fs << "big" << big << "name"
     << "a b: c"
     << "ints" << std::vector<int>{1, -2, 3};
  fs << "outer"
     << "{"
     << "inner"
     << "{"
     << "x" << 1.5 << "f" << cv::Mat::ones(2, 2, CV_32F) << "}"
     << "}";
  fs << "list"
     << "["
     << "{"
     << "k" << 7 << "}"
     << "[" << 1 << 2 << "]"
     << "]";
  fs << "inf" << std::numeric_limits<double>::infinity();
  const std::string text = fs.releaseAndGetString();
  ASSERT_TRUE(parseYamlText(text, root, error)) << error << "\n" << text;
  EXPECT_EQ(cv::norm(matrixOf(root, "big"), big, cv::NORM_INF), 0.0);
  EXPECT_EQ(root.find("name")->text, "a b: c");
  EXPECT_EQ(root.find("ints")->items.size(), 3u);
  double x = 0;
  EXPECT_TRUE(root.find("outer")->find("inner")->find("x")->asDouble(x));
  EXPECT_EQ(x, 1.5);
  EXPECT_EQ(cv::norm(matrixOf(*root.find("outer")->find("inner"), "f"), cv::Mat::ones(2, 2, CV_64F)), 0.0);
  const YamlNode* list = root.find("list");
  ASSERT_EQ(list->items.size(), 2u);
  int k = 0;
  EXPECT_TRUE(list->items[0].find("k")->asInt(k));
  EXPECT_EQ(k, 7);
  EXPECT_EQ(list->items[1].items.size(), 2u);
  EXPECT_TRUE(root.find("inf")->asDouble(x));
  EXPECT_TRUE(std::isinf(x));
  test::removeTree(dir);
}

// Texts that crash or end OpenCV's parser, and shapes outside what we read,
// are refused with a reason; nothing recurses without bound.
TEST(YamlReader, RefusesHostileTexts) {
  const std::string deepFlow = "%YAML:1.0\n---\ncam0_K: " + std::string(50000, '[') + "\n";
  std::string deepBlock = "%YAML:1.0\n---\n";
  for (int i = 0; i < 2000; ++i) deepBlock += std::string(i, ' ') + "k:\n";
  std::string deepSeq = "a:\n";
  for (int i = 0; i < 2000; ++i) deepSeq += std::string(i + 1, ' ') + "-\n";
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {deepFlow, "nested too deeply"},
      {deepBlock, "nested too deeply"},
      {deepSeq, "nested too deeply"},
      {"%YAML:1.0\n---\nouter:\n  a: 1\n  : 2\n", "empty key"},
      {"%YAML:1.0\n----\n", "expected \"key: value\""},
      {"%YAML:1.0\n---\na: 1\n---\nb: 2\n", "second document"},
      {"a: &x 1\nb: *x\n", "anchors"},
      {"a:\n\t b: 1\n", "tab"},
      {"a: |\n  text\n", "unsupported value form"},
      {"a: [1, 2\n", "unterminated flow"},
      {"a: \"open\n", "unterminated quoted"},
      {"%TAG ! x\na: 1\n", "unsupported directive"},
      {"a: 1\n  b: 2\n", "unexpected indentation"},
      {"<?xml version=\"1.0\"?>\n<opencv_storage><a><b>1</b></a></opencv_storage>\n", "nested elements"},
      {std::string(kYamlMaxBytes + 1, '#'), "larger than"},
  };
  for (const auto& c : cases) {
    YamlNode root;
    std::string error;
    EXPECT_FALSE(parseYamlText(c.text, root, error)) << c.text.substr(0, 60);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  // The same through the calibration loader: one line naming file and cause.
  const std::string dir = test::makeTempDir();
  test::writeBytes(dir + "cam0_param.yaml", deepFlow.data(), deepFlow.size());
  test::writeBytes(dir + "cam1_param.yaml", deepFlow.data(), deepFlow.size());
  StereoCamera stereo;
  std::string error;
  EXPECT_FALSE(loadStereoCalibration(dir, 0, 32, 24, false, stereo, &error));
  EXPECT_EQ(error, dir + "cam0_param.yaml: line 3: nested too deeply");
  test::removeTree(dir);
}

}  // namespace
}  // namespace zel
