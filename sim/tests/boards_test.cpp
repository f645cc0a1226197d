// Board image sets: layouts, settings file and true circle centres.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim/scene/boards.h"

namespace fs = std::filesystem;

namespace {

class BoardScene : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = (fs::temp_directory_path() / ("zelsim_boards_" + std::to_string(::getpid()))).string();
    fs::remove_all(dir_);
    const sim::StereoRig rig = sim::defaultRig();
    poses_ = sim::boardPoses(rig, sim::defaultBoardSpec(), 3, 5);
    std::string error;
    ok_ = sim::writeBoardScene(rig, sim::defaultBoardSpec(), poses_, sim::RenderSettings{}, dir_, &error);
    EXPECT_TRUE(ok_) << error;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }
  static std::string dir_;
  static std::vector<sim::BoardPose> poses_;
  static bool ok_;
};
std::string BoardScene::dir_;
std::vector<sim::BoardPose> BoardScene::poses_;
bool BoardScene::ok_ = false;

// One render of the set serves every check (rendering dominates the time).
TEST_F(BoardScene, LayoutsSettingsAndTrueCentres) {
  ASSERT_TRUE(ok_);
  for (const char* frame : {"calib00", "calib01", "calib02", "reference"}) {
    std::string f = frame;
    cv::Mat l = cv::imread(dir_ + "/boards/" + f + "_0.pgm", cv::IMREAD_GRAYSCALE);
    cv::Mat r = cv::imread(dir_ + "/boards/" + f + "_1.pgm", cv::IMREAD_GRAYSCALE);
    cv::Mat both = cv::imread(dir_ + "/boards_combined/" + f + ".pgm", cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(l.size(), cv::Size(1280, 1024)) << f;
    ASSERT_EQ(both.size(), cv::Size(2560, 1024)) << f;
    EXPECT_EQ(cv::norm(both.colRange(0, 1280), l, cv::NORM_INF), 0) << f;
    EXPECT_EQ(cv::norm(both.colRange(1280, 2560), r, cv::NORM_INF), 0) << f;
  }
  EXPECT_FALSE(fs::exists(dir_ + "/boards/calib03_0.pgm"));
  EXPECT_TRUE(fs::exists(dir_ + "/calib/rect.param"));

  // The settings file holds every key (a missing key would read as 0).
  cv::FileStorage fs(dir_ + "/board.yaml", cv::FileStorage::READ);
  ASSERT_TRUE(fs.isOpened());
  for (const char* key :
       {"gamma_correction", "do_equalize_hist", "do_smoothing", "bin_type", "bin_param0", "bin_param1", "n_circles_x",
        "n_circles_y", "origin_x", "origin_y", "unitleng", "distance_between_circles", "n_circles_minimum", "min_rate",
        "max_rate", "fitscore", "fitrange"})
    EXPECT_FALSE(fs[key].empty()) << key;
  EXPECT_DOUBLE_EQ(static_cast<double>(fs["unitleng"]), 25.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(fs["n_circles_x"]), 13.0);
  fs.release();

  // Dark blobs found in the images sit on the true circle centres.
  ASSERT_TRUE(fs.open(dir_ + "/truth/boards.yaml", cv::FileStorage::READ));
  EXPECT_EQ(static_cast<int>(fs["frames"]), 3);
  EXPECT_EQ(static_cast<std::string>(fs["hdrname"]), "calib");
  const sim::BoardSpec spec = sim::defaultBoardSpec();
  for (const char* frame : {"frame_00", "frame_01", "frame_02", "reference"}) {
    for (int c = 0; c < 2; ++c) {
      cv::FileNode node = fs[frame];
      ASSERT_FALSE(node.empty()) << frame;
      cv::Mat pts, vis;
      node["cam" + std::to_string(c) + "_points"] >> pts;
      node["cam" + std::to_string(c) + "_visible"] >> vis;
      ASSERT_EQ(pts.rows, spec.nCirclesX * spec.nCirclesY);
      ASSERT_EQ(vis.total(), static_cast<size_t>(pts.rows));
      std::string name = std::string(frame) == "reference"
                             ? "reference_" + std::to_string(c)
                             : "calib0" + std::string(1, frame[7]) + "_" + std::to_string(c);
      cv::Mat img = cv::imread(dir_ + "/boards/" + name + ".pgm", cv::IMREAD_GRAYSCALE);
      ASSERT_FALSE(img.empty()) << name;
      cv::Mat bin;
      cv::threshold(img, bin, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
      std::vector<std::vector<cv::Point>> contours;
      cv::findContours(bin, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
      std::vector<cv::Point2d> blobs;
      for (const auto& ct : contours) {
        if (ct.size() < 20 || ct.size() > 500) continue;
        cv::Moments m = cv::moments(ct);
        if (m.m00 > 0) blobs.emplace_back(m.m10 / m.m00, m.m01 / m.m00);
      }
      int matched = 0, checked = 0;
      for (int i = 0; i < pts.rows; ++i) {
        cv::Point2d p(pts.at<double>(i, 0), pts.at<double>(i, 1));
        if (!vis.at<uint8_t>(i) || p.x < 60 || p.y < 60 || p.x > 1220 || p.y > 964) continue;
        ++checked;
        double best = 1e9;
        for (const cv::Point2d& b : blobs) best = std::min(best, cv::norm(b - p));
        if (best < 0.6) ++matched;
      }
      EXPECT_GT(checked, 60) << name;
      EXPECT_GE(matched, checked * 97 / 100) << name << ": " << matched << " of " << checked;
      // The origin is a double circle: white at its centre, dark on its ring.
      const int origin = spec.offsetY() * spec.nCirclesX + spec.offsetX();
      cv::Point o(static_cast<int>(std::lround(pts.at<double>(origin, 0))),
                  static_cast<int>(std::lround(pts.at<double>(origin, 1))));
      int plain = origin + 1;  // the plain circle between origin and X partner
      cv::Point q(static_cast<int>(std::lround(pts.at<double>(plain, 0))),
                  static_cast<int>(std::lround(pts.at<double>(plain, 1))));
      EXPECT_GT(img.at<uint8_t>(o), 60) << name;
      EXPECT_LT(img.at<uint8_t>(q), 30) << name;
    }
  }
}

}  // namespace
