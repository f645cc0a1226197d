#include "calibrix/circle_calib_board.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <numeric>

#include "calibrix/model2d.h"

namespace calibrix {

namespace {

const char* const kCircleKeys[] = {
    "n_circles_x",       "n_circles_y", "origin_x", "origin_y", "unitleng", "distance_between_circles",
    "n_circles_minimum", "min_rate",    "max_rate", "fitscore", "fitrange"};

// Boards larger than this per side are refused: the counts come from a file
// and size every per-image allocation.
constexpr int kMaxCirclesPerSide = 1000;

constexpr double kPi = 3.141592653589793;

// (int) truncation toward zero that stays defined for any double.
int truncInt(double v) {
  if (!(v == v)) return 0;
  if (v > 1e9) return 1000000000;
  if (v < -1e9) return -1000000000;
  return static_cast<int>(v);
}

// (unsigned) truncation that stays defined for negative, huge and NaN values.
unsigned truncUnsigned(double v) {
  if (!(v > 0.0)) return 0;
  if (v > 2e9) return 2000000000u;
  return static_cast<unsigned>(v);
}

float distance(const cv::Point2f& a, const cv::Point2f& b) {
  const float dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

// Least-squares homography from `from` to `to` (linear, h33 = 1, on
// coordinates centred and scaled to unit spread): the few microseconds a
// local fit per circle can afford. False when the points don't determine it.
bool fitHomography(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to, cv::Matx33d& H) {
  const std::size_t n = from.size();
  if (n < 4 || to.size() != n) return false;
  auto normaliser = [n](const std::vector<cv::Point2f>& p) {
    double mx = 0, my = 0;
    for (const auto& q : p) {
      mx += q.x;
      my += q.y;
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double spread = 0;
    for (const auto& q : p) spread += std::hypot(q.x - mx, q.y - my);
    spread /= static_cast<double>(n);
    const double k = spread > 0 ? 1.0 / spread : 1.0;
    return cv::Matx33d(k, 0, -k * mx, 0, k, -k * my, 0, 0, 1);
  };
  const cv::Matx33d Tf = normaliser(from), Tt = normaliser(to);
  cv::Matx<double, 8, 8> AtA = cv::Matx<double, 8, 8>::zeros();
  cv::Matx<double, 8, 1> Atb = cv::Matx<double, 8, 1>::zeros();
  for (std::size_t i = 0; i < n; ++i) {
    const double X = Tf(0, 0) * from[i].x + Tf(0, 2), Y = Tf(1, 1) * from[i].y + Tf(1, 2);
    const double u = Tt(0, 0) * to[i].x + Tt(0, 2), v = Tt(1, 1) * to[i].y + Tt(1, 2);
    const double rows[2][8] = {{X, Y, 1, 0, 0, 0, -X * u, -Y * u}, {0, 0, 0, X, Y, 1, -X * v, -Y * v}};
    const double rhs[2] = {u, v};
    for (int r = 0; r < 2; ++r)
      for (int a = 0; a < 8; ++a) {
        Atb(a) += rows[r][a] * rhs[r];
        for (int b = 0; b < 8; ++b) AtA(a, b) += rows[r][a] * rows[r][b];
      }
  }
  cv::Matx<double, 8, 1> h;
  if (!cv::solve(AtA, Atb, h, cv::DECOMP_CHOLESKY)) return false;
  const cv::Matx33d Hn(h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), 1.0);
  H = Tt.inv() * Hn * Tf;
  return true;
}

// Keeps the entries of the three parallel lists whose flag is set, in order.
void keepFlagged(const std::vector<char>& keep, std::vector<std::vector<cv::Point>>& contours,
                 std::vector<cv::Point2f>& centres, std::vector<cv::Vec2i>& axes) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (!keep[i]) continue;
    if (out != i) {
      contours[out] = std::move(contours[i]);
      centres[out] = centres[i];
      axes[out] = axes[i];
    }
    ++out;
  }
  contours.resize(out);
  centres.resize(out);
  axes.resize(out);
}

const cv::Scalar kPalette[6] = {{0, 0, 255, 0},   {0, 165, 255, 0}, {0, 255, 127, 0},
                                {255, 191, 0, 0}, {255, 0, 0, 0},   {255, 0, 255, 0}};

}  // namespace

