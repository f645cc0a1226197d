#include "calibrix/circle_calib_board.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <sstream>

#include "calibrix/model2d.h"
#include "calibrix/tests/board_image.h"

using calibrix::CircleCalibBoard;
using calibrix::CircleCalibBoardError_FewContours;
namespace t = calibrix::test;

namespace {

const cv::Size kSmall(640, 512);

// A fronto-parallel board filling most of a 640 x 512 image, 24 px spacing.
cv::Mat smallBoard(const t::BoardSpec& spec, cv::Matx33d* H = nullptr, double angle = 0.0,
                   cv::Point2d origin = {330, 260}) {
  const cv::Matx33d h = t::frontalHomography(spec, 24.0, origin, angle);
  if (H) *H = h;
  t::RenderOptions opt;
  opt.supersample = 3;
  opt.blurSigma = 0.7;
  opt.noiseSigma = 2.0;
  return t::renderBoard(spec, h, kSmall, opt);
}

bool isMissing(const cv::Point2f& p) { return p.x == FLT_MAX && p.y == FLT_MAX; }

double maxError(const std::vector<cv::Point2f>& found, const std::vector<cv::Point2f>& truth, int* nFound) {
  double worst = 0;
  *nFound = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (isMissing(found[i])) continue;
    ++*nFound;
    worst = std::max(worst, static_cast<double>(cv::norm(found[i] - truth[i])));
  }
  return worst;
}

}  // namespace

TEST(CircleCalibBoardLimits, FirstImageFixesTheLimits) {
  CircleCalibBoard board;
  board.computeLimits(1280, 1024);
  EXPECT_EQ(board.minLen(), 17u);
  EXPECT_EQ(board.maxLen(), 479u);
  EXPECT_EQ(board.minRadius(), 3u);
  EXPECT_EQ(board.maxRadius(), 76u);
  board.computeLimits(1024, 1280);  // orientation does not matter
  EXPECT_EQ(board.minLen(), 17u);
  EXPECT_EQ(board.maxRadius(), 76u);

  CircleCalibBoard run;
  std::vector<cv::Point2f> result;
  std::ostringstream warn;
  // Even an image without any contour fixes the size.
  EXPECT_THROW(run.detect(cv::Mat(1024, 1280, CV_8U, cv::Scalar(200)), result, nullptr, &warn),
               CircleCalibBoardError_FewContours);
  EXPECT_EQ(run.imageWidth(), 1280);
  EXPECT_EQ(run.minLen(), 17u);
  // A second image of another size keeps size and limits of the first.
  run.detect(smallBoard(t::BoardSpec{}), result, nullptr, &warn);
  EXPECT_EQ(run.imageWidth(), 1280);
  EXPECT_EQ(run.imageHeight(), 1024);
  EXPECT_EQ(run.minLen(), 17u);
  EXPECT_EQ(run.maxLen(), 479u);
  EXPECT_EQ(run.minRadius(), 3u);
  EXPECT_EQ(run.maxRadius(), 76u);
}

TEST(CircleCalibBoardLimits, DegenerateSettingsGiveDefinedLimits) {
  CircleCalibBoard board;
  board.setSetting("distance_between_circles", 0.0);
  board.setSetting("min_rate", -1.0);
  board.computeGeometry();
  board.computeLimits(1280, 1024);
  EXPECT_EQ(board.minLen(), 0u);
  EXPECT_GT(board.maxLen(), 0u);  // infinite spacing saturates, no UB
}

TEST(CircleCalibBoardDetect, FrontalBoardGivesEveryIndexAtItsTrueCentre) {
  t::BoardSpec spec;
  cv::Matx33d H;
  const cv::Mat img = smallBoard(spec, &H);
  const auto truth = t::trueCentres(spec, H);
  CircleCalibBoard board;
  std::vector<cv::Point2f> result;
  board.detect(img, result);
  ASSERT_EQ(result.size(), 247u);
  int n = 0;
  EXPECT_LT(maxError(result, truth, &n), 0.25);
  EXPECT_EQ(n, 247);
  EXPECT_NEAR(result[123].x, 330.0f, 0.25f);
  EXPECT_NEAR(result[124].x, 354.0f, 0.25f);
  EXPECT_NEAR(result[136].y, 284.0f, 0.25f);
  EXPECT_NEAR(board.ex().x, 1.0f, 1e-3f);
  EXPECT_NEAR(board.ey().y, 1.0f, 1e-3f);
}

