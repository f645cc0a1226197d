#include "decoder/common/point_output.h"

#include <cmath>

namespace zel {

namespace {

inline bool finite3(float a, float b, float c) { return std::isfinite(a) && std::isfinite(b) && std::isfinite(c); }

inline void setColor(PointRecord& rec, std::uint8_t grey) {
  rec.color[0] = rec.color[1] = rec.color[2] = grey;
  rec.unused = 0;
}

// Writes an accepted point: into the pixel's record, or into its slot of the
// direct output.
inline void storePoint(const PointGrid& g, std::size_t i, int slot, float px, float py, float pz) {
  if (g.records != nullptr) {
    PointRecord& rec = g.records[i];
    rec.x = px;
    rec.y = py;
    rec.z = pz;
    setColor(rec, g.texture[i]);
    return;
  }
  float* p = g.points + 3 * static_cast<std::size_t>(slot);
  p[0] = px;
  p[1] = py;
  p[2] = pz;
  std::uint8_t* c = g.colors + 3 * static_cast<std::size_t>(slot);
  c[0] = c[1] = c[2] = g.texture[i];
  g.pixelIndices[slot] = static_cast<std::int32_t>(i);
}

inline void rejectSlot(const PointGrid& g, int slot) {
  if (g.records == nullptr) g.pixelIndices[slot] = -1;
}

struct Vec3 {
  double x, y, z;
};
inline double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 unit(Vec3 v) {
  const double len = std::sqrt(dot(v, v));
  if (len > 0.0) v = {v.x / len, v.y / len, v.z / len};
  return v;
}
inline Vec3 toVec3(const cv::Vec3d& v) { return {v[0], v[1], v[2]}; }
inline Vec3 toVec3(const cv::Mat& m) { return {m.at<double>(0), m.at<double>(1), m.at<double>(2)}; }

// Runs point(x, y, i, slot) on every pixel i = y * width + x whose mask is 0,
// the rows spread over the threads; slot is the pixel's place in the direct
// output (its row's first slot plus the unmasked pixels before it). point
// returns whether it stored a point; when it refuses one it marks the
// pixel's mask and the slot is marked empty here. Returns the points stored.
template <class PointFn>
int forEachUnmaskedPixel(const PointGrid& g, int threads, PointFn point) {
  int accepted = 0;
#pragma omp parallel for schedule(static) num_threads(threads) reduction(+ : accepted)
  for (int y = 0; y < g.height; ++y) {
    const std::size_t row = static_cast<std::size_t>(y) * g.width;
    int slot = g.records != nullptr ? 0 : g.rowCounts[y];
    for (int x = 0; x < g.width; ++x) {
      const std::size_t i = row + x;
      if (g.leftMask[i] != 0) continue;
      const int s = slot++;
      if (point(x, y, i, s)) {
        ++accepted;
      } else {
        rejectSlot(g, s);
      }
    }
  }
  return accepted;
}

}  // namespace

int reprojectPoints(const cv::Mat& q, const PointGrid& g, int threads, std::uint8_t notFiniteCode) {
  double m[16];
  for (int i = 0; i < 16; ++i) m[i] = q.at<double>(i / 4, i % 4);
  return forEachUnmaskedPixel(g, threads, [&](int x, int y, std::size_t i, int slot) {
    const double v[4] = {static_cast<double>(x), static_cast<double>(y), g.disparity[i], 1.0};
    double h[4];
    for (int r = 0; r < 4; ++r)
      h[r] = m[4 * r] * v[0] + m[4 * r + 1] * v[1] + m[4 * r + 2] * v[2] + m[4 * r + 3] * v[3];
    const double iw = 1.0 / h[3];
    const float px = static_cast<float>(h[0] * iw);
    const float py = static_cast<float>(h[1] * iw);
    const float pz = static_cast<float>(h[2] * iw);
    if (!finite3(px, py, pz)) {
      g.leftMask[i] = notFiniteCode;
      return false;
    }
    storePoint(g, i, slot, px, py, pz);
    return true;
  });
}

int triangulateRays(const StereoCamera& stereo, double evecError, const PointGrid& g, int threads) {
  const Vec3 tl = toVec3(stereo.left.T);
  const Vec3 tr = toVec3(stereo.right.T);
  const Vec3 b = {tr.x - tl.x, tr.y - tl.y, tr.z - tl.z};
  return forEachUnmaskedPixel(g, threads, [&](int x, int y, std::size_t i, int slot) {
    const Vec3 r1 = unit(toVec3(stereo.left.backProject(x, y)));
    const Vec3 r2 = unit(toVec3(stereo.right.backProject(x - g.disparity[i], y)));
    const double gg = dot(r1, r2);
    if (gg == 1.0) {
      g.leftMask[i] = kMaskPointNotFinite;
      return false;
    }
    const double p = dot(r1, b);
    const double qq = dot(r2, b);
    const double o = 1.0 / (1.0 - gg * gg);
    const double t1 = (p - qq * gg) * o;
    const double t2 = (p * gg - qq) * o;
    const Vec3 p1 = {tl.x + t1 * r1.x, tl.y + t1 * r1.y, tl.z + t1 * r1.z};
    const Vec3 p2 = {tr.x + t2 * r2.x, tr.y + t2 * r2.y, tr.z + t2 * r2.z};
    const float px = static_cast<float>((p1.x + p2.x) / 2.0);
    const float py = static_cast<float>((p1.y + p2.y) / 2.0);
    const float pz = static_cast<float>((p1.z + p2.z) / 2.0);
    // How far the rays miss each other: |P1 - P2| in exact arithmetic, but
    // evaluated as the distance between the two lines, |b . (r1 x r2)| /
    // |r1 x r2|. The difference of two points a working distance away
    // carries rounding noise of about 1e-13 of that distance, which would
    // swamp the default tolerance of 2.5e-13 with millimetre calibrations.
    const Vec3 n = {r1.y * r2.z - r1.z * r2.y, r1.z * r2.x - r1.x * r2.z, r1.x * r2.y - r1.y * r2.x};
    const double gap = std::fabs(dot(b, n)) / std::sqrt(dot(n, n));
    if (!finite3(px, py, pz) || !(gap <= evecError)) {
      g.leftMask[i] = kMaskRayGap;
      return false;
    }
    storePoint(g, i, slot, px, py, pz);
    return true;
  });
}

int countSlots(const PointGrid& g, int threads) {
#pragma omp parallel for schedule(static) num_threads(threads)
  for (int y = 0; y < g.height; ++y) {
    const std::uint8_t* mask = g.leftMask + static_cast<std::size_t>(y) * g.width;
    int n = 0;
    for (int x = 0; x < g.width; ++x) n += mask[x] == 0;
    g.rowCounts[y + 1] = n;
  }
  g.rowCounts[0] = 0;
  for (int y = 0; y < g.height; ++y) g.rowCounts[y + 1] += g.rowCounts[y];
  return g.rowCounts[g.height];
}

int compactPoints(float* points, std::uint8_t* colors, std::int32_t* pixelIndices, int slots) {
  int out = 0;
  for (int s = 0; s < slots; ++s) {
    if (pixelIndices[s] < 0) continue;
    if (out != s) {
      for (int k = 0; k < 3; ++k) {
        points[3 * out + k] = points[3 * s + k];
        colors[3 * out + k] = colors[3 * s + k];
      }
      pixelIndices[out] = pixelIndices[s];
    }
    ++out;
  }
  return out;
}

void collectPoints(const PointGrid& g, int count, float* points, std::uint8_t* colors, std::int32_t* pixelIndices,
                   int threads) {
  if (countSlots(g, threads) != count) return;  // caller's count disagrees with the mask: write nothing
#pragma omp parallel for schedule(static) num_threads(threads)
  for (int y = 0; y < g.height; ++y) {
    const std::size_t row = static_cast<std::size_t>(y) * g.width;
    int out = g.rowCounts[y];
    for (int x = 0; x < g.width; ++x) {
      const std::size_t i = row + x;
      if (g.leftMask[i] != 0) continue;
      const PointRecord& rec = g.records[i];
      points[3 * out] = rec.x;
      points[3 * out + 1] = rec.y;
      points[3 * out + 2] = rec.z;
      colors[3 * out] = rec.color[0];
      colors[3 * out + 1] = rec.color[1];
      colors[3 * out + 2] = rec.color[2];
      pixelIndices[out] = static_cast<std::int32_t>(i);
      ++out;
    }
  }
}

}  // namespace zel