CircleCalibBoard::CircleCalibBoard(float displayScale) : displayScale_(displayScale) {
  settings_["n_circles_x"] = 13.0;
  settings_["n_circles_y"] = 19.0;
  settings_["origin_x"] = 6.0;
  settings_["origin_y"] = 9.0;
  settings_["unitleng"] = 60.0;
  settings_["distance_between_circles"] = 1.2;
  settings_["n_circles_minimum"] = 9.0;
  settings_["min_rate"] = 0.25;
  settings_["max_rate"] = 2.0;
  settings_["fitscore"] = 0.95;
  settings_["fitrange"] = 1.5;
  computeGeometry();
}

CircleCalibBoard::~CircleCalibBoard() = default;

void CircleCalibBoard::readSettings(const char* path) {
  if (path) {
    readBaseSettings(path);
    readKeys(path, kCircleKeys, static_cast<int>(std::size(kCircleKeys)));
  }
  computeGeometry();
}

void CircleCalibBoard::computeGeometry() {
  nx_ = truncInt(setting("n_circles_x"));
  ny_ = truncInt(setting("n_circles_y"));
  offsetX_ = truncInt(setting("n_circles_x") - setting("origin_x") - 1.0);
  offsetY_ = truncInt(setting("n_circles_y") - setting("origin_y") - 1.0);
  negOffsetX_ = -offsetX_;
  negOffsetY_ = -offsetY_;
  originX_ = truncInt(setting("origin_x"));
  originY_ = truncInt(setting("origin_y"));
  const float unit = static_cast<float>(setting("unitleng"));
  if (nx_ > 0 && ny_ > 0 && nx_ <= kMaxCirclesPerSide && ny_ <= kMaxCirclesPerSide) {
    objectPoints_.create(ny_, nx_, CV_32FC3);
    for (int r = 0; r < ny_; ++r)
      for (int c = 0; c < nx_; ++c)
        objectPoints_.at<cv::Vec3f>(r, c) =
            cv::Vec3f(static_cast<float>(c - offsetX_) * unit, static_cast<float>(r - offsetY_) * unit, 0.0f);
  } else {
    objectPoints_.release();
  }
}

void CircleCalibBoard::computeLimits(int width, int height) {
  int nLarge = nx_, nSmall = ny_;
  if (ny_ > nx_) std::swap(nLarge, nSmall);
  const double dbc = setting("distance_between_circles");
  struct Size {
    unsigned radius, perimeter;
  };
  auto sizeFor = [dbc](int span, int n, double rate) {
    const float spacing = static_cast<float>(span) * static_cast<float>(rate) / static_cast<float>(n + 1);
    const float diameter = static_cast<float>(spacing / dbc);
    return Size{truncUnsigned(diameter * 0.5 + 0.5), truncUnsigned(diameter * kPi + 0.5)};
  };
  const Size lower = sizeFor(std::min(width, height), nLarge, setting("min_rate"));
  const Size upper = sizeFor(width < height ? height : width, nSmall, setting("max_rate"));
  minRadius_ = (lower.radius + 1) / 2;
  minLen_ = (lower.perimeter + 1) / 2;
  maxRadius_ = upper.radius;
  maxLen_ = upper.perimeter;
}

