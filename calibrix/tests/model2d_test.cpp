#include "calibrix/model2d.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

using calibrix::Model2D_RotatedEllipse;

namespace {

std::vector<cv::Point> sampledEllipse(double cx, double cy, double a, double b, double theta, int n) {
  std::vector<cv::Point> pts;
  for (int i = 0; i < n; ++i) {
    const double t = 2.0 * M_PI * i / n;
    const double u = a * std::cos(t), v = b * std::sin(t);
    pts.emplace_back(static_cast<int>(std::lround(cx + u * std::cos(theta) - v * std::sin(theta))),
                     static_cast<int>(std::lround(cy + u * std::sin(theta) + v * std::cos(theta))));
  }
  return pts;
}

// True when (px, py) lies on the ellipse (cx, cy, a, b, theta) within tol.
double ellipseResidual(double cx, double cy, double a, double b, double theta, double px, double py) {
  const double dx = px - cx, dy = py - cy;
  const double u = dx * std::cos(theta) + dy * std::sin(theta);
  const double v = -dx * std::sin(theta) + dy * std::cos(theta);
  return std::sqrt(u * u / (a * a) + v * v / (b * b)) - 1.0;
}

}  // namespace

TEST(Model2DRotatedEllipse, RecoversCentreAxesAndAngleOfLargeEllipse) {
  const double cx = 1500, cy = 1200, a = 1000, b = 500;
  for (double theta : {0.0, 0.5, 1.2, -0.7, M_PI / 2}) {
    Model2D_RotatedEllipse<cv::Point> m(1.5);
    ASSERT_TRUE(m.fit(sampledEllipse(cx, cy, a, b, theta, 2000))) << theta;
    EXPECT_NEAR(m.cx(), cx, 0.05);
    EXPECT_NEAR(m.cy(), cy, 0.05);
    // The fit may report the axes in either order; the ellipse it describes
    // must be the same: its vertices lie on the true ellipse.
    EXPECT_NEAR(std::max(m.a(), m.b()), a, 0.1);
    EXPECT_NEAR(std::min(m.a(), m.b()), b, 0.1);
    const double c = std::cos(m.theta()), s = std::sin(m.theta());
    EXPECT_NEAR(ellipseResidual(cx, cy, a, b, theta, m.cx() + m.a() * c, m.cy() + m.a() * s), 0.0, 1e-3);
    EXPECT_NEAR(ellipseResidual(cx, cy, a, b, theta, m.cx() - m.b() * s, m.cy() + m.b() * c), 0.0, 1e-3);
  }
}

TEST(Model2DRotatedEllipse, TestAcceptsTheBandAroundTheEllipseOnly) {
  Model2D_RotatedEllipse<cv::Point> m(1.5);
  ASSERT_TRUE(m.fit(sampledEllipse(100, 100, 40, 20, 0.0, 400)));
  EXPECT_TRUE(m.test(cv::Point(140, 100)));
  EXPECT_TRUE(m.test(cv::Point(141, 100)));
  EXPECT_TRUE(m.test(cv::Point(100, 121)));
  EXPECT_FALSE(m.test(cv::Point(143, 100)));  // outside the grown ellipse
  EXPECT_FALSE(m.test(cv::Point(137, 100)));  // inside the shrunk ellipse
  EXPECT_FALSE(m.test(cv::Point(100, 100)));
  m.setRange(4.0);
  EXPECT_TRUE(m.test(cv::Point(143, 100)));
}

TEST(Model2DRotatedEllipse, RefusesPointSetsThatAreNoEllipse) {
  Model2D_RotatedEllipse<cv::Point> m;
  std::vector<cv::Point> line;
  for (int i = 0; i < 50; ++i) line.emplace_back(i, 2 * i + 1);
  EXPECT_FALSE(m.fit(line));
  EXPECT_FALSE(m.fit({}));
  EXPECT_FALSE(m.fit({{1, 1}, {5, 3}, {2, 8}}));
  // Two branches of the hyperbola x*y = 400.
  std::vector<cv::Point> hyperbola;
  for (int x = 5; x <= 80; ++x) {
    hyperbola.emplace_back(x, 400 / x);
    hyperbola.emplace_back(-x, -400 / x);
  }
  EXPECT_FALSE(m.fit(hyperbola));
}

TEST(Model2DRotatedEllipse, FitsTheContourOfADrawnTiltedCircle) {
  cv::Mat img(200, 200, CV_8U, cv::Scalar(255));
  cv::ellipse(img, cv::Point(100, 90), cv::Size(50, 25), 30, 0, 360, cv::Scalar(0), -1);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(img, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
  bool found = false;
  for (const auto& c : contours) {
    Model2D_RotatedEllipse<cv::Point> m(1.5);
    if (c.size() < 100 || !m.fit(c)) continue;
    if (std::max(m.a(), m.b()) > 90) continue;  // the image border
    found = true;
    EXPECT_NEAR(m.cx(), 100, 0.3);
    EXPECT_NEAR(m.cy(), 90, 0.3);
    EXPECT_NEAR(std::max(m.a(), m.b()), 50, 1.5);
    EXPECT_NEAR(std::min(m.a(), m.b()), 25, 1.5);
    int inliers = 0;
    for (const auto& p : c) inliers += m.test(p);
    EXPECT_GE(inliers, static_cast<int>(0.95 * c.size()));
  }
  EXPECT_TRUE(found);
}