TEST(CircleCalibBoardDetect, GridFollowsTheBoardWhateverItsRotation) {
  t::BoardSpec spec;
  spec.nx = 9;
  spec.ny = 9;
  spec.originX = 4;
  spec.originY = 4;
  for (double deg : {35.0, 90.0, 180.0, 250.0}) {
    cv::Matx33d H;
    const cv::Mat img = smallBoard(spec, &H, deg * M_PI / 180.0, {320, 256});
    CircleCalibBoard board;
    board.setSetting("n_circles_x", 9);
    board.setSetting("n_circles_y", 9);
    board.setSetting("origin_x", 4);
    board.setSetting("origin_y", 4);
    board.computeGeometry();
    std::vector<cv::Point2f> result;
    board.detect(img, result);
    int n = 0;
    EXPECT_LT(maxError(result, t::trueCentres(spec, H), &n), 0.3) << deg;
    EXPECT_EQ(n, 81) << deg;
  }
}

TEST(CircleCalibBoardDetect, CircleBeyondOriginXIsNeverPlaced) {
  // The printed board has one more column on the +x side than the settings.
  t::BoardSpec printed;
  printed.nx = 14;
  printed.originX = 7;
  cv::Matx33d H;
  const cv::Mat img = smallBoard(printed, &H, 0.0, {300, 260});
  const auto truth = t::trueCentres(printed, H);
  CircleCalibBoard board;
  std::vector<cv::Point2f> result;
  board.detect(img, result);
  ASSERT_EQ(result.size(), 247u);
  for (int r = 0; r < 19; ++r) {
    for (int c = 0; c < 13; ++c) {
      const cv::Point2f p = result[static_cast<std::size_t>(r * 13 + c)];
      ASSERT_FALSE(isMissing(p)) << r << "," << c;
      EXPECT_LT(cv::norm(p - truth[static_cast<std::size_t>(r * 14 + c)]), 0.3);
    }
  }
}

TEST(CircleCalibBoardDetect, TwoDoubleCirclesWarnAndLeaveEveryPointMissing) {
  t::BoardSpec spec;
  spec.doubles = {{0, 0}, {2, 0}};
  CircleCalibBoard board;
  std::vector<cv::Point2f> result{{1, 2}};
  std::ostringstream warn;
  cv::Mat drawing;
  const cv::Mat img = smallBoard(spec);
  ASSERT_NO_THROW(board.detect(img, result, &drawing, &warn));
  EXPECT_EQ(warn.str(), "Warning: Base Marker not found. Skip this image\n");
  ASSERT_EQ(result.size(), 247u);
  EXPECT_TRUE(std::all_of(result.begin(), result.end(), isMissing));
  // The drawing holds the colour copy without markings.
  cv::Mat grey3;
  cv::cvtColor(img, grey3, cv::COLOR_GRAY2BGR);
  EXPECT_EQ(cv::norm(drawing, grey3, cv::NORM_INF), 0.0);
}

TEST(CircleCalibBoardDetect, DrawingUsesOneColourPerColumnAndBigDotsOnEvenPoints) {
  cv::Matx33d H;
  const cv::Mat img = smallBoard(t::BoardSpec{}, &H);
  CircleCalibBoard board;
  std::vector<cv::Point2f> result;
  cv::Mat drawing;
  board.detect(img, result, &drawing);
  ASSERT_EQ(drawing.type(), CV_8UC3);
  // Origin column: palette[(13 + 0) % 6] = orange; column +1: green-ish.
  EXPECT_EQ(drawing.at<cv::Vec3b>(260, 330), cv::Vec3b(0, 165, 255));
  EXPECT_EQ(drawing.at<cv::Vec3b>(260, 354), cv::Vec3b(0, 255, 127));
  // Radius 10 at (0, 0), 5 at (1, 0): 8.5 px diagonally off each centre,
  // away from the grid lines.
  EXPECT_EQ(drawing.at<cv::Vec3b>(260 - 6, 330 + 6), cv::Vec3b(0, 165, 255));
  EXPECT_NE(drawing.at<cv::Vec3b>(260 - 6, 354 + 6), cv::Vec3b(0, 255, 127));
}