cv::Mat CircleCalibBoard::binarize(const cv::Mat& grey) const {
  cv::Mat work;
  if (setting("do_smoothing") != 0.0)
    cv::medianBlur(grey, work, 3);
  else
    work = grey.clone();
  if (setting("gamma_correction") != 1.0) {
    cv::Mat lut(1, 256, CV_8U);
    for (int i = 0; i < 256; ++i) lut.at<uchar>(i) = static_cast<uchar>(gammaTable_[i]);
    cv::LUT(work, lut, work);
  }
  if (setting("do_equalize_hist") != 0.0) cv::equalizeHist(work, work);
  cv::Mat bin;
  switch (truncInt(setting("bin_type"))) {
    case 0: cv::threshold(work, bin, setting("bin_param0"), 255, cv::THRESH_BINARY); break;
    case 1: cv::threshold(work, bin, 0, 255, cv::THRESH_BINARY + cv::THRESH_OTSU); break;
    case 2: {
      // OpenCV refuses even or tiny blocks with an exception; such a
      // setting produces no binary image, like an unknown method.
      const int block = truncInt(setting("bin_param0"));
      if (block >= 3 && block % 2 == 1)
        cv::adaptiveThreshold(work, bin, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, block,
                              setting("bin_param1"));
      break;
    }
    default: break;
  }
  return bin;
}

void CircleCalibBoard::getEllipse(std::vector<std::vector<cv::Point>>& contours, std::vector<cv::Point2f>& centres,
                                  std::vector<cv::Vec2i>& axes) const {
  const double score = setting("fitscore");
  const double range = setting("fitrange");
  const double minR = minRadius_, maxR = maxRadius_;
  centres.clear();
  axes.clear();
  std::size_t out = 0;
  Model2D_RotatedEllipse<cv::Point> model(range);
  for (std::size_t i = 0; i < contours.size(); ++i) {
    const auto& contour = contours[i];
    if (!model.fit(contour)) continue;
    std::size_t inliers = 0;
    for (const auto& p : contour)
      if (model.test(p)) ++inliers;
    if (static_cast<double>(contour.size()) * score > static_cast<double>(inliers)) continue;
    const double a = model.a(), b = model.b();
    if (minR > a || minR > b || a > maxR || b > maxR) continue;
    if (out != i) contours[out] = std::move(contours[i]);
    ++out;
    centres.emplace_back(static_cast<float>(model.cx()), static_cast<float>(model.cy()));
    axes.emplace_back(static_cast<int>(std::rint(a)), static_cast<int>(std::rint(b)));
  }
  contours.resize(out);
}

void CircleCalibBoard::leaveLargestGroup(std::vector<std::vector<cv::Point>>& contours,
                                         std::vector<cv::Point2f>& centres, std::vector<cv::Vec2i>& axes) const {
  const std::size_t n = centres.size();
  if (n == 0) return;
  const float k = static_cast<float>(setting("distance_between_circles") + 0.1);
  std::vector<int> parent(n), size(n, 1);
  std::iota(parent.begin(), parent.end(), 0);
  auto find = [&parent](int x) {
    int root = x;
    while (parent[root] != root) root = parent[root];
    while (parent[x] != root) {
      const int next = parent[x];
      parent[x] = root;
      x = next;
    }
    return root;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const int longAxis = std::max(axes[i][0], axes[i][1]);
    const float reach = std::ceil(static_cast<float>(std::ceil(longAxis * 2.0)) * k);
    for (std::size_t j = 0; j < n; ++j) {
      if (distance(centres[i], centres[j]) > reach) continue;
      const int ri = find(static_cast<int>(i)), rj = find(static_cast<int>(j));
      if (ri == rj) continue;
      if (size[rj] > size[ri]) {
        parent[ri] = rj;
        size[rj] += size[ri];
      } else {
        parent[rj] = ri;
        size[ri] += size[rj];
      }
    }
  }
  int best = -1;
  for (std::size_t r = 0; r < n; ++r)
    if (parent[r] == static_cast<int>(r) && (best < 0 || size[r] > size[best])) best = static_cast<int>(r);
  std::vector<char> keep(n);
  for (std::size_t i = 0; i < n; ++i) keep[i] = find(static_cast<int>(i)) == best;
  keepFlagged(keep, contours, centres, axes);
}

