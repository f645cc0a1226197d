#include "sim/scene/camera.h"

#include <opencv2/calib3d.hpp>

namespace sim {

cv::Matx33d rotationFromVector(const cv::Vec3d& rvec) {
  cv::Matx33d R;
  cv::Rodrigues(rvec, R);
  return R;
}

cv::Matx33d rotationFromEulerDeg(double rxDeg, double ryDeg, double rzDeg) {
  const double k = CV_PI / 180.0;
  double a = rxDeg * k, b = ryDeg * k, c = rzDeg * k;
  cv::Matx33d Rx(1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a));
  cv::Matx33d Ry(std::cos(b), 0, std::sin(b), 0, 1, 0, -std::sin(b), 0, std::cos(b));
  cv::Matx33d Rz(std::cos(c), -std::sin(c), 0, std::sin(c), std::cos(c), 0, 0, 0, 1);
  return Rz * Ry * Rx;
}

cv::Mat Camera::K() const { return (cv::Mat_<double>(3, 3) << fx, 0, cx, 0, fy, cy, 0, 0, 1); }

cv::Mat Camera::D() const { return (cv::Mat_<double>(1, 5) << k1, k2, p1, p2, k3); }

void Camera::setK(const cv::Mat& Kin) {
  cv::Mat K;
  Kin.convertTo(K, CV_64F);
  fx = K.at<double>(0, 0);
  fy = K.at<double>(1, 1);
  cx = K.at<double>(0, 2);
  cy = K.at<double>(1, 2);
}

void Camera::setD(const cv::Mat& Din) {
  cv::Mat D;
  Din.reshape(1, 1).convertTo(D, CV_64F);
  const double* d = D.ptr<double>();
  k1 = D.cols > 0 ? d[0] : 0;
  k2 = D.cols > 1 ? d[1] : 0;
  p1 = D.cols > 2 ? d[2] : 0;
  p2 = D.cols > 3 ? d[3] : 0;
  k3 = D.cols > 4 ? d[4] : 0;
}

bool Camera::undistort(double xd, double yd, double& x, double& y) const {
  x = xd;
  y = yd;
  for (int iter = 0; iter < 20; ++iter) {
    double r2 = x * x + y * y;
    double radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
    double dradial = k1 + r2 * (2 * k2 + 3 * k3 * r2);  // d radial / d r2
    double fxv = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x) - xd;
    double fyv = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y - yd;
    // Jacobian of the distortion.
    double j11 = radial + 2 * x * x * dradial + 2 * p1 * y + 6 * p2 * x;
    double j12 = 2 * x * y * dradial + 2 * p1 * x + 2 * p2 * y;
    double j21 = 2 * x * y * dradial + 2 * p1 * x + 2 * p2 * y;
    double j22 = radial + 2 * y * y * dradial + 6 * p1 * y + 2 * p2 * x;
    double det = j11 * j22 - j12 * j21;
    if (!(std::abs(det) > 1e-12)) return false;
    double dx = (fxv * j22 - fyv * j12) / det;
    double dy = (fyv * j11 - fxv * j21) / det;
    x -= dx;
    y -= dy;
    if (std::abs(dx) < 1e-15 && std::abs(dy) < 1e-15) return std::isfinite(x) && std::isfinite(y);
  }
  // Converged to rounding noise without meeting the strict bound.
  double xc, yc;
  distort(x, y, xc, yc);
  return std::abs(xc - xd) < 1e-12 && std::abs(yc - yd) < 1e-12;
}

}  // namespace sim
