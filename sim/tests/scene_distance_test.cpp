// Distance to the nearest true surface, the error measure of decoded clouds.
#include "sim/scene/scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sim {
namespace {

Material plain() { return Material{}; }

TEST(SceneDistance, EachKindOfObject) {
  Scene plane;
  plane.addPlane({0, 0, 900}, {0, 0, -1}, plain());
  EXPECT_NEAR(plane.distanceToSurface({30, -40, 880}), 20.0, 1e-12);
  EXPECT_NEAR(plane.distanceToSurface({0, 0, 905}), 5.0, 1e-12);

  Scene sphere;
  sphere.addSphere({0, 0, 600}, 80, plain());
  EXPECT_NEAR(sphere.distanceToSurface({0, 0, 500}), 20.0, 1e-12);  // outside
  EXPECT_NEAR(sphere.distanceToSurface({0, 0, 590}), 70.0, 1e-12);  // inside

  // A 200 x 100 rectangle in the plane z = 700: beside an edge and past a
  // corner the distance runs to the edge, not to the plane.
  Scene rect;
  rect.addRect({0, 0, 700}, 200, 100, cv::Matx33d::eye(), plain());
  EXPECT_NEAR(rect.distanceToSurface({50, 20, 690}), 10.0, 1e-9);
  EXPECT_NEAR(rect.distanceToSurface({130, 0, 700}), 30.0, 1e-9);
  EXPECT_NEAR(rect.distanceToSurface({103, 54, 712}), 13.0, 1e-9);  // 3, 4, 12

  Scene box;
  box.addBox({0, 0, 800}, {100, 60, 40}, cv::Matx33d::eye(), plain());
  EXPECT_NEAR(box.distanceToSurface({0, 0, 770}), 10.0, 1e-9);   // in front of the near face
  EXPECT_NEAR(box.distanceToSurface({0, 0, 795}), 15.0, 1e-9);   // inside: the nearest face
  EXPECT_NEAR(box.distanceToSurface({53, 34, 800}), 5.0, 1e-9);  // beside an edge
}

TEST(SceneDistance, NearestOfSeveralObjectsAndRotatedAxes) {
  Scene s;
  s.addPlane({0, 0, 950}, {0, 0, -1}, plain());
  s.addSphere({0, 0, 600}, 80, plain());
  EXPECT_NEAR(s.distanceToSurface({0, 0, 900}), 50.0, 1e-12);  // the backdrop is nearer than the sphere
  EXPECT_NEAR(s.distanceToSurface({0, 0, 700}), 20.0, 1e-12);
  EXPECT_TRUE(std::isinf(Scene{}.distanceToSurface({0, 0, 0})));

  Scene tilted;
  tilted.addRect({0, 0, 700}, 400, 400, rotationFromEulerDeg(0, 45, 0), plain());
  const cv::Vec3d n = tilted.objects[0].n;
  EXPECT_NEAR(tilted.distanceToSurface(cv::Vec3d(0, 0, 700) + 7.0 * n), 7.0, 1e-9);
}

}  // namespace
}  // namespace sim
