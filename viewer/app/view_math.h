#pragma once
// Small vector and matrix helpers for the viewer's camera and picking.
// Matrices are column-major (OpenGL layout) and act on column vectors:
// clip = projection * view * world * point. The view and projection follow the
// left-handed convention of the original Direct3D viewer (x right, y up, z into
// the screen), so that the default reversed Y axis shows right-handed scans the
// same way round as before.
#include <cmath>

namespace nubiview {

struct Vec3 {
  float x = 0, y = 0, z = 0;
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline float length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 normalize(Vec3 a) {
  const float l = length(a);
  return l > 0 ? a * (1.0f / l) : a;
}

struct Vec4 {
  float x = 0, y = 0, z = 0, w = 0;
};

struct Mat4 {
  float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  float& at(int row, int col) { return m[col * 4 + row]; }
  float at(int row, int col) const { return m[col * 4 + row]; }
};

Mat4 operator*(const Mat4& a, const Mat4& b);
Vec4 transform(const Mat4& a, Vec4 v);
Vec3 transformDirection(const Mat4& a, Vec3 v);
Mat4 translation(Vec3 t);
Mat4 transpose(const Mat4& a);
// Inverse of a general 4x4 matrix; returns false (and the identity) when singular.
bool invert(const Mat4& a, Mat4& out);
// Left-handed look-at: view space x right, y up, z from the eye towards at.
Mat4 lookAtLH(Vec3 eye, Vec3 at, Vec3 up);
// Left-handed perspective projection into OpenGL clip space (depth -1..1).
Mat4 perspectiveLH(float fovY, float aspect, float zNear, float zFar);

// A projected point in window pixels (x right, y down) with its NDC depth;
// visible is false for points at or behind the eye plane.
struct ScreenPoint {
  float x = 0, y = 0, depth = 0;
  bool visible = false;
};
ScreenPoint project(const Mat4& worldViewProj, Vec3 p, float width, float height);
// Window pixel position and NDC depth back to model coordinates.
Vec3 unproject(const Mat4& worldViewProj, float x, float y, float depth, float width, float height);

}  // namespace nubiview
