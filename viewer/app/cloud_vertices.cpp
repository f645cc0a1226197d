#include "viewer/app/cloud_vertices.h"

#include <algorithm>
#include <cmath>

namespace nubiview {

BuiltCloud BuildVertices(const float* pos, const std::uint8_t* col, std::size_t count, const CoordinateSystem& cs,
                         float& viewScale) {
  BuiltCloud out;
  out.vertices.resize(count);
  const float sx = displaySign(cs, 0), sy = displaySign(cs, 1), sz = displaySign(cs, 2);
  const bool rgb = cs.colourOrder == 1;
  float m = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Vertex& v = out.vertices[i];
    v.x = pos[3 * i] * sx;
    v.y = pos[3 * i + 1] * sy;
    v.z = pos[3 * i + 2] * sz;
    v.r = col[3 * i + (rgb ? 0 : 2)];
    v.g = col[3 * i + 1];
    v.b = col[3 * i + (rgb ? 2 : 0)];
    v.a = 255;
    for (float c : {v.x, v.y, v.z}) {
      const float a = std::fabs(c);
      if (std::isfinite(a) && a > m) m = a;
    }
  }
  if (count > 0 && (viewScale == 0 || std::isnan(viewScale))) viewScale = m > 0 ? 1.0f / m : 1.0f;
  const float s = (viewScale == 0 || std::isnan(viewScale)) ? 1.0f : viewScale;
  double sum = 0;
  std::size_t used = 0;
  const int eyeAxis = std::abs(cs.eye) - 1;
  for (Vertex& v : out.vertices) {
    v.x *= s;
    v.y *= s;
    v.z *= s;
    // One NaN or infinite point would make the centre, and with it the
    // whole view, NaN: such points stay in the store but not in the centre.
    if (eyeAxis >= 0 && eyeAxis < 3 && std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z)) {
      sum += eyeAxis == 0 ? v.x : eyeAxis == 1 ? v.y : v.z;
      ++used;
    }
  }
  if (used > 0) {
    const float mean = static_cast<float>(sum / static_cast<double>(used));
    (eyeAxis == 0 ? out.fileCentre.x : eyeAxis == 1 ? out.fileCentre.y : out.fileCentre.z) = mean;
  }
  return out;
}

void ApplyColourMapping(std::vector<Vertex>& vertices, bool textureOn, const ColourAdjustment& adj) {
  const long n = static_cast<long>(vertices.size());
  Vertex* v = vertices.data();
  if (!textureOn) {
#pragma omp parallel for schedule(static)
    for (long i = 0; i < n; ++i) {
      v[i].r = v[i].r ? 255 : 0;
      v[i].g = v[i].g ? 255 : 0;
      v[i].b = v[i].b ? 255 : 0;
    }
    return;
  }
  if (!adj.enabled) return;
  const float g0 = adj.gain[0], g1 = adj.gain[1], g2 = adj.gain[2];
  const float o0 = static_cast<float>(adj.offset[0]), o1 = static_cast<float>(adj.offset[1]),
              o2 = static_cast<float>(adj.offset[2]);
  auto map = [](std::uint8_t c, float g, float o) -> std::uint8_t {
    const float f = std::trunc(static_cast<float>(c) * g + o);
    if (!(f > 0)) return 0;  // also NaN from a nonsense gain
    return f >= 255 ? 255 : static_cast<std::uint8_t>(f);
  };
#pragma omp parallel for schedule(static)
  for (long i = 0; i < n; ++i) {
    v[i].r = map(v[i].r, g0, o0);
    v[i].g = map(v[i].g, g1, o1);
    v[i].b = map(v[i].b, g2, o2);
  }
}

std::vector<std::uint32_t> DrawableTriangles(const std::int32_t* tri, std::size_t triangleCount,
                                             std::size_t pointCount) {
  std::vector<std::uint32_t> out;
  out.reserve(triangleCount * 3);
  for (std::size_t t = 0; t < triangleCount; ++t) {
    const std::int32_t* f = tri + 3 * t;
    bool ok = true;
    for (int k = 0; k < 3; ++k)
      if (f[k] < 0 || static_cast<std::size_t>(f[k]) >= pointCount) ok = false;
    if (!ok) continue;
    for (int k = 0; k < 3; ++k) out.push_back(static_cast<std::uint32_t>(f[k]));
  }
  return out;
}

Gizmo BuildGizmo(float sx, float sy, float sz) {
  const float h = 0.0075f * std::cos(20.0f * 3.14159265f / 180.0f);
  const float w = 0.0075f * std::sin(20.0f * 3.14159265f / 180.0f);
  struct P {
    float x, y, z;
  };
  const P p[24] = {
      {0, 0, 0},
      {0.1f * sx, 0, 0},
      {0, 0, 0},
      {0, 0.1f * sy, 0},
      {0, 0, 0},
      {0, 0, 0.1f * sz},
      {sx * (0.1f - h), +w, 0},
      {sx * (0.1f - h), -w, 0},
      {-w, sy * (0.1f - h), 0},
      {+w, sy * (0.1f - h), 0},
      {-w, 0, sz * (0.1f - h)},
      {+w, 0, sz * (0.1f - h)},
      {0.103f * sx, 0.002f, 0},
      {0.107f * sx, -0.002f, 0},
      {0.103f * sx, -0.002f, 0},
      {0.107f * sx, 0.002f, 0},
      {0, 0.105f * sy, 0},
      {-0.002f, 0.107f * sy, 0},
      {0.002f, 0.107f * sy, 0},
      {0, 0.103f * sy, 0},
      {-0.002f, 0, 0.107f * sz},
      {0.002f, 0, 0.107f * sz},
      {-0.002f, 0, 0.103f * sz},
      {0.002f, 0, 0.103f * sz},
  };
  // 0 red, 1 yellow, 2 green
  const int colourOf[24] = {0, 0, 1, 1, 2, 2, 0, 0, 1, 1, 2, 2, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2};
  static const std::uint8_t kColours[3][3] = {{255, 0, 0}, {255, 255, 0}, {0, 255, 0}};
  Gizmo g;
  for (int i = 0; i < 24; ++i) {
    Vertex& v = g.vertices[i];
    v.x = p[i].x;
    v.y = p[i].y;
    v.z = p[i].z;
    v.r = kColours[colourOf[i]][0];
    v.g = kColours[colourOf[i]][1];
    v.b = kColours[colourOf[i]][2];
    v.a = 255;
  }
  static const std::uint32_t kIdx[34] = {0,  1,  2,  3,  4,  5,  1,  6,  1,  7,  3,  8,  3,  9,  5,  10, 5,
                                         11, 12, 13, 14, 15, 16, 17, 16, 18, 16, 19, 20, 21, 21, 22, 22, 23};
  std::copy(std::begin(kIdx), std::end(kIdx), g.indices);
  return g;
}

}  // namespace nubiview
