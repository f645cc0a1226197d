// Detection and calibration on board images of the virtual head: 40 poses
// over the working range, tilts up to 45 degrees, noise and blur, lens
// distortion; compared with the renderer's truth.
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cfloat>
#include <cstdio>

#include "calibrix/circle_calib_board.h"
#include "calibrix/tests/sim_board_set.h"
#include "sim/scene/lens_difference.h"

using namespace calibrix::test;

namespace {

class SimBoards : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    set_ = simBoardSet(&why);
    if (set_.empty()) GTEST_SKIP() << why;
  }
  std::string set_;
};

// Centre of the ellipse that each circle's rim makes in the image (rim
// sampled, transformed board -> camera, projected with the lens model, then
// fitted): what an ellipse fit can find at best.
std::vector<cv::Point2d> imagedEllipseCentres(const calibrix::CircleCalibBoard& board, double radius, const cv::Mat& R,
                                              const cv::Mat& T, const cv::Mat& K, const cv::Mat& D) {
  std::vector<cv::Point2d> out;
  cv::Mat rvec;
  cv::Rodrigues(R, rvec);
  const cv::Mat& op = board.objectPoints();
  for (int r = 0; r < op.rows; ++r)
    for (int c = 0; c < op.cols; ++c) {
      const cv::Vec3f o = op.at<cv::Vec3f>(r, c);
      std::vector<cv::Point3d> rim;
      for (int k = 0; k < 180; ++k) {
        const double a = 2 * M_PI * k / 180;
        rim.emplace_back(o[0] + radius * std::cos(a), o[1] + radius * std::sin(a), 0.0);
      }
      std::vector<cv::Point2d> img;
      cv::projectPoints(rim, rvec, T, K, D, img);
      std::vector<cv::Point2f> imgf(img.begin(), img.end());
      const cv::RotatedRect e = cv::fitEllipse(imgf);
      out.emplace_back(e.center.x, e.center.y);
    }
  return out;
}

double readNumber(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  return at == std::string::npos ? -1.0 : std::stod(text.substr(at + label.size()));
}

}  // namespace

TEST_F(SimBoards, DetectionFindsEveryVisibleCircleAtItsTrueCentreAndNoWrongIndex) {
  cv::FileStorage truth(set_ + "/truth/boards.yaml", cv::FileStorage::READ);
  ASSERT_TRUE(truth.isOpened());
  const int frames = static_cast<int>(truth["frames"]);
  ASSERT_GE(frames, kSimPoses);
  calibrix::CircleCalibBoard board;
  const std::string settings = set_ + "/board.yaml";
  board.readSettings(settings.c_str());
  cv::FileStorage rig(set_ + "/truth/rig.yaml", cv::FileStorage::READ);
  ASSERT_TRUE(rig.isOpened());
  const double radius = 0.42 * static_cast<double>(truth["unitleng"]);  // the renderer's board
  int images = 0, full = 0, wrong = 0;
  double worstMean = 0, worstMeanEllipse = 0;
  for (int f = 0; f < frames; ++f) {
    char key[32];
    std::snprintf(key, sizeof key, "frame_%02d", f);
    const cv::FileNode node = truth[key];
    for (int cam = 0; cam < 2; ++cam) {
      const std::string p = "cam" + std::to_string(cam);
      cv::Mat pts, vis, R, T, K, D;
      node[p + "_points"] >> pts;
      node[p + "_visible"] >> vis;
      node[p + "_R"] >> R;
      node[p + "_T"] >> T;
      rig[p + "_K"] >> K;
      rig[p + "_D"] >> D;
      const auto ellipses = imagedEllipseCentres(board, radius, R, T, K, D);
      char name[64];
      std::snprintf(name, sizeof name, "/boards/calib%02d_%d.pgm", f, cam);
      const cv::Mat img = cv::imread(set_ + name, cv::IMREAD_GRAYSCALE);
      ASSERT_FALSE(img.empty()) << name;
      std::vector<cv::Point2f> result;
      ASSERT_TRUE(calibrix::detectCircleBoard(board, img, result)) << name;
      ASSERT_EQ(result.size(), static_cast<std::size_t>(pts.rows));
      ++images;
      // A circle counts as expected when its centre lies a circle radius
      // inside the image: one cut by the image border can't be found.
      const double spacing = cv::norm(pts.row(board.gridIndex(1, 0)) - pts.row(board.originMarkerIndex()));
      const double margin = 0.6 * spacing;
      int expected = 0, found = 0, missed = 0;
      double sum = 0, worst = 0, sumEllipse = 0;
      for (int i = 0; i < pts.rows; ++i) {
        const cv::Point2d t(pts.at<double>(i, 0), pts.at<double>(i, 1));
        const bool inside = vis.at<uchar>(i) && t.x > margin && t.y > margin && t.x < img.cols - 1 - margin &&
                            t.y < img.rows - 1 - margin;
        expected += inside;
        if (result[static_cast<std::size_t>(i)].x == FLT_MAX) {
          missed += inside;
          continue;
        }
        ++found;
        const double e = cv::norm(cv::Point2d(result[static_cast<std::size_t>(i)]) - t);
        if (e > 0.25 * spacing) {
          ++wrong;
          ADD_FAILURE() << name << ": index " << i << " is " << e << " px off";
          continue;
        }
        sum += e;
        worst = std::max(worst, e);
        sumEllipse +=
            cv::norm(cv::Point2d(result[static_cast<std::size_t>(i)]) - ellipses[static_cast<std::size_t>(i)]);
      }
      const double mean = found ? sum / found : 0.0;
      const double meanEllipse = found ? sumEllipse / found : 0.0;
      std::printf(
          "pose %2d cam %d: %3d found, %3d expected, %2d missed, mean error %.4f px "
          "(max %.4f) to the imaged centre, %.4f px to the imaged ellipse's centre\n",
          f, cam, found, expected, missed, mean, worst, meanEllipse);
      if (missed == 0 && found > 0) {
        ++full;
        worstMean = std::max(worstMean, mean);
        worstMeanEllipse = std::max(worstMeanEllipse, meanEllipse);
        // The detection gives the image of each circle's centre,
        // not the fitted ellipse's centre (the two differ by up to
        // ~0.3 px for the nearest, most tilted views).
        EXPECT_LE(mean, 0.15) << name;
      }
    }
  }
  std::printf(
      "fully detected: %d of %d images, wrong indices: %d; worst per-image mean error "
      "%.4f px to the imaged centres (ellipse centres would be off by up to %.4f px)\n",
      full, images, wrong, worstMean, worstMeanEllipse);
  EXPECT_GE(full, static_cast<int>(0.95 * images + 0.999));
  EXPECT_EQ(wrong, 0);
}