TEST(CircleCalibBoardErrors, UnknownBinTypeFailsAtTheContourStage) {
  CircleCalibBoard board;
  board.setSetting("bin_type", 5);
  std::vector<cv::Point2f> result;
  try {
    board.detect(smallBoard(t::BoardSpec{}), result);
    FAIL() << "no exception";
  } catch (const CircleCalibBoardError_FewContours& e) {
    EXPECT_EQ(e.at, "cv::findContours");
    EXPECT_EQ(e.n_contour, 0);
    EXPECT_STREQ(e.what(), "too few contours");
  }
  // An adaptive threshold with an even block size is refused the same way
  // (OpenCV itself would throw its own exception).
  board.setSetting("bin_type", 2);
  board.setSetting("bin_param0", 4);
  EXPECT_THROW(board.detect(smallBoard(t::BoardSpec{}), result), CircleCalibBoardError_FewContours);
  board.setSetting("bin_param0", 31);
  board.setSetting("bin_param1", 5);
  EXPECT_NO_THROW(board.detect(smallBoard(t::BoardSpec{}), result));
}

TEST(CircleCalibBoardErrors, WrapperReportsFewContoursAndReturnsFalse) {
  CircleCalibBoard board;
  board.setSetting("bin_type", 7);
  std::vector<cv::Point2f> result{{5, 5}};
  std::ostringstream err;
  EXPECT_FALSE(calibrix::detectCircleBoard(board, smallBoard(t::BoardSpec{}), result, &err));
  EXPECT_EQ(err.str(),
            "例外発生： cause=CircleCalibBoardError_FewContours at=cv::findContours n_contour=0"
            "マーカーの探索に失敗しました. error code = 1\n");
  board.setSetting("bin_type", 1);
  err.str("");
  EXPECT_TRUE(calibrix::detectCircleBoard(board, smallBoard(t::BoardSpec{}), result, &err));
  EXPECT_EQ(result.size(), 247u);
  EXPECT_EQ(err.str(), "");
}

TEST(CircleCalibBoardErrors, SquaresFailAtTheEllipseStage) {
  cv::Mat img(512, 640, CV_8U, cv::Scalar(220));
  for (int i = 0; i < 30; ++i)
    cv::rectangle(img, cv::Rect(20 + (i % 10) * 60, 40 + (i / 10) * 120, 30, 30), cv::Scalar(30), -1);
  cv::circle(img, cv::Point(300, 450), 12, cv::Scalar(30), -1);
  CircleCalibBoard board;
  std::vector<cv::Point2f> result;
  try {
    board.detect(img, result);
    FAIL() << "no exception";
  } catch (const CircleCalibBoardError_FewContours& e) {
    EXPECT_EQ(e.at, "get_ellipse");
    EXPECT_EQ(e.n_contour, 1);
  }
}

TEST(CircleCalibBoardErrors, TwoDistantClustersFailAtTheGroupStage) {
  cv::Mat img(512, 640, CV_8U, cv::Scalar(220));
  for (int i = 0; i < 12; ++i) {
    cv::circle(img, cv::Point(40 + (i % 4) * 24, 40 + (i / 4) * 24), 10, cv::Scalar(30), -1);
    cv::circle(img, cv::Point(400 + (i % 4) * 24, 300 + (i / 4) * 24), 10, cv::Scalar(30), -1);
  }
  CircleCalibBoard board;
  board.setSetting("n_circles_minimum", 20);
  std::vector<cv::Point2f> result;
  try {
    board.detect(img, result);
    FAIL() << "no exception";
  } catch (const CircleCalibBoardError_FewContours& e) {
    EXPECT_EQ(e.at, "leave_largest_group");
    EXPECT_EQ(e.n_contour, 12);
  }
}

