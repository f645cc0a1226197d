#include "viewer/app/camera.h"

#include <algorithm>
#include <cstdlib>

namespace nubiview {
namespace {

constexpr float kArcballRadius = 0.9f;

// Rotation taking unit vector a to unit vector b, applied to v (Rodrigues).
Vec3 rotateBetween(Vec3 a, Vec3 b, Vec3 v) {
  const Vec3 axis = cross(a, b);
  const float s = length(axis);
  const float c = dot(a, b);
  if (s < 1e-7f) return v;
  const Vec3 k = axis * (1.0f / s);
  return v * c + cross(k, v) * s + k * (dot(k, v) * (1 - c));
}

}  // namespace

Vec3 AxisVector(int code) {
  const float s = code < 0 ? -1.0f : 1.0f;
  switch (std::abs(code)) {
    case 1: return {s, 0, 0};
    case 2: return {0, s, 0};
    case 3: return {0, 0, s};
    default: return {0, 0, 0};
  }
}

ViewCamera::ViewCamera() { setWindow(800, 600); }

void ViewCamera::setWindow(int width, int height) {
  width_ = std::max(width, 1);
  height_ = std::max(height, 1);
  projection_ = perspectiveLH(3.14159265f / 4, float(width_) / float(height_), 0.01f, 10000.0f);
}

void ViewCamera::setViewParams(Vec3 eye, Vec3 at, Vec3 up) {
  lookAt_ = at;
  radius_ = length(eye - at);
  minRadius_ = 1;
  maxRadius_ = 3.4e38f;
  ahead_ = normalize(at - eye);
  Vec3 r = cross(up, ahead_);
  if (length(r) < 1e-6f) r = cross(Vec3{0, 1, 0}, ahead_);  // up along the view: pick any side
  if (length(r) < 1e-6f) r = cross(Vec3{0, 0, 1}, ahead_);
  right_ = normalize(r);
  up_ = cross(ahead_, right_);
}

void ViewCamera::resetView(const CoordinateSystem& cs, Vec3 fileCentre) {
  Vec3 eye{0, 20, 0};
  const int axis = std::abs(cs.eye);
  if (axis >= 1 && axis <= 3) {
    eye = AxisVector(cs.eye) * 20.0f;
    if (cs.reverseAxis == axis) eye = eye * -1.0f;
  }
  Vec3 up = AxisVector(cs.up);
  if (length(up) == 0) up = {0, 1, 0};
  setViewParams(eye, {0, 0, 0}, up);
  radius_ = 2.5f;
  minRadius_ = 0.01f;
  maxRadius_ = 3.4e38f;
  pivot_ = fileCentre;
}

Vec3 ViewCamera::eyePosition() const { return lookAt_ - ahead_ * radius_; }

Mat4 ViewCamera::view() const { return lookAtLH(eyePosition(), lookAt_, up_); }

Vec3 ViewCamera::ballPoint(float x, float y) const {
  float bx = (x - width_ * 0.5f) / (kArcballRadius * width_ * 0.5f);
  float by = -(y - height_ * 0.5f) / (kArcballRadius * height_ * 0.5f);
  float bz = 0;
  const float mag = bx * bx + by * by;
  if (mag > 1) {
    const float s = 1 / std::sqrt(mag);
    bx *= s;
    by *= s;
  } else {
    bz = std::sqrt(1 - mag);
  }
  // The ball's front faces the viewer, which is -z in the left-handed view space.
  return {bx, by, -bz};
}

void ViewCamera::beginRotate(float x, float y) {
  rotating_ = true;
  downBall_ = ballPoint(x, y);
  downRight_ = right_;
  downUp_ = up_;
  downAhead_ = ahead_;
}

void ViewCamera::rotateTo(float x, float y) {
  if (!rotating_) return;
  const Vec3 now = ballPoint(x, y);
  // The scene turns with the mouse, so the camera turns the opposite way
  // (from now back to down) in its own frame at button-down.
  auto toWorld = [&](Vec3 c) { return downRight_ * c.x + downUp_ * c.y + downAhead_ * c.z; };
  const Vec3 a = toWorld(now), b = toWorld(downBall_);
  right_ = normalize(rotateBetween(a, b, downRight_));
  up_ = normalize(rotateBetween(a, b, downUp_));
  ahead_ = normalize(cross(right_, up_));
  up_ = cross(ahead_, right_);
}

void ViewCamera::beginPan(float x, float y) {
  panning_ = true;
  panDownX_ = x;
  panDownY_ = y;
  panWvp_ = worldViewProjection();
  panPivot_ = project(panWvp_, pivot_, float(width_), float(height_));
}

void ViewCamera::panTo(float x, float y) {
  if (!panning_ || !panPivot_.visible) return;
  pivot_ = unproject(panWvp_, panPivot_.x + (x - panDownX_), panPivot_.y + (y - panDownY_), panPivot_.depth,
                     float(width_), float(height_));
}

void ViewCamera::frameMove() {
  if (pendingWheel_ != 0) {
    radius_ -= float(pendingWheel_) * radius_ * 0.1f / 120.0f;
    radius_ = std::clamp(radius_, minRadius_, maxRadius_);
    pendingWheel_ = 0;
  }
}

}  // namespace nubiview