TEST_F(SimBoards, CalibrationMatchesTheRig) {
  TestDir work;
  const RunResult r =
      runCalibrix(work.path(), {set_ + "/boards", "calib", std::to_string(kSimPoses), set_ + "/board.yaml"});
  ASSERT_EQ(r.status, 0) << r.err;
  cv::FileStorage rig(set_ + "/truth/rig.yaml", cv::FileStorage::READ);
  cv::FileStorage boards(set_ + "/truth/boards.yaml", cv::FileStorage::READ);
  ASSERT_TRUE(rig.isOpened() && boards.isOpened());
  const double rms0 = readNumber(r.out, "cam0 error: "), rms1 = readNumber(r.out, "cam1 error: ");
  const double baseline = readNumber(r.out, "baseline : ");
  const double trueBaseline = static_cast<double>(rig["baseline"]);
  std::printf("RMS cam0 %.4f px, cam1 %.4f px; baseline %.4f (truth %.4f, %.4f %%)\n", rms0, rms1, baseline,
              trueBaseline, 100.0 * (baseline - trueBaseline) / trueBaseline);
  EXPECT_LE(rms0, 0.1);
  EXPECT_LE(rms1, 0.1);
  EXPECT_NEAR(baseline, trueBaseline, 0.001 * trueBaseline);
  for (int cam = 0; cam < 2; ++cam) {
    const std::string p = "cam" + std::to_string(cam);
    cv::Mat Kt, Dt, K, D;
    rig[p + "_K"] >> Kt;
    rig[p + "_D"] >> Dt;
    cv::FileStorage est(work / (p + "_param.yaml"), cv::FileStorage::READ);
    est[p + "_K"] >> K;
    est[p + "_D"] >> D;
    const int idx[4][2] = {{0, 0}, {1, 1}, {0, 2}, {1, 2}};
    const char* names[4] = {"fx", "fy", "cx", "cy"};
    for (int k = 0; k < 4; ++k) {
      const double t = Kt.at<double>(idx[k][0], idx[k][1]), e = K.at<double>(idx[k][0], idx[k][1]);
      std::printf("%s %s %.3f (truth %.3f, %.4f %%)\n", p.c_str(), names[k], e, t, 100.0 * (e - t) / t);
      EXPECT_NEAR(e, t, 0.002 * t) << p << " " << names[k];
    }
    // The true ray of each pixel, projected with the estimated camera
    // matrix and distortion, up to a turn of the camera frame: over the
    // image from corner to corner, and over every circle centre the
    // boards put into view.
    const std::vector<cv::Point2f> grid = sim::imageGrid(1280, 1024);
    std::vector<cv::Point2f> seen;
    for (int f = 0; f < kSimPoses; ++f) {
      char key[32];
      std::snprintf(key, sizeof key, "frame_%02d", f);
      cv::Mat pts, vis;
      boards[key][p + "_points"] >> pts;
      boards[key][p + "_visible"] >> vis;
      for (int i = 0; i < pts.rows; ++i)
        if (vis.at<uchar>(i))
          seen.emplace_back(static_cast<float>(pts.at<double>(i, 0)), static_cast<float>(pts.at<double>(i, 1)));
    }
    auto worstDifference = [&](const std::vector<cv::Point2f>& pixels, bool alignRotation) {
      return sim::lensModelDifference(Kt, Dt, K, D, pixels, alignRotation);
    };
    const double image = worstDifference(grid, true), inView = worstDifference(seen, true);
    std::printf(
        "%s model vs truth (up to a rotation): worst %.4f px over the image grid, %.4f px "
        "over the %zu circle positions in view; without the rotation %.4f / %.4f px\n",
        p.c_str(), image, inView, seen.size(), worstDifference(grid, false), worstDifference(seen, false));
    EXPECT_LE(image, 0.05) << p;
    EXPECT_LE(inView, 0.06) << p;
  }
}
