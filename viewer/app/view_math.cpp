#include "viewer/app/view_math.h"

namespace nubiview {

Mat4 operator*(const Mat4& a, const Mat4& b) {
  Mat4 r;
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += a.at(row, k) * b.at(k, col);
      r.at(row, col) = s;
    }
  return r;
}

Vec4 transform(const Mat4& a, Vec4 v) {
  return {a.at(0, 0) * v.x + a.at(0, 1) * v.y + a.at(0, 2) * v.z + a.at(0, 3) * v.w,
          a.at(1, 0) * v.x + a.at(1, 1) * v.y + a.at(1, 2) * v.z + a.at(1, 3) * v.w,
          a.at(2, 0) * v.x + a.at(2, 1) * v.y + a.at(2, 2) * v.z + a.at(2, 3) * v.w,
          a.at(3, 0) * v.x + a.at(3, 1) * v.y + a.at(3, 2) * v.z + a.at(3, 3) * v.w};
}

Vec3 transformDirection(const Mat4& a, Vec3 v) {
  const Vec4 r = transform(a, {v.x, v.y, v.z, 0});
  return {r.x, r.y, r.z};
}

Mat4 translation(Vec3 t) {
  Mat4 r;
  r.at(0, 3) = t.x;
  r.at(1, 3) = t.y;
  r.at(2, 3) = t.z;
  return r;
}

Mat4 transpose(const Mat4& a) {
  Mat4 r;
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) r.at(row, col) = a.at(col, row);
  return r;
}

bool invert(const Mat4& a, Mat4& out) {
  // Gauss-Jordan with partial pivoting, in double for accuracy.
  double w[4][8];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      w[r][c] = a.at(r, c);
      w[r][c + 4] = r == c ? 1.0 : 0.0;
    }
  for (int c = 0; c < 4; ++c) {
    int pivot = c;
    for (int r = c + 1; r < 4; ++r)
      if (std::fabs(w[r][c]) > std::fabs(w[pivot][c])) pivot = r;
    if (std::fabs(w[pivot][c]) < 1e-30) {
      out = Mat4{};
      return false;
    }
    if (pivot != c)
      for (int k = 0; k < 8; ++k) std::swap(w[c][k], w[pivot][k]);
    const double d = w[c][c];
    for (int k = 0; k < 8; ++k) w[c][k] /= d;
    for (int r = 0; r < 4; ++r) {
      if (r == c) continue;
      const double f = w[r][c];
      for (int k = 0; k < 8; ++k) w[r][k] -= f * w[c][k];
    }
  }
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) out.at(r, c) = static_cast<float>(w[r][c + 4]);
  return true;
}

Mat4 lookAtLH(Vec3 eye, Vec3 at, Vec3 up) {
  const Vec3 z = normalize(at - eye);
  const Vec3 x = normalize(cross(up, z));
  const Vec3 y = cross(z, x);
  Mat4 r;
  r.at(0, 0) = x.x;
  r.at(0, 1) = x.y;
  r.at(0, 2) = x.z;
  r.at(0, 3) = -dot(x, eye);
  r.at(1, 0) = y.x;
  r.at(1, 1) = y.y;
  r.at(1, 2) = y.z;
  r.at(1, 3) = -dot(y, eye);
  r.at(2, 0) = z.x;
  r.at(2, 1) = z.y;
  r.at(2, 2) = z.z;
  r.at(2, 3) = -dot(z, eye);
  return r;
}

Mat4 perspectiveLH(float fovY, float aspect, float zNear, float zFar) {
  const float f = 1.0f / std::tan(fovY * 0.5f);
  Mat4 r;
  r.at(0, 0) = f / aspect;
  r.at(1, 1) = f;
  r.at(2, 2) = (zFar + zNear) / (zFar - zNear);
  r.at(2, 3) = -2.0f * zFar * zNear / (zFar - zNear);
  r.at(3, 2) = 1.0f;
  r.at(3, 3) = 0.0f;
  return r;
}

ScreenPoint project(const Mat4& wvp, Vec3 p, float width, float height) {
  const Vec4 c = transform(wvp, {p.x, p.y, p.z, 1});
  ScreenPoint s;
  if (!(c.w > 0)) return s;
  s.x = (c.x / c.w + 1.0f) * 0.5f * width;
  s.y = (1.0f - c.y / c.w) * 0.5f * height;
  s.depth = c.z / c.w;
  s.visible = true;
  return s;
}

Vec3 unproject(const Mat4& wvp, float x, float y, float depth, float width, float height) {
  Mat4 inv;
  if (!invert(wvp, inv)) return {};
  const Vec4 ndc{x / width * 2.0f - 1.0f, 1.0f - y / height * 2.0f, depth, 1.0f};
  const Vec4 p = transform(inv, ndc);
  if (p.w == 0) return {};
  return {p.x / p.w, p.y / p.w, p.z / p.w};
}

}  // namespace nubiview
