#pragma once
// Circle-grid calibration board: settings, derived geometry and the detection
// of the grid of circle centres in one grey image.

#include <opencv2/core.hpp>

#include <array>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibrix/calib_board.h"

namespace calibrix {

class CircleCalibBoardError : public std::runtime_error {
 public:
  explicit CircleCalibBoardError(const std::string& what) : std::runtime_error(what) {}
};

// Too few candidate circles survived one stage of the detection.
class CircleCalibBoardError_FewContours : public CircleCalibBoardError {
 public:
  CircleCalibBoardError_FewContours(int nContour, std::string stage)
      : CircleCalibBoardError("too few contours"), n_contour(nContour), at(std::move(stage)) {}
  int n_contour;
  std::string at;
};

class CircleCalibBoard : public CalibBoard {
 public:
  // displayScale is kept for the debug view; 0 turns every display off
  // (this build has no on-screen display).
  explicit CircleCalibBoard(float displayScale = 0.0f);
  ~CircleCalibBoard() override;

  // Reads a settings file (nullptr: keep the defaults) and recomputes the
  // derived geometry. Throws iFileStorage_error when the file can't be opened.
  void readSettings(const char* path);

  // Recomputes offsets, bounds and object points from the settings.
  void computeGeometry();

  // Detects the board. `result` gets nCirclesX() * nCirclesY() points,
  // row-major, (FLT_MAX, FLT_MAX) where a circle was not found. With a
  // drawing target the colour image with the markers is written into it.
  // Throws CircleCalibBoardError_FewContours; a missing base marker only
  // writes a warning to `warn` and leaves every point at FLT_MAX.
  void detect(const cv::Mat& image, std::vector<cv::Point2f>& result, cv::Mat* drawing = nullptr,
              std::ostream* warn = nullptr);

  int nCirclesX() const { return nx_; }
  int nCirclesY() const { return ny_; }
  int offsetX() const { return offsetX_; }
  int offsetY() const { return offsetY_; }
  int originX() const { return originX_; }
  int originY() const { return originY_; }
  int gridIndex(int gx, int gy) const { return (offsetY_ + gy) * nx_ + offsetX_ + gx; }
  int originMarkerIndex() const { return gridIndex(0, 0); }
  // Object points, nCirclesY() rows by nCirclesX() columns of CV_32FC3.
  const cv::Mat& objectPoints() const { return objectPoints_; }

  // Board axes found with the last base marker.
  cv::Point2f ex() const { return ex_; }
  cv::Point2f ey() const { return ey_; }
  // Neighbours (+x, -x, +y, -y) of every circle kept by the last detection.
  const std::vector<std::array<int, 4>>& neighbours() const { return neighbours_; }

  // Detection stages, exposed for tests and tools. Each works on parallel
  // lists of contours, centres and axes.
  void computeLimits(int width, int height);
  cv::Mat binarize(const cv::Mat& grey) const;
  void getEllipse(std::vector<std::vector<cv::Point>>& contours, std::vector<cv::Point2f>& centres,
                  std::vector<cv::Vec2i>& axes) const;
  void leaveLargestGroup(std::vector<std::vector<cv::Point>>& contours, std::vector<cv::Point2f>& centres,
                         std::vector<cv::Vec2i>& axes) const;
  // Returns the index of the origin circle, or -1 when there is no base marker.
  int findBaseMarker(std::vector<std::vector<cv::Point>>& contours, std::vector<cv::Point2f>& centres,
                     std::vector<cv::Vec2i>& axes);
  void buildNeighbours(const std::vector<cv::Point2f>& centres, const std::vector<cv::Vec2i>& axes);
  void walkGrid(int origin, const std::vector<cv::Point2f>& centres, std::vector<cv::Point2f>& result);
  // Moves every placed point from its fitted ellipse's centre to the image
  // of the circle's centre: under perspective the two differ (by a few
  // tenths of a pixel for near, tilted views). `contours` are the ones the
  // last walkGrid() placed the points from.
  void correctPerspective(const std::vector<std::vector<cv::Point>>& contours, std::vector<cv::Point2f>& result) const;
  void drawMarkers(cv::Mat& target, const std::vector<cv::Point2f>& result) const;

 private:
  float displayScale_;
  int nx_ = 0, ny_ = 0;
  int offsetX_ = 0, offsetY_ = 0;
  int negOffsetX_ = 0, negOffsetY_ = 0;
  int originX_ = 0, originY_ = 0;
  cv::Mat objectPoints_;
  std::vector<std::array<int, 4>> neighbours_;
  // For every grid index, the contour the last walkGrid() placed there (-1: none).
  std::vector<int> gridSource_;
  cv::Point2f ex_{1.0f, 0.0f}, ey_{0.0f, 1.0f};
};

// Runs the detection for the calibration run: true on success. A too-few-
// contours failure is reported on `err` (standard error by default) and gives
// false; other exceptions pass through.
bool detectCircleBoard(CircleCalibBoard& board, const cv::Mat& image, std::vector<cv::Point2f>& result,
                       std::ostream* err = nullptr);

}  // namespace calibrix
