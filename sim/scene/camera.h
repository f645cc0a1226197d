#pragma once
// Pinhole camera with Brown distortion (k1, k2, p1, p2, k3), the model of
// OpenCV's projectPoints, and its inverse for casting pixel rays.
#include <cmath>

#include <opencv2/core.hpp>

namespace sim {

// A rigid transform from world to local coordinates: x_local = R x_world + t.
struct Pose {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d t = {0, 0, 0};

  cv::Vec3d toLocal(const cv::Vec3d& world) const { return R * world + t; }
  cv::Vec3d toWorld(const cv::Vec3d& local) const { return R.t() * (local - t); }
  cv::Vec3d directionToWorld(const cv::Vec3d& local) const { return R.t() * local; }
  // Position of the local origin in world coordinates.
  cv::Vec3d centre() const { return -(R.t() * t); }
  // The pose of an object at `position` whose local axes are the columns of
  // `axes` (world coordinates).
  static Pose fromPlacement(const cv::Matx33d& axes, const cv::Vec3d& position) {
    Pose p;
    p.R = axes.t();
    p.t = -(p.R * position);
    return p;
  }
};

// Rotation from a Rodrigues vector (radians).
cv::Matx33d rotationFromVector(const cv::Vec3d& rvec);
// Rotation about x, then y, then z by the given angles in degrees
// (R = Rz * Ry * Rx).
cv::Matx33d rotationFromEulerDeg(double rxDeg, double ryDeg, double rzDeg);

struct Ray {
  cv::Vec3d origin;
  cv::Vec3d dir;  // unit length
};

class Camera {
 public:
  int width = 1280;
  int height = 1024;
  double fx = 1450, fy = 1450, cx = 639.5, cy = 511.5;  // pixels; pixel centres at integers
  double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
  Pose pose;  // world -> camera; camera looks along +z, x right, y down

  cv::Mat K() const;  // 3x3 double
  cv::Mat D() const;  // 1x5 double: k1, k2, p1, p2, k3
  void setK(const cv::Mat& K);
  void setD(const cv::Mat& D);  // 4 or 5 values

  // Normalised image coordinates (x/z, y/z) -> distorted normalised coordinates.
  void distort(double x, double y, double& xd, double& yd) const {
    double r2 = x * x + y * y;
    double radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
    xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
  }

  // Inverse of distort by Newton's method; false if it does not converge
  // (far outside the lens's valid field).
  bool undistort(double xd, double yd, double& x, double& y) const;

  // World point -> pixel (distorted). False when the point is not in front of
  // the camera.
  bool project(const cv::Vec3d& world, cv::Point2d& pixel) const {
    cv::Vec3d c = pose.toLocal(world);
    if (c[2] <= 1e-9) return false;
    double xd, yd;
    distort(c[0] / c[2], c[1] / c[2], xd, yd);
    pixel.x = fx * xd + cx;
    pixel.y = fy * yd + cy;
    return true;
  }

  bool inImage(const cv::Point2d& p) const {
    return p.x >= -0.5 && p.y >= -0.5 && p.x < width - 0.5 && p.y < height - 0.5;
  }

  // Ray in world coordinates through pixel (u, v). False when the pixel has
  // no ray (distortion not invertible there).
  bool pixelRay(double u, double v, Ray& ray) const {
    double x, y;
    if (!undistort((u - cx) / fx, (v - cy) / fy, x, y)) return false;
    cv::Vec3d d(x, y, 1.0);
    d /= std::sqrt(x * x + y * y + 1.0);
    ray.origin = pose.centre();
    ray.dir = pose.directionToWorld(d);
    return true;
  }
};

}  // namespace sim
