#pragma once
// The viewer's camera: an orbit camera looking at the origin, whose model is
// shifted so that the pivot sits at the look-at point. The left button turns
// the view with an arcball, the wheel zooms (10 % of the radius per notch), the
// middle button moves the pivot in the view plane.
#include "viewer/app/view_math.h"
#include "viewer/app/viewer_settings.h"

namespace nubiview {

class ViewCamera {
 public:
  ViewCamera();

  // Window (back buffer) size; also sets the projection: vertical field of
  // view pi/4, near 0.01, far 10000.
  void setWindow(int width, int height);
  // Eye, look-at and up: radius becomes |eye - at|, minimum radius 1.
  void setViewParams(Vec3 eye, Vec3 at, Vec3 up);
  // Reset View: eye 20 units out along the eye axis (mirrored for the reverse
  // axis), up along the up axis, then radius 2.5 (minimum 0.01), pivot = centre.
  void resetView(const CoordinateSystem& cs, Vec3 fileCentre);

  // View arcball (left button or arrow keys).
  void beginRotate(float x, float y);
  void rotateTo(float x, float y);
  void endRotate() { rotating_ = false; }
  bool rotating() const { return rotating_; }
  // Pan (middle button or Alt + arrow keys): moves the pivot.
  void beginPan(float x, float y);
  void panTo(float x, float y);
  void endPan() { panning_ = false; }
  bool panning() const { return panning_; }
  // Pending wheel amount, 120 per notch; applied by frameMove.
  void addWheel(int delta) { pendingWheel_ += delta; }
  void frameMove();

  Vec3 pivot() const { return pivot_; }
  void setPivot(Vec3 p) { pivot_ = p; }
  float radius() const { return radius_; }
  Vec3 eyePosition() const;

  Mat4 world() const { return translation(pivot_ * -1.0f); }
  Mat4 view() const;
  Mat4 projection() const { return projection_; }
  Mat4 worldViewProjection() const { return projection_ * view() * world(); }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  Vec3 ballPoint(float x, float y) const;

  int width_ = 800, height_ = 600;
  Mat4 projection_;
  Vec3 lookAt_;
  // Camera orientation: columns are the camera's right, up and ahead axes in
  // display coordinates.
  Vec3 right_{1, 0, 0}, up_{0, 1, 0}, ahead_{0, 0, 1};
  float radius_ = 5, minRadius_ = 1, maxRadius_ = 3.4e38f;
  int pendingWheel_ = 0;
  Vec3 pivot_;

  bool rotating_ = false;
  Vec3 downBall_;
  Vec3 downRight_, downUp_, downAhead_;

  bool panning_ = false;
  float panDownX_ = 0, panDownY_ = 0;
  Mat4 panWvp_;
  ScreenPoint panPivot_;
};

// Unit vector along an axis code (+-1, +-2, +-3 for +-X, +-Y, +-Z); 0 for others.
Vec3 AxisVector(int code);

}  // namespace nubiview
