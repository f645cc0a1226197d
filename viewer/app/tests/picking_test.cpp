#include <gtest/gtest.h>

#include <vector>

#include "viewer/app/camera.h"
#include "viewer/app/cloud_vertices.h"
#include "viewer/app/picking.h"

namespace nubiview {
namespace {

// A camera looking along display +Y... reset from the default coordinate
// system, so the window centre shows the origin.
struct Scene {
  Scene() {
    cam.setWindow(800, 600);
    cam.resetView(CoordinateSystem{}, {0, 0, 0});
    wvp = cam.worldViewProjection();
  }
  ScreenPoint screenOf(const Vertex& v) const { return project(wvp, {v.x, v.y, v.z}, 800, 600); }
  ViewCamera cam;
  Mat4 wvp;
};

Vertex vertexAt(float x, float y, float z, std::uint8_t grey = 100) {
  Vertex v;
  v.x = x;
  v.y = y;
  v.z = z;
  v.r = v.g = v.b = grey;
  return v;
}

TEST(Picking, NearestWithinSixteenPixels) {
  Scene s;
  std::vector<Vertex> v = {vertexAt(0, 0, 0), vertexAt(0.2f, 0, 0), vertexAt(-0.2f, 0, 0.2f)};
  const ScreenPoint p = s.screenOf(v[1]);
  ASSERT_TRUE(p.visible);
  EXPECT_EQ(FindNearestVertex(v, s.wvp, 800, 600, p.x + 3, p.y - 2), 1u);
  EXPECT_EQ(FindNearestVertex(v, s.wvp, 800, 600, p.x + 15.5f, p.y), 1u);
  EXPECT_FALSE(FindNearestVertex(v, s.wvp, 800, 600, p.x + 16, p.y).has_value());
  EXPECT_FALSE(FindNearestVertex(v, s.wvp, 800, 600, 5, 5).has_value());
  // equal distances: the lower index wins
  std::vector<Vertex> twins = {v[1], v[1]};
  EXPECT_EQ(FindNearestVertex(twins, s.wvp, 800, 600, p.x, p.y), 0u);
  // a point behind the eye is not picked even where it would project
  std::vector<Vertex> behind = {vertexAt(0, -5, 0)};
  EXPECT_FALSE(FindNearestVertex(behind, s.wvp, 800, 600, 400, 300).has_value());
}

TEST(Picking, QueueOfTwoReplacesTheNearer) {
  Scene s;
  std::vector<Vertex> v = {vertexAt(-0.3f, 0, 0, 10), vertexAt(0.3f, 0, 0, 20), vertexAt(-0.25f, 0, 0.05f, 30)};
  PickQueue q;
  const float scale = 0.5f;
  auto pickVertex = [&](std::uint32_t i) {
    const ScreenPoint p = s.screenOf(v[i]);
    return q.pick(FindNearestVertex(v, s.wvp, 800, 600, p.x, p.y), v, s.wvp, 800, 600, p.x, p.y, scale);
  };
  auto patches = pickVertex(0);
  ASSERT_EQ(patches.size(), 1u);
  EXPECT_EQ(patches[0].colour, kMagenta);
  unpackColour(v[0], patches[0].colour);
  // the same vertex again changes nothing
  EXPECT_TRUE(pickVertex(0).empty());
  patches = pickVertex(1);
  ASSERT_EQ(q.size(), 2u);
  unpackColour(v[1], patches.back().colour);
  EXPECT_FLOAT_EQ(q.points()[1].x, 0.6f);  // display position / view scale
  // either vertex already in the pair: nothing changes
  EXPECT_TRUE(pickVertex(1).empty());
  EXPECT_TRUE(pickVertex(0).empty());
  // a third point nearer to the first pick replaces the first
  patches = pickVertex(2);
  ASSERT_EQ(patches.size(), 2u);
  EXPECT_EQ(patches[0].index, 0u);
  EXPECT_EQ(patches[0].colour & 0xFFu, 10u);  // the first vertex's own colour comes back
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q.points()[0].vertexIndex, 1u);
  EXPECT_EQ(q.points()[1].vertexIndex, 2u);
  // nothing found: nothing changes
  EXPECT_TRUE(q.pick(std::nullopt, v, s.wvp, 800, 600, 0, 0, scale).empty());
  const auto restored = q.clear();
  EXPECT_EQ(restored.size(), 2u);
  EXPECT_EQ(q.size(), 0u);
}

TEST(PickText, LinesAndDiff) {
  CoordinateSystem cs;  // Y reversed: a stored y of 2 is drawn at -2 but shown as 2
  PickedPoint a;
  a.x = 1;
  a.y = -2;
  a.z = 0;
  PickedPoint b;
  b.x = 4;
  b.y = -6;
  b.z = 12.5f;
  EXPECT_EQ(PickText({a}, cs), "1st: |   1.000   2.000   0.000|=2.236");
  EXPECT_EQ(PickText({a, b}, cs),
            "1st: |   1.000   2.000   0.000|=2.236\n"
            "2nd: |   4.000   6.000  12.500|=14.431\n"
            "diff:|   3.000   4.000  12.500|=13.463");
  EXPECT_EQ(PickText({}, cs), "");
}

TEST(PickText, ReversedAxisDrawnNegatedShownAsStored) {
  // A point stored with y = 2 is drawn at -2 x scale but read back as 2.000.
  CoordinateSystem cs;  // reverse axis Y
  const float pos[] = {0, 2.0f, 0, 4, 0, 0};
  const std::uint8_t col[] = {9, 9, 9, 9, 9, 9};
  float scale = 0;
  BuiltCloud b = BuildVertices(pos, col, 2, cs, scale);
  EXPECT_FLOAT_EQ(b.vertices[0].y, -2.0f * scale);
  Scene s;
  const ScreenPoint p = s.screenOf(b.vertices[0]);
  PickQueue q;
  ASSERT_FALSE(
      q.pick(FindNearestVertex(b.vertices, s.wvp, 800, 600, p.x, p.y), b.vertices, s.wvp, 800, 600, p.x, p.y, scale)
          .empty());
  EXPECT_EQ(PickText(q.points(), cs), "1st: |   0.000   2.000   0.000|=2.000");
}

}  // namespace
}  // namespace nubiview
