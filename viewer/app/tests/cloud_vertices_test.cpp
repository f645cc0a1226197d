#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "viewer/app/cloud_vertices.h"

namespace nubiview {
namespace {

TEST(ViewScale, SetOnFirstLoadKeptOnReload) {
  CoordinateSystem cs;  // reverse Y, eye Y
  std::vector<float> pos = {500, 0, 0, -100, 250, 10};
  std::vector<std::uint8_t> col = {1, 2, 3, 4, 5, 6};
  float scale = 0;
  BuiltCloud b = BuildVertices(pos.data(), col.data(), 2, cs, scale);
  EXPECT_FLOAT_EQ(scale, 0.002f);
  ASSERT_EQ(b.vertices.size(), 2u);
  EXPECT_FLOAT_EQ(b.vertices[0].x, 1.0f);
  EXPECT_FLOAT_EQ(b.vertices[1].y, -0.5f);  // Y reversed for display
  EXPECT_EQ(b.vertices[1].r, 4);
  EXPECT_EQ(b.vertices[1].b, 6);
  EXPECT_EQ(b.vertices[1].a, 255);
  // File centre: only the eye axis (Y), the mean of the display values.
  EXPECT_FLOAT_EQ(b.fileCentre.y, -0.25f);
  EXPECT_FLOAT_EQ(b.fileCentre.x, 0.0f);

  std::vector<float> bigger = {800, 0, 0};
  BuiltCloud r = BuildVertices(bigger.data(), col.data(), 1, cs, scale);
  EXPECT_FLOAT_EQ(scale, 0.002f);
  EXPECT_FLOAT_EQ(r.vertices[0].x, 1.6f);
}

TEST(ViewScale, DegenerateClouds) {
  CoordinateSystem cs;
  std::vector<std::uint8_t> col(9, 255);
  // all points at the origin: scale 1, points stay at the origin
  std::vector<float> zero(9, 0.0f);
  float scale = 0;
  BuiltCloud b = BuildVertices(zero.data(), col.data(), 3, cs, scale);
  EXPECT_FLOAT_EQ(scale, 1.0f);
  EXPECT_FLOAT_EQ(b.vertices[2].z, 0.0f);
  // an empty cloud leaves the scale unset
  float unset = 0;
  BuildVertices(nullptr, nullptr, 0, cs, unset);
  EXPECT_EQ(unset, 0.0f);
  // NaN counts as unset; non-finite coordinates do not decide the scale
  float nanScale = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> pos = {std::numeric_limits<float>::infinity(), 4, 0, 0, 0, 0};
  BuildVertices(pos.data(), col.data(), 2, cs, nanScale);
  EXPECT_FLOAT_EQ(nanScale, 0.25f);
}

// A NaN or infinite point used to make the centre NaN and blank the view:
// it stays a vertex (the store and picking indices keep their order) but
// takes no part in the scale or the centre.
TEST(ViewScale, NonFinitePointsStayButDoNotMoveTheView) {
  CoordinateSystem cs;  // reverse Y, eye Y
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  std::vector<float> pos = {0, 2, 0, nan, nan, nan, 0, 4, 0, 1, inf, 0};
  std::vector<std::uint8_t> col(12, 9);
  float scale = 0;
  BuiltCloud b = BuildVertices(pos.data(), col.data(), 4, cs, scale);
  EXPECT_FLOAT_EQ(scale, 0.25f);
  EXPECT_EQ(b.vertices.size(), 4u);
  EXPECT_FLOAT_EQ(b.fileCentre.y, -0.75f);
  EXPECT_TRUE(std::isnan(b.vertices[1].x));
}

TEST(ViewScale, EyeAxisAndOrder) {
  CoordinateSystem cs;
  cs.reverseAxis = 3;
  cs.eye = -3;
  cs.colourOrder = 0;
  std::vector<float> pos = {0, 0, 2, 0, 0, 4};
  std::vector<std::uint8_t> col = {10, 20, 30, 40, 50, 60};
  float scale = 0;
  BuiltCloud b = BuildVertices(pos.data(), col.data(), 2, cs, scale);
  EXPECT_FLOAT_EQ(b.fileCentre.z, -0.75f);
  EXPECT_EQ(b.vertices[0].r, 30);  // blue-green-red order swaps red and blue
  EXPECT_EQ(b.vertices[0].b, 10);
  cs.eye = 7;
  b = BuildVertices(pos.data(), col.data(), 2, cs, scale);
  EXPECT_FLOAT_EQ(b.fileCentre.z, 0.0f);
}

TEST(ColourMapping, GainOffsetTextureAndAlpha) {
  std::vector<Vertex> v(3);
  v[0].r = 100;
  v[0].g = 200;
  v[0].b = 0;
  v[0].a = 7;
  v[1].r = 10;
  v[1].g = 13;
  v[1].b = 255;
  v[2].r = 0;
  v[2].g = 1;
  v[2].b = 2;
  ColourAdjustment adj;
  adj.enabled = true;
  for (int c = 0; c < 3; ++c) {
    adj.gain[c] = 1.5f;
    adj.offset[c] = -20;
  }
  std::vector<Vertex> m = v;
  ApplyColourMapping(m, true, adj);
  EXPECT_EQ(m[0].r, 130);
  EXPECT_EQ(m[0].g, 255);
  EXPECT_EQ(m[0].b, 0);  // clamped at 0
  EXPECT_EQ(m[0].a, 7);  // alpha never touched
  EXPECT_EQ(m[1].g, 0);  // 13 * 1.5 - 20 = -0.5 -> 0

  // disabled: unchanged; texture off: where there is texture
  adj.enabled = false;
  m = v;
  ApplyColourMapping(m, true, adj);
  EXPECT_EQ(m[0].r, 100);
  adj.enabled = true;
  m = v;
  ApplyColourMapping(m, false, adj);
  EXPECT_EQ(m[0].r, 255);
  EXPECT_EQ(m[0].b, 0);
  EXPECT_EQ(m[2].r, 0);
  EXPECT_EQ(m[2].g, 255);
  EXPECT_EQ(m[0].a, 7);

  // many vertices through the parallel loop give the same as one
  std::vector<Vertex> many(10007, v[0]);
  ApplyColourMapping(many, true, adj);
  for (const Vertex& e : many) ASSERT_EQ(e.r, 130);
}

TEST(Triangles, OutOfRangeIndicesAreNotDrawn) {
  const std::int32_t tri[] = {0, 1, 2, 0, 1, 3, -1, 0, 1, 2, 1, 0};
  const std::vector<std::uint32_t> d = DrawableTriangles(tri, 4, 3);
  EXPECT_EQ(d, (std::vector<std::uint32_t>{0, 1, 2, 2, 1, 0}));
}

TEST(Gizmo, VerticesIndicesAndSigns) {
  const Gizmo g = BuildGizmo(1, -1, 1);
  EXPECT_FLOAT_EQ(g.vertices[1].x, 0.1f);
  EXPECT_FLOAT_EQ(g.vertices[3].y, -0.1f);
  EXPECT_FLOAT_EQ(g.vertices[5].z, 0.1f);
  const float h = 0.0075f * std::cos(20.0f * 3.14159265f / 180.0f);
  const float w = 0.0075f * std::sin(20.0f * 3.14159265f / 180.0f);
  EXPECT_NEAR(g.vertices[6].x, 0.1f - h, 1e-7);
  EXPECT_NEAR(g.vertices[7].y, -w, 1e-7);
  EXPECT_NEAR(g.vertices[8].y, -(0.1f - h), 1e-7);
  EXPECT_FLOAT_EQ(g.vertices[17].y, -0.107f);
  EXPECT_FLOAT_EQ(g.vertices[20].z, 0.107f);
  // colours: red X, yellow Y, green Z
  EXPECT_EQ(packColour(g.vertices[13]), 0xFF0000FFu);
  EXPECT_EQ(packColour(g.vertices[16]), 0xFF00FFFFu);
  EXPECT_EQ(packColour(g.vertices[23]), 0xFF00FF00u);
  EXPECT_EQ(g.indices[6], 1u);
  EXPECT_EQ(g.indices[7], 6u);
  EXPECT_EQ(g.indices[33], 23u);
  for (std::uint32_t i : g.indices) EXPECT_LT(i, 24u);
}

}  // namespace
}  // namespace nubiview
