#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "calibrix/circle_calib_board.h"

using calibrix::CircleCalibBoard;

namespace {

class SettingsFile {
 public:
  explicit SettingsFile(const std::string& body) {
    path_ = (std::filesystem::temp_directory_path() /
             ("calibrix_settings_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ".yaml"))
                .string();
    std::ofstream(path_) << body;
  }
  ~SettingsFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

}  // namespace

TEST(CalibBoardSettings, DefaultsAndDerivedGeometry) {
  CircleCalibBoard board;
  board.readSettings(nullptr);
  const auto& s = board.settings();
  ASSERT_EQ(s.size(), 17u);
  auto it = s.begin();
  EXPECT_EQ((it++)->first, "bin_param0");
  EXPECT_EQ((it++)->first, "bin_param1");
  EXPECT_EQ((it++)->first, "bin_type");
  EXPECT_EQ(s.rbegin()->first, "unitleng");
  EXPECT_DOUBLE_EQ(board.setting("fitscore"), 0.95);
  EXPECT_EQ(board.offsetX(), 6);
  EXPECT_EQ(board.offsetY(), 9);
  EXPECT_EQ(board.originMarkerIndex(), 123);
  EXPECT_EQ(board.gridIndex(1, 0), 124);
  EXPECT_EQ(board.gridIndex(0, 1), 136);
  const cv::Mat& op = board.objectPoints();
  ASSERT_EQ(op.rows, 19);
  ASSERT_EQ(op.cols, 13);
  EXPECT_EQ(op.at<cv::Vec3f>(9, 6), cv::Vec3f(0, 0, 0));
  EXPECT_EQ(op.at<cv::Vec3f>(9, 7), cv::Vec3f(60, 0, 0));
  EXPECT_EQ(op.at<cv::Vec3f>(0, 0), cv::Vec3f(-360, -540, 0));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(board.gammaTable()[i], i);
}

TEST(CalibBoardSettings, MissingKeysReadAsZeroNotDefault) {
  SettingsFile f(
      "%YAML:1.0\n---\nn_circles_x: 5\nn_circles_y: 4\norigin_x: 2\n"
      "gamma_correction: 2.0\n");
  CircleCalibBoard board;
  board.readSettings(f.path());
  EXPECT_DOUBLE_EQ(board.setting("n_circles_x"), 5.0);
  EXPECT_DOUBLE_EQ(board.setting("unitleng"), 0.0);
  EXPECT_DOUBLE_EQ(board.setting("do_smoothing"), 0.0);
  EXPECT_DOUBLE_EQ(board.setting("fitscore"), 0.0);
  EXPECT_EQ(board.offsetX(), 2);
  EXPECT_EQ(board.offsetY(), 3);
  EXPECT_EQ(board.originMarkerIndex(), 3 * 5 + 2);
  // No unitleng: every object point is zero.
  const cv::Mat& op = board.objectPoints();
  ASSERT_EQ(op.total(), 20u);
  for (int r = 0; r < op.rows; ++r)
    for (int c = 0; c < op.cols; ++c) EXPECT_EQ(op.at<cv::Vec3f>(r, c), cv::Vec3f(0, 0, 0));
  EXPECT_EQ(board.gammaTable()[128], 64);
  EXPECT_EQ(board.gammaTable()[255], 255);
  EXPECT_EQ(board.gammaTable()[0], 0);
}

TEST(CalibBoardSettings, OnlyNCirclesXGivesZeroGeometryAndFullGammaTable) {
  SettingsFile f("%YAML:1.0\n---\nn_circles_x: 13\n");
  CircleCalibBoard board;
  board.readSettings(f.path());
  // gamma 0: pow(x, 0) = 1 for every entry.
  EXPECT_EQ(board.gammaTable()[0], 255);
  EXPECT_EQ(board.gammaTable()[100], 255);
  EXPECT_EQ(board.offsetX(), 12);
  EXPECT_EQ(board.offsetY(), -1);
  EXPECT_EQ(board.originMarkerIndex(), -1 * 13 + 12);
  EXPECT_TRUE(board.objectPoints().empty());  // zero rows
}

TEST(CalibBoardSettings, UnopenableOrMalformedFileThrowsWithPath) {
  CircleCalibBoard board;
  try {
    board.readSettings("/nonexistent/dir/board.yaml");
    FAIL() << "no exception";
  } catch (const calibrix::iFileStorage_error& e) {
    EXPECT_STREQ(e.what(), "/nonexistent/dir/board.yaml");
  }
  SettingsFile bad("%YAML:1.0\n---\nn_circles_x: [1, 2\n  : :\n");
  EXPECT_THROW(board.readSettings(bad.path()), calibrix::iFileStorage_error);
}

TEST(CalibBoardSettings, NonNumericAndAbsurdValuesStaySafe) {
  SettingsFile f(
      "%YAML:1.0\n---\nn_circles_x: \"many\"\nn_circles_y: 1.0e12\n"
      "origin_x: -4\ngamma_correction: -1.5\n");
  CircleCalibBoard board;
  board.readSettings(f.path());
  EXPECT_DOUBLE_EQ(board.setting("n_circles_x"), 0.0);
  EXPECT_TRUE(board.objectPoints().empty());
  for (int v : board.gammaTable()) {
    EXPECT_GE(v, 0);
    EXPECT_LE(v, 255);
  }
  std::vector<cv::Point2f> result;
  cv::Mat img(64, 64, CV_8U, cv::Scalar(128));
  EXPECT_THROW(board.detect(img, result), calibrix::CircleCalibBoardError);
}

TEST(CalibBoardSettings, XmlFileIsReadToo) {
  SettingsFile f(
      "<?xml version=\"1.0\"?>\n<opencv_storage>\n<n_circles_x>7</n_circles_x>\n"
      "<n_circles_y>9</n_circles_y><origin_x>3</origin_x><origin_y>4</origin_y>"
      "<unitleng>25.5</unitleng>\n</opencv_storage>\n");
  // FileStorage picks the format from the content, whatever the extension.
  CircleCalibBoard board;
  board.readSettings(f.path());
  EXPECT_EQ(board.nCirclesX(), 7);
  EXPECT_EQ(board.originMarkerIndex(), 4 * 7 + 3);
  EXPECT_EQ(board.objectPoints().at<cv::Vec3f>(4, 4), cv::Vec3f(25.5f, 0, 0));
}
