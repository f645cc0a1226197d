#include "viewer/app/picking.h"

#include <cmath>
#include <cstdio>

namespace nubiview {

std::optional<std::uint32_t> FindNearestVertex(const std::vector<Vertex>& vertices, const Mat4& wvp, float width,
                                               float height, float mx, float my) {
  float best = 0;
  std::optional<std::uint32_t> bestIndex;
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    const Vertex& v = vertices[i];
    const ScreenPoint s = project(wvp, {v.x, v.y, v.z}, width, height);
    if (!s.visible) continue;
    const float d = std::hypot(s.x - mx, s.y - my);
    if (!bestIndex || d < best) {
      best = d;
      bestIndex = static_cast<std::uint32_t>(i);
    }
  }
  if (bestIndex && best < kPickRadius) return bestIndex;
  return std::nullopt;
}

std::vector<ColourPatch> PickQueue::pick(std::optional<std::uint32_t> found, const std::vector<Vertex>& display,
                                         const Mat4& wvp, float width, float height, float mx, float my,
                                         float viewScale) {
  std::vector<ColourPatch> patches;
  if (!found || *found >= display.size()) return patches;
  std::size_t replace = 0;
  if (points_.size() == 2) {
    for (PickedPoint& p : points_) {
      const ScreenPoint s = project(wvp, {p.x * viewScale, p.y * viewScale, p.z * viewScale}, width, height);
      p.screenDistance = s.visible ? std::hypot(s.x - mx, s.y - my) : INFINITY;
    }
    replace = points_[0].screenDistance < points_[1].screenDistance ? 0 : 1;
  }
  if (!points_.empty() && points_[points_.size() == 2 ? replace : 0].vertexIndex == *found) return patches;
  // The other pick of the pair may be the found vertex too; picking it again changes nothing.
  for (const PickedPoint& p : points_)
    if (p.vertexIndex == *found) return patches;
  if (points_.size() == 2) {
    patches.push_back({points_[replace].vertexIndex, points_[replace].savedColour});
    points_.erase(points_.begin() + static_cast<long>(replace));
  }
  const Vertex& v = display[*found];
  const float inv = viewScale != 0 ? 1.0f / viewScale : 1.0f;
  PickedPoint p;
  p.x = v.x * inv;
  p.y = v.y * inv;
  p.z = v.z * inv;
  p.savedColour = packColour(v);
  p.vertexIndex = *found;
  points_.push_back(p);
  patches.push_back({*found, kMagenta});
  return patches;
}

std::vector<ColourPatch> PickQueue::clear() {
  std::vector<ColourPatch> patches;
  for (const PickedPoint& p : points_) patches.push_back({p.vertexIndex, p.savedColour});
  points_.clear();
  return patches;
}

std::vector<ColourPatch> PickQueue::remark(const std::vector<Vertex>& display) {
  std::vector<ColourPatch> patches;
  for (PickedPoint& p : points_) {
    if (p.vertexIndex >= display.size()) continue;
    p.savedColour = packColour(display[p.vertexIndex]);
    patches.push_back({p.vertexIndex, kMagenta});
  }
  return patches;
}

std::string PickText(const std::vector<PickedPoint>& points, const CoordinateSystem& cs) {
  const float sx = displaySign(cs, 0), sy = displaySign(cs, 1), sz = displaySign(cs, 2);
  std::string text;
  char buf[160];
  for (std::size_t i = 0; i < points.size() && i < 2; ++i) {
    const float x = points[i].x * sx, y = points[i].y * sy, z = points[i].z * sz;
    std::snprintf(buf, sizeof buf, "%s|%8.3f%8.3f%8.3f|=%.3f", i == 0 ? "1st: " : "2nd: ", double(x), double(y),
                  double(z), std::sqrt(double(x) * x + double(y) * y + double(z) * z));
    if (i) text += "\n";
    text += buf;
  }
  if (points.size() == 2) {
    // differences of the file coordinates (signs applied first, so no "-0.000")
    const double dx = double(points[1].x * sx) - double(points[0].x * sx);
    const double dy = double(points[1].y * sy) - double(points[0].y * sy);
    const double dz = double(points[1].z * sz) - double(points[0].z * sz);
    std::snprintf(buf, sizeof buf, "\ndiff:|%8.3f%8.3f%8.3f|=%.3f", dx, dy, dz, std::sqrt(dx * dx + dy * dy + dz * dz));
    text += buf;
  }
  return text;
}

}  // namespace nubiview
