#include <gtest/gtest.h>

#include "viewer/app/camera.h"

namespace nubiview {
namespace {

void expectNear(Vec3 a, Vec3 b, float eps = 1e-4f) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

TEST(Camera, ResetViewFromEyeAndUp) {
  ViewCamera c;
  c.setWindow(800, 600);
  CoordinateSystem cs;  // eye Y, reversed Y: the eye sits at display y = -20, direction kept at radius 2.5
  c.resetView(cs, {0, 0.5f, 0});
  expectNear(c.eyePosition(), {0, -2.5f, 0});
  expectNear(c.pivot(), {0, 0.5f, 0});
  EXPECT_FLOAT_EQ(c.radius(), 2.5f);
  // the pivot projects to the window centre; display +Z is up on screen
  const Mat4 wvp = c.worldViewProjection();
  ScreenPoint p = project(wvp, {0, 0.5f, 0}, 800, 600);
  EXPECT_NEAR(p.x, 400, 1e-3);
  EXPECT_NEAR(p.y, 300, 1e-3);
  ScreenPoint up = project(wvp, {0, 0.5f, 0.1f}, 800, 600);
  EXPECT_LT(up.y, 300);
  // with the reversed Y, file +X (display +X) shows to the left, as seen from file +Y
  ScreenPoint x = project(wvp, {0.1f, 0.5f, 0}, 800, 600);
  EXPECT_LT(x.x, 400);

  cs.reverseAxis = 0;
  cs.eye = -1;
  cs.up = 2;
  c.resetView(cs, {});
  expectNear(c.eyePosition(), {-2.5f, 0, 0});
  cs.eye = 0;  // unknown eye: looks from +Y
  cs.up = 3;
  c.resetView(cs, {});
  expectNear(c.eyePosition(), {0, 2.5f, 0});
}

TEST(Camera, WheelZoomsTenPercentPerNotchWithinLimits) {
  ViewCamera c;
  c.resetView(CoordinateSystem{}, {});
  c.addWheel(120);
  c.frameMove();
  EXPECT_NEAR(c.radius(), 2.25f, 1e-5);
  c.addWheel(-240);
  c.frameMove();
  EXPECT_NEAR(c.radius(), 2.25f * 1.2f, 1e-5);
  for (int i = 0; i < 200; ++i) c.addWheel(120), c.frameMove();
  EXPECT_NEAR(c.radius(), 0.01f, 1e-6);
  c.setViewParams({0, 0, -10}, {0, 0, 0}, {0, 1, 0});
  EXPECT_FLOAT_EQ(c.radius(), 10);
  c.addWheel(12000);
  c.frameMove();
  EXPECT_FLOAT_EQ(c.radius(), 1);  // minimum radius 1 after setting view parameters
}

TEST(Camera, ArcballTurnsTheSceneWithTheMouse) {
  ViewCamera c;
  c.setWindow(800, 600);
  c.resetView(CoordinateSystem{}, {});
  const float beforeRadius = length(c.eyePosition());
  // a point on the side facing the viewer (the eye is at display -Y) follows a drag
  const Vec3 front{0, -0.5f, 0};
  ASSERT_NEAR(project(c.worldViewProjection(), front, 800, 600).x, 400, 1e-3);
  c.beginRotate(400, 300);
  c.rotateTo(300, 300);  // drag to the left
  c.endRotate();
  EXPECT_NEAR(length(c.eyePosition()), beforeRadius, 1e-4);
  EXPECT_LT(project(c.worldViewProjection(), front, 800, 600).x, 390);
  c.beginRotate(400, 300);
  c.rotateTo(400, 200);  // drag up
  c.endRotate();
  EXPECT_LT(project(c.worldViewProjection(), front, 800, 600).y, 295);
  // a drag and its reverse come back to the start
  const Vec3 eye = c.eyePosition();
  c.beginRotate(400, 300);
  c.rotateTo(450, 260);
  c.rotateTo(400, 300);
  c.endRotate();
  expectNear(c.eyePosition(), eye);
  // moves without a button do nothing
  c.rotateTo(10, 10);
  expectNear(c.eyePosition(), eye);
}

TEST(Camera, PanMovesThePivotInTheViewPlane) {
  ViewCamera c;
  c.setWindow(800, 600);
  c.resetView(CoordinateSystem{}, {0, 0, 0});
  const Mat4 before = c.worldViewProjection();
  c.beginPan(400, 300);
  c.panTo(410, 300);
  c.endPan();
  // the new pivot is the point that was under the mouse moved by the drag
  const ScreenPoint s = project(before, c.pivot(), 800, 600);
  EXPECT_NEAR(s.x, 410, 1e-2);
  EXPECT_NEAR(s.y, 300, 1e-2);
  // the pivot stays at the eye's distance plane: its depth is unchanged
  EXPECT_NEAR(s.depth, project(before, {0, 0, 0}, 800, 600).depth, 1e-5);
  // no pan without the button
  const Vec3 p = c.pivot();
  c.panTo(0, 0);
  expectNear(c.pivot(), p);
}

TEST(Math, InverseAndUnprojectRoundTrip) {
  const Mat4 m = perspectiveLH(0.8f, 1.3f, 0.01f, 100.0f) * lookAtLH({1, 2, -3}, {0, 0, 0}, {0, 1, 0});
  Mat4 inv;
  ASSERT_TRUE(invert(m, inv));
  const Mat4 id = m * inv;
  for (int r = 0; r < 4; ++r)
    for (int col = 0; col < 4; ++col) EXPECT_NEAR(id.at(r, col), r == col ? 1.0f : 0.0f, 1e-4);
  const ScreenPoint s = project(m, {0.3f, -0.2f, 0.1f}, 640, 480);
  expectNear(unproject(m, s.x, s.y, s.depth, 640, 480), {0.3f, -0.2f, 0.1f}, 1e-3f);
  Mat4 zero;
  for (float& e : zero.m) e = 0;
  EXPECT_FALSE(invert(zero, inv));
}

}  // namespace
}  // namespace nubiview