TEST(CircleCalibBoardStages, PerfectEllipseBelowMinRadiusIsDropped) {
  CircleCalibBoard board;
  board.computeLimits(5120, 4096);
  ASSERT_EQ(board.minRadius(), 11u);
  cv::Mat img(200, 300, CV_8U, cv::Scalar(255));
  cv::ellipse(img, cv::Point(80, 100), cv::Size(60, 9), 90, 0, 360, cv::Scalar(0), -1);
  cv::ellipse(img, cv::Point(200, 100), cv::Size(60, 14), 90, 0, 360, cv::Scalar(0), -1);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(img, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
  std::erase_if(contours, [](const auto& c) { return c.size() > 400; });
  ASSERT_EQ(contours.size(), 2u);
  // Both contours fit their ellipse well...
  for (const auto& c : contours) {
    calibrix::Model2D_RotatedEllipse<cv::Point> m(1.5);
    ASSERT_TRUE(m.fit(c));
    int in = 0;
    for (const auto& p : c) in += m.test(p);
    EXPECT_GE(in, 0.95 * static_cast<double>(c.size()));
  }
  // ...but only the one whose short semi-axis reaches min_radius stays.
  std::vector<cv::Point2f> centres;
  std::vector<cv::Vec2i> axes;
  board.getEllipse(contours, centres, axes);
  ASSERT_EQ(contours.size(), 1u);
  ASSERT_EQ(centres.size(), 1u);
  EXPECT_NEAR(centres[0].x, 200.0f, 0.5f);
  EXPECT_NEAR(std::min(axes[0][0], axes[0][1]), 14, 1);
}

TEST(CircleCalibBoardStages, LargestGroupTieKeepsTheLowestRoot) {
  CircleCalibBoard board;
  // Circle 0 is tiny and reaches nobody; circle 3 reaches it, so their group
  // is rooted at 3. Group {1, 2} is rooted at 1 and wins the tie although it
  // does not hold circle 0.
  std::vector<std::vector<cv::Point>> contours(4, std::vector<cv::Point>(1));
  for (int i = 0; i < 4; ++i) contours[i][0] = cv::Point(i, i);
  std::vector<cv::Point2f> centres{{0, 0}, {500, 0}, {520, 0}, {30, 0}};
  std::vector<cv::Vec2i> axes{{1, 1}, {10, 10}, {10, 10}, {12, 12}};
  board.leaveLargestGroup(contours, centres, axes);
  ASSERT_EQ(centres.size(), 2u);
  EXPECT_EQ(centres[0], cv::Point2f(500, 0));
  EXPECT_EQ(centres[1], cv::Point2f(520, 0));
  EXPECT_EQ(contours[0][0], cv::Point(1, 1));
  EXPECT_EQ(axes[1], cv::Vec2i(10, 10));

  // A larger group wins regardless of order.
  centres = {{0, 0}, {500, 0}, {520, 0}, {540, 0}, {20, 0}};
  axes.assign(5, cv::Vec2i(10, 10));
  contours.assign(5, std::vector<cv::Point>(1));
  board.leaveLargestGroup(contours, centres, axes);
  EXPECT_EQ(centres.size(), 3u);
}

namespace {

struct MarkerCase {
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Point2f> centres;
  std::vector<cv::Vec2i> axes;
};

// Base marker at O (100, 100), X (140, 100), Y (100, 120) with the middle
// circle at (120, 100); `order` gives the order of O, X, Y in the lists.
MarkerCase markerCase(const int order[3], std::size_t innerLen = 30) {
  const cv::Point2f pos[3] = {{100, 100}, {140, 100}, {100, 120}};
  MarkerCase m;
  auto add = [&](cv::Point2f c, std::size_t len) {
    m.contours.emplace_back(len, cv::Point(static_cast<int>(c.x), static_cast<int>(c.y)));
    m.centres.push_back(c);
    m.axes.emplace_back(8, 8);
  };
  add({120, 100}, 60);
  for (int k = 0; k < 3; ++k) {
    add(pos[order[k]], 60);
    add(pos[order[k]] + cv::Point2f(0.5f, 0.0f), innerLen);
  }
  add({80, 100}, 60);
  return m;
}

}  // namespace

TEST(CircleCalibBoardStages, BaseMarkerChoiceIsRightForEveryOrder) {
  int order[3] = {0, 1, 2};
  do {
    CircleCalibBoard board;
    board.computeLimits(1280, 1024);
    MarkerCase m = markerCase(order);
    const int o = board.findBaseMarker(m.contours, m.centres, m.axes);
    ASSERT_GE(o, 0);
    EXPECT_EQ(m.centres.size(), 5u);
    EXPECT_EQ(m.centres[static_cast<std::size_t>(o)], cv::Point2f(100, 100)) << order[0] << order[1] << order[2];
    EXPECT_NEAR(board.ex().x, 1.0f, 1e-6f);
    EXPECT_NEAR(board.ey().y, 1.0f, 1e-6f);
    // The inner members (offset by 0.5 px) are gone.
    for (const auto& c : m.centres) EXPECT_EQ(c.x, std::floor(c.x));
  } while (std::next_permutation(order, order + 3));
}

TEST(CircleCalibBoardStages, EqualLengthPairTakesTheFirstAsInner) {
  const int order[3] = {0, 1, 2};
  CircleCalibBoard board;
  board.computeLimits(1280, 1024);
  MarkerCase m = markerCase(order, 60);  // inner contours as long as the outer ones
  const int o = board.findBaseMarker(m.contours, m.centres, m.axes);
  ASSERT_GE(o, 0);
  // The circle met first of each pair (at the integer position) is removed;
  // the later one (0.5 px to the right) stays.
  EXPECT_EQ(m.centres[static_cast<std::size_t>(o)], cv::Point2f(100.5f, 100));
  std::size_t shifted = 0;
  for (const auto& c : m.centres) shifted += c.x != std::floor(c.x);
  EXPECT_EQ(shifted, 3u);
}

TEST(CircleCalibBoardStages, NeedsExactlyThreePairs) {
  const int order[3] = {0, 1, 2};
  CircleCalibBoard board;
  board.computeLimits(1280, 1024);
  MarkerCase m = markerCase(order);
  m.contours.emplace_back(30, cv::Point(80, 100));
  m.centres.emplace_back(80.5f, 100.0f);
  m.axes.emplace_back(4, 4);
  EXPECT_EQ(board.findBaseMarker(m.contours, m.centres, m.axes), -1);
}

TEST(CircleCalibBoardDetect, InconsistentOriginNeverWritesOutsideTheResult) {
  CircleCalibBoard board;
  board.setSetting("origin_x", 20);  // origin column -8: off the board
  board.computeGeometry();
  std::vector<cv::Point2f> result;
  std::ostringstream warn;
  board.detect(smallBoard(t::BoardSpec{}), result, nullptr, &warn);
  EXPECT_EQ(result.size(), 247u);
  EXPECT_TRUE(std::all_of(result.begin(), result.end(), isMissing));
}

// Under perspective the centre of the ellipse a circle makes is not the image
// of the circle's centre; the detection must give the latter.
TEST(CircleCalibBoardDetect, TiltedNearViewGivesTheImageOfEachCentre) {
  const t::BoardSpec spec;
  const cv::Size size(1280, 1024);
  const cv::Matx33d K(1000, 0, 639.5, 0, 1000, 511.5, 0, 0, 1);
  const cv::Vec3d rvec(0.0, 45.0 * CV_PI / 180.0, 0.12);
  const cv::Vec3d tvec(60, 0, 1450);
  const cv::Matx33d H = t::boardHomography(K, rvec, tvec);
  t::RenderOptions opt;
  opt.supersample = 3;
  opt.blurSigma = 0.8;
  opt.noiseSigma = 2.0;
  const cv::Mat image = t::renderBoard(spec, H, size, opt);
  const std::vector<cv::Point2f> truth = t::trueCentres(spec, H);

  CircleCalibBoard board;
  board.readSettings(nullptr);
  std::vector<cv::Point2f> result;
  board.detect(image, result);
  ASSERT_EQ(result.size(), truth.size());
  double sumDetected = 0, worstDetected = 0, sumEllipse = 0;
  int found = 0;
  for (int gy = -spec.offsetY(); gy <= spec.originY; ++gy)
    for (int gx = -spec.offsetX(); gx <= spec.originX; ++gx) {
      const std::size_t i = static_cast<std::size_t>(board.gridIndex(gx, gy));
      if (isMissing(result[i])) continue;
      ++found;
      const double e = cv::norm(result[i] - truth[i]);
      sumDetected += e;
      worstDetected = std::max(worstDetected, e);
      // The ellipse of the rim, projected and fitted.
      std::vector<cv::Point2f> rim;
      for (int k = 0; k < 180; ++k) {
        const double a = 2 * CV_PI * k / 180;
        const cv::Vec3d p =
            H * cv::Vec3d(gx * spec.unit + spec.radius * std::cos(a), gy * spec.unit + spec.radius * std::sin(a), 1.0);
        rim.emplace_back(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
      }
      sumEllipse += cv::norm(cv::Point2d(cv::fitEllipse(rim).center) - cv::Point2d(truth[i]));
    }
  ASSERT_EQ(found, spec.nx * spec.ny);
  const double meanDetected = sumDetected / found, meanEllipse = sumEllipse / found;
  std::printf("ellipse centres %.4f px from the imaged centres; detected %.4f px (worst %.4f)\n", meanEllipse,
              meanDetected, worstDetected);
  EXPECT_GT(meanEllipse, 0.15);   // the view does carry the offset
  EXPECT_LE(meanDetected, 0.07);  // about the noise of a fit to contour pixels
  EXPECT_LE(worstDetected, 0.2);
}
