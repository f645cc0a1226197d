#pragma once
// Two-dimensional parametric models fitted to contour points.
// Model2D_RotatedEllipse fits the conic x^2 + A xy + B y^2 + C x + D y + E = 0
// by linear least squares and turns it into centre, angle and semi-axes.

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace calibrix {

template <typename PointT, std::size_t NParams>
class Model2D {
 public:
  virtual ~Model2D() = default;
  // Fits the model to the points; false when they do not determine it.
  virtual bool fit(const std::vector<PointT>& points) = 0;
  // True when the point lies on the model within the model's tolerance.
  virtual bool test(const PointT& point) const = 0;

  const std::array<double, NParams>& params() const { return params_; }

 protected:
  std::array<double, NParams> params_{};
};

namespace detail {

// Solves the n x n system m * x = rhs in place by LU decomposition with partial
// pivoting. Returns the determinant of m (0 when a pivot vanishes).
template <std::size_t N>
double luSolve(std::array<std::array<double, N>, N>& m, std::array<double, N>& rhs) {
  double det = 1.0;
  for (std::size_t col = 0; col < N; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < N; ++r)
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    if (m[pivot][col] == 0.0) return 0.0;
    if (pivot != col) {
      std::swap(m[pivot], m[col]);
      std::swap(rhs[pivot], rhs[col]);
      det = -det;
    }
    det *= m[col][col];
    for (std::size_t r = col + 1; r < N; ++r) {
      const double f = m[r][col] / m[col][col];
      for (std::size_t c = col; c < N; ++c) m[r][c] -= f * m[col][c];
      rhs[r] -= f * rhs[col];
    }
  }
  for (std::size_t i = N; i-- > 0;) {
    double s = rhs[i];
    for (std::size_t c = i + 1; c < N; ++c) s -= m[i][c] * rhs[c];
    rhs[i] = s / m[i][i];
  }
  return det;
}

}  // namespace detail

// Parameters: cx, cy, theta (radians), a, b (semi-axes along and across theta).
// test() accepts a point lying between the ellipses shrunk and grown by `range`
// pixels along both axes.
template <typename PointT>
class Model2D_RotatedEllipse : public Model2D<PointT, 5> {
 public:
  explicit Model2D_RotatedEllipse(double range = 1.5) : range_(range) {}

  double cx() const { return this->params_[0]; }
  double cy() const { return this->params_[1]; }
  double theta() const { return this->params_[2]; }
  double a() const { return this->params_[3]; }
  double b() const { return this->params_[4]; }

  void setRange(double range) {
    range_ = range;
    prepareTest();
  }

  bool fit(const std::vector<PointT>& points) override {
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sxxx = 0, syyy = 0, sxxy = 0, sxyy = 0, sxxxy = 0, sxxyy = 0,
           sxyyy = 0, syyyy = 0;
    for (const auto& p : points) {
      const double x = static_cast<double>(p.x), y = static_cast<double>(p.y);
      const double xx = x * x, yy = y * y, xy = x * y;
      sx += x;
      sy += y;
      sxx += xx;
      syy += yy;
      sxy += xy;
      sxxx += xx * x;
      syyy += yy * y;
      sxxy += xx * y;
      sxyy += x * yy;
      sxxxy += xx * xy;
      sxxyy += xx * yy;
      sxyyy += xy * yy;
      syyyy += yy * yy;
    }
    const double n = static_cast<double>(points.size());
    std::array<std::array<double, 5>, 5> m{{
        {sxxyy, sxyyy, sxxy, sxyy, sxy},
        {sxyyy, syyyy, sxyy, syyy, syy},
        {sxxy, sxyy, sxx, sxy, sx},
        {sxyy, syyy, sxy, syy, sy},
        {sxy, syy, sx, sy, n},
    }};
    std::array<double, 5> v{-sxxxy, -sxxyy, -sxxx, -sxxy, -sxx};
    const double det = detail::luSolve(m, v);
    if (!(std::fabs(det) >= 1e-8)) return false;
    const double A = v[0], B = v[1], C = v[2], D = v[3], E = v[4];

    const double den = 4.0 * B - A * A;
    const double cx = (A * D - 2.0 * B * C) / den;
    const double cy = (A * C - 2.0 * D) / den;
    const double theta = std::atan2(A, 1.0 - B) / 2.0;
    const double c = std::cos(theta), s = std::sin(theta);
    const double P = s * cy + c * cx;
    const double Q = s * cx - c * cy;
    const double f1 = P * P - c * c * E;
    const double g1 = s * s - c * c * B;
    const double f2 = Q * Q - s * s * E;
    const double g2 = c * c - s * s * B;
    const double a2 = f1 - g1 * f2 / g2;
    const double b2 = f2 - f1 * g2 / g1;
    // Negative or undefined squares: the conic is no ellipse (hyperbola,
    // parabola or degenerate points).
    if (!(a2 >= 0.0) || !(b2 >= 0.0) || !std::isfinite(cx) || !std::isfinite(cy)) return false;
    this->params_ = {cx, cy, theta, std::sqrt(a2), std::sqrt(b2)};
    prepareTest();
    return true;
  }

  bool test(const PointT& point) const override {
    const double dx = static_cast<double>(point.x) - cx();
    const double dy = static_cast<double>(point.y) - cy();
    const double u = dx * cos_ + dy * sin_;
    const double v = -dx * sin_ + dy * cos_;
    const double uu = u * u, vv = v * v;
    if (uu / innerA2_ + vv / innerB2_ - 1.0 < 0.0) return false;
    if (uu / outerA2_ + vv / outerB2_ - 1.0 > 0.0) return false;
    return true;
  }

 private:
  void prepareTest() {
    cos_ = std::cos(theta());
    sin_ = std::sin(theta());
    innerA2_ = (a() - range_) * (a() - range_);
    innerB2_ = (b() - range_) * (b() - range_);
    outerA2_ = (a() + range_) * (a() + range_);
    outerB2_ = (b() + range_) * (b() + range_);
  }

  double range_;
  double cos_ = 1.0, sin_ = 0.0;
  double innerA2_ = 0, innerB2_ = 0, outerA2_ = 0, outerB2_ = 0;
};

}  // namespace calibrix