int CircleCalibBoard::findBaseMarker(std::vector<std::vector<cv::Point>>& contours, std::vector<cv::Point2f>& centres,
                                     std::vector<cv::Vec2i>& axes) {
  const std::size_t n = centres.size();
  const float minR = static_cast<float>(minRadius_);
  std::vector<int> inner, outer, singles;
  for (std::size_t i = 0; i < n; ++i) {
    float best = FLT_MAX;
    std::size_t bj = n;
    for (std::size_t j = i + 1; j < n; ++j) {
      const float d = distance(centres[i], centres[j]);
      if (d < best) {
        best = d;
        bj = j;
      }
    }
    if (bj < n && best < minR) {
      if (contours[i].size() > contours[bj].size()) {
        outer.push_back(static_cast<int>(i));
        inner.push_back(static_cast<int>(bj));
      } else {
        inner.push_back(static_cast<int>(i));
        outer.push_back(static_cast<int>(bj));
      }
    } else {
      singles.push_back(static_cast<int>(i));
    }
  }
  if (outer.size() != 3) return -1;
  // Three-fold contours or chained pairs would make one circle both an inner
  // and an outer member; such a marker cannot be told apart reliably.
  for (int a : inner) {
    if (std::count(inner.begin(), inner.end(), a) != 1) return -1;
    if (std::find(outer.begin(), outer.end(), a) != outer.end()) return -1;
  }
  if (outer[0] == outer[1] || outer[1] == outer[2] || outer[0] == outer[2]) return -1;

  const double near = static_cast<double>(minRadius_);
  auto singleAt = [&](const cv::Point2f& p) {
    for (int s : singles) {
      const double dx = static_cast<double>(centres[s].x) - p.x;
      const double dy = static_cast<double>(centres[s].y) - p.y;
      if (std::sqrt(dx * dx + dy * dy) < near) return true;
    }
    return false;
  };
  auto mid = [&](int a, int b) { return (centres[a] + centres[b]) * 0.5f; };
  auto dist = [&](int a, int b) { return distance(centres[a], centres[b]); };
  const int p0 = outer[0], p1 = outer[1], p2 = outer[2];
  int o, x, y;
  if (singleAt(mid(p0, p1))) {
    o = dist(p0, p2) < dist(p1, p2) ? p0 : p1;
    x = o == p0 ? p1 : p0;
    y = p2;
  } else if (singleAt(mid(p0, p2))) {
    // The origin is the end of the two-step arm that lies next to the
    // third marker circle; taking P0 unconditionally would mirror the
    // grid whenever P2 is the origin.
    o = dist(p2, p1) < dist(p0, p1) ? p2 : p0;
    x = o == p0 ? p2 : p0;
    y = p1;
  } else {
    o = dist(p1, p0) < dist(p2, p0) ? p1 : p2;
    x = o == p1 ? p2 : p1;
    y = p0;
  }
  ex_ = centres[x] - centres[o];
  ey_ = centres[y] - centres[o];
  ex_ *= 1.0f / std::sqrt(ex_.dot(ex_));
  ey_ *= 1.0f / std::sqrt(ey_.dot(ey_));

  std::sort(inner.begin(), inner.end(), std::greater<int>());
  std::vector<char> keep(n, 1);
  for (int idx : inner) {
    keep[idx] = 0;
    if (idx < o) --o;
  }
  keepFlagged(keep, contours, centres, axes);
  return o;
}

void CircleCalibBoard::buildNeighbours(const std::vector<cv::Point2f>& centres, const std::vector<cv::Vec2i>& axes) {
  const std::size_t n = centres.size();
  const cv::Point2f dirs[4] = {ex_, -ex_, ey_, -ey_};
  const float k = static_cast<float>(setting("distance_between_circles") + 0.1);
  neighbours_.assign(n, {-1, -1, -1, -1});
  for (std::size_t i = 0; i < n; ++i) {
    const float reach = static_cast<float>(std::ceil(std::max(axes[i][0], axes[i][1]) * 2.0));
    float best[4] = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    for (std::size_t j = 0; j < n; ++j) {
      if (j == i) continue;
      const cv::Point2f v = centres[j] - centres[i];
      const float d = std::sqrt(v.dot(v));
      if (!(d > 0.0f) || !(d / reach <= k)) continue;
      const cv::Point2f w = v * (1.0f / d);
      for (int m = 0; m < 4; ++m) {
        if (w.dot(dirs[m]) > 0.98f && d < best[m]) {
          best[m] = d;
          neighbours_[i][m] = static_cast<int>(j);
        }
      }
    }
  }
}

void CircleCalibBoard::walkGrid(int origin, const std::vector<cv::Point2f>& centres, std::vector<cv::Point2f>& result) {
  const int n = static_cast<int>(centres.size());
  gridSource_.assign(result.size(), -1);
  if (origin < 0 || origin >= n || neighbours_.size() != centres.size()) return;
  // Settings whose origin lies off the board must not write outside the
  // result: a position is used only when it is inside both the configured
  // bounds and the nx x ny grid.
  auto onBoard = [this](int gx, int gy) {
    const int col = offsetX_ + gx, row = offsetY_ + gy;
    return gx >= negOffsetX_ && gx <= originX_ && gy >= negOffsetY_ && gy <= originY_ && col >= 0 && col < nx_ &&
           row >= 0 && row < ny_;
  };
  if (!onBoard(0, 0)) return;
  std::vector<char> placed(n, 0);
  std::vector<cv::Point> coord(n);
  placed[origin] = 1;
  coord[origin] = {0, 0};
  result[gridIndex(0, 0)] = centres[origin];
  gridSource_[gridIndex(0, 0)] = origin;
  static const int kStep[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
  std::vector<int> current{origin}, next;
  while (!current.empty()) {
    next.clear();
    for (int c : current) {
      for (int m = 0; m < 4; ++m) {
        const int nb = neighbours_[c][m];
        if (nb < 0 || placed[nb]) continue;
        const int gx = coord[c].x + kStep[m][0], gy = coord[c].y + kStep[m][1];
        if (!onBoard(gx, gy)) continue;
        placed[nb] = 1;
        coord[nb] = {gx, gy};
        result[gridIndex(gx, gy)] = centres[nb];
        gridSource_[gridIndex(gx, gy)] = nb;
        next.push_back(nb);
      }
    }
    current.swap(next);
  }
}

void CircleCalibBoard::correctPerspective(const std::vector<std::vector<cv::Point>>& contours,
                                          std::vector<cv::Point2f>& result) const {
  // The centre of a circle is the pole of the line at infinity with respect
  // to the circle, and poles and polars survive any projection. So the image
  // of the centre is the pole, with respect to the imaged ellipse, of the
  // image of the board's line at infinity (its vanishing line). That line
  // comes from the board-to-image homography of the points found; the
  // ellipse centres' own offsets change it only in the second order.
  if (gridSource_.size() != result.size()) return;
  std::vector<cv::Point2f> board, image;
  std::vector<int> index;
  for (std::size_t i = 0; i < result.size(); ++i) {
    const int s = gridSource_[i];
    if (s < 0 || static_cast<std::size_t>(s) >= contours.size() || result[i].x == FLT_MAX) continue;
    const cv::Vec3f o = objectPoints_.at<cv::Vec3f>(static_cast<int>(i) / nx_, static_cast<int>(i) % nx_);
    board.emplace_back(o[0], o[1]);
    image.push_back(result[i]);
    index.push_back(static_cast<int>(i));
  }
  // The vanishing line of the homography fitted to the given points, as
  // (l1, l2, l3) with l1 x + l2 y + l3 = 0; false when the points leave it
  // undetermined (too few, or all on one line) or the view is affine.
  auto vanishingLine = [](const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to, cv::Vec3d& l) {
    cv::Matx33d H;
    if (!fitHomography(from, to, H)) return false;
    const cv::Matx33d Hinv = H.inv();
    l = cv::Vec3d(Hinv(2, 0), Hinv(2, 1), Hinv(2, 2));
    return std::isfinite(l[0]) && std::isfinite(l[1]) && std::isfinite(l[2]) && std::hypot(l[0], l[1]) > 0.0;
  };
  cv::Vec3d global;
  if (!vanishingLine(board, image, global)) return;
  // Lens distortion bends the vanishing line from place to place, so each
  // circle takes it from the homography of the points found within three
  // grid steps (the whole board's where fewer than 12 are found there).
  // Nearer points follow the lens better but carry more of their noise
  // into the line; three steps measured best on rendered distorted views.
  constexpr int reach = 3;
  Model2D_RotatedEllipse<cv::Point> model(setting("fitrange"));
  std::vector<cv::Point2f> nearBoard, nearImage;
  for (int i : index) {
    if (!model.fit(contours[static_cast<std::size_t>(gridSource_[static_cast<std::size_t>(i)])])) continue;
    cv::Vec3d line = global;
    nearBoard.clear();
    nearImage.clear();
    const int row = i / nx_, col = i % nx_;
    for (std::size_t k = 0; k < index.size(); ++k) {
      const int r = index[k] / nx_, c = index[k] % nx_;
      if (std::abs(r - row) <= reach && std::abs(c - col) <= reach) {
        nearBoard.push_back(board[k]);
        nearImage.push_back(image[k]);
      }
    }
    cv::Vec3d local;
    if (nearBoard.size() >= 12 && vanishingLine(nearBoard, nearImage, local)) line = local;
    const double l1 = line[0], l2 = line[1], l3 = line[2];
    const double cx = model.cx(), cy = model.cy();
    // The line's value at the centre: zero would put the circle on its
    // own vanishing line.
    const double side = l1 * cx + l2 * cy + l3;
    if (!(std::fabs(side) > 0.0)) continue;
    // Ellipse (u - c)^T M (u - c) = 1 with M = R diag(1/a^2, 1/b^2) R^T;
    // the pole of l is c - M^-1 (l1, l2) / (l . c).
    const double c = std::cos(model.theta()), s = std::sin(model.theta());
    const double a2 = model.a() * model.a(), b2 = model.b() * model.b();
    const double m00 = c * c * a2 + s * s * b2, m11 = s * s * a2 + c * c * b2, m01 = c * s * (a2 - b2);
    const double dx = -(m00 * l1 + m01 * l2) / side, dy = -(m01 * l1 + m11 * l2) / side;
    // A shift beyond the ellipse's smaller axis means a vanishing line
    // through or next to the circle: a homography gone wrong, not a view.
    if (!(std::hypot(dx, dy) < std::min(model.a(), model.b()))) continue;
    result[static_cast<std::size_t>(i)] = cv::Point2f(static_cast<float>(cx + dx), static_cast<float>(cy + dy));
  }
}

void CircleCalibBoard::drawMarkers(cv::Mat& target, const std::vector<cv::Point2f>& result) const {
  if (result.size() != static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_)) return;
  auto found = [&](int gx, int gy, cv::Point2f& p) {
    const int col = offsetX_ + gx, row = offsetY_ + gy;
    if (col < 0 || col >= nx_ || row < 0 || row >= ny_) return false;
    p = result[static_cast<std::size_t>(gridIndex(gx, gy))];
    return p.x != FLT_MAX;
  };
  auto rounded = [](const cv::Point2f& p) {
    return cv::Point(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
  };
  for (int gy = negOffsetY_; gy <= originY_; ++gy) {
    for (int gx = negOffsetX_; gx <= originX_; ++gx) {
      cv::Point2f p, q;
      if (!found(gx, gy, p)) continue;
      const cv::Scalar colour = kPalette[((nx_ + gx) % 6 + 6) % 6];
      if (gx + 1 <= originX_ && found(gx + 1, gy, q)) cv::line(target, rounded(p), rounded(q), colour, 1, cv::LINE_8);
      if (gy + 1 <= originY_ && found(gx, gy + 1, q)) cv::line(target, rounded(p), rounded(q), colour, 1, cv::LINE_8);
      const int radius = (gx % 2 == 0 && gy % 2 == 0) ? 10 : 5;
      cv::circle(target, rounded(p), radius, colour, -1, cv::LINE_8);
    }
  }
}

void CircleCalibBoard::detect(const cv::Mat& image, std::vector<cv::Point2f>& result, cv::Mat* drawing,
                              std::ostream* warn) {
  if (image.empty()) throw CircleCalibBoardError("empty image");
  cv::Mat grey;
  if (image.type() == CV_8UC1)
    grey = image;
  else if (image.type() == CV_8UC3)
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  else if (image.type() == CV_8UC4)
    cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
  else
    throw CircleCalibBoardError("unsupported image type");
  if (nx_ <= 0 || ny_ <= 0 || nx_ > kMaxCirclesPerSide || ny_ > kMaxCirclesPerSide)
    throw CircleCalibBoardError("board size out of range");

  if (drawing) cv::cvtColor(grey, *drawing, cv::COLOR_GRAY2BGR);
  result.assign(static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_), cv::Point2f(FLT_MAX, FLT_MAX));
  if (width_ == 0 && height_ == 0) {
    width_ = grey.cols;
    height_ = grey.rows;
    computeLimits(width_, height_);
  }

  std::vector<std::vector<cv::Point>> contours;
  const cv::Mat bin = binarize(grey);
  if (!bin.empty()) cv::findContours(bin, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE, cv::Point(0, 0));

  const double minimum = setting("n_circles_minimum");
  auto require = [minimum](std::size_t count, const char* stage) {
    if (minimum > static_cast<double>(count)) throw CircleCalibBoardError_FewContours(static_cast<int>(count), stage);
  };
  std::erase_if(contours, [this](const auto& c) { return c.size() < minLen_; });
  require(contours.size(), "cv::findContours");
  std::erase_if(contours, [this](const auto& c) { return c.size() > maxLen_; });
  require(contours.size(), "cv::findContours");

  std::vector<cv::Point2f> centres;
  std::vector<cv::Vec2i> axes;
  getEllipse(contours, centres, axes);
  require(contours.size(), "get_ellipse");
  leaveLargestGroup(contours, centres, axes);
  require(contours.size(), "leave_largest_group");

  const int origin = findBaseMarker(contours, centres, axes);
  if (origin < 0) {
    (warn ? *warn : std::cerr) << "Warning: Base Marker not found. Skip this image\n";
    return;
  }
  buildNeighbours(centres, axes);
  walkGrid(origin, centres, result);
  correctPerspective(contours, result);
  if (drawing) drawMarkers(*drawing, result);
  (void)displayScale_;
}

bool detectCircleBoard(CircleCalibBoard& board, const cv::Mat& image, std::vector<cv::Point2f>& result,
                       std::ostream* err) {
  std::vector<cv::Point2f> fresh;
  try {
    board.detect(image, fresh, nullptr, err);
  } catch (const CircleCalibBoardError_FewContours& e) {
    (err ? *err : std::cerr) << "例外発生： cause=CircleCalibBoardError_FewContours at=" << e.at
                             << " n_contour=" << e.n_contour << "マーカーの探索に失敗しました. error code = " << 1
                             << std::endl;
    return false;
  }
  result = std::move(fresh);
  return true;
}

}  // namespace calibrix
