#pragma once
// Camera models shared by both decoders and the calibration tool.
#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace zel {

// One ideal pinhole camera. When set from a projection matrix, T is the camera
// centre in world coordinates.
class PinHoleCamera {
 public:
  explicit PinHoleCamera(std::string name = "pinhole", int width = 0, int height = 0);
  virtual ~PinHoleCamera();

  // Copies the 3x4 matrix into rows 0..2 of P, decomposes it into K, R and the
  // camera centre T, and recomputes Pinv. False (camera unchanged) when the
  // matrix is not 3x4, not finite, or not invertible.
  bool setProjection(const cv::Mat& p3x4);
  // Recomputes Pinv from P (LU). False when P is singular or not finite.
  bool updateInverse();
  // Ray direction of pixel (u, v) in world coordinates: the first three
  // components of Pinv * (u, v, 1, 0). The ray starts at T.
  cv::Vec3d backProject(double u, double v) const;

  std::string name;
  int width = 0;
  int height = 0;
  cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
  cv::Mat R = cv::Mat::eye(3, 3, CV_64F);
  cv::Mat T = cv::Mat::zeros(3, 1, CV_64F);
  cv::Mat P = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat Pinv = cv::Mat::eye(4, 4, CV_64F);
};

// A physical camera: a pinhole camera with lens distortion D.
class DistortCamera : public PinHoleCamera {
 public:
  explicit DistortCamera(std::string name = "distcam", int width = 0, int height = 0);
  ~DistortCamera() override;

  cv::Mat D;
};

// A rectified, distortion-free virtual camera with its rectification maps.
class UndistortCamera : public PinHoleCamera {
 public:
  explicit UndistortCamera(std::string name = "undiscam", int width = 0, int height = 0);
  ~UndistortCamera() override;

  // Sets the name and the map file name (name + ".map").
  void setName(const std::string& newName);
  // The OpenCV interpolation flag for the interpolation selector.
  int interpolationFlag() const;
  // Rectifies an 8-bit raw image: out (raw size and type) is filled with the
  // fill value, then the raw image is remapped into it with transparent
  // borders, so pixels whose source lies outside keep the fill value. out may
  // be a header over caller memory; it is reallocated only when its size or
  // type differ. False when the maps do not match the raw image's size.
  bool rectify(const cv::Mat& raw, cv::Mat& out) const;
  // The same for rows [y0, y1) of the rectified image only: out must be
  // (y1 - y0) x width of the raw type (typically a header over caller
  // memory); each of its pixels gets exactly the value rectify gives it.
  // False when the maps do not match the raw image or the rows lie outside.
  bool rectifyRows(const cv::Mat& raw, int y0, int y1, cv::Mat& out) const;

  // Rectifies rows [y0, y1) of n raw images of the maps' size at once:
  // outs[k] gets (y1 - y0) rows of `width` pixels, each the value
  // rectifyRows gives it. With compacted maps the columns whose sources lie
  // inside the raw image in all these rows are interpolated here, the source
  // positions and weights found once for all n images.
  bool rectifyRowsOfMany(const std::uint8_t* const* raws, int n, int y0, int y1, std::uint8_t* const* outs) const;

  // Replaces bilinear float maps by the fixed-point form cv::remap turns them
  // into before it interpolates (CV_16SC2 source pixel, CV_16UC1 weights
  // index): 6 instead of 8 bytes a pixel, and every rectified value stays
  // the same. Other interpolations keep their float maps.
  void compactMaps();
  // Size of the rectified image the maps cover (whichever form they have).
  cv::Size mapSize() const { return mapX.empty() ? fixedXY.size() : mapX.size(); }

  int mapType = 1;        // 1: two float32 tables
  int interpolation = 1;  // 0 nearest, 2 cubic, 3 Lanczos, otherwise bilinear
  std::string mapFileName;
  cv::Mat mapX;  // height x width float32: raw x of each rectified pixel
  cv::Mat mapY;
  cv::Mat fixedXY;  // after compactMaps, in place of mapX and mapY
  cv::Mat fixedA;
  cv::Rect validRegion;
  cv::Scalar fillValue = cv::Scalar::all(0);

 private:
  // The columns [from, to) in which rows [y0, y1) take every pixel's 2 x 2
  // sources from inside the raw image (compacted maps only); false when
  // there are none.
  bool insideColumns(int y0, int y1, int& from, int& to) const;
  // Remaps rows [y0, y1), columns [c0, c1) of the rectified image into out
  // (a header over them) with cv::remap, filled first when asked.
  void remapPart(const cv::Mat& raw, int y0, int y1, int c0, int c1, bool fill, cv::Mat& out) const;

  // After compactMaps, per row: the longest stretch of such pixels.
  std::vector<int> insideFrom_, insideTo_;
};

// The stereo pair: left and right rectified cameras and the reprojection matrix
// Q, which maps (column, row, disparity, 1) of the left rectified image to
// homogeneous 3-D coordinates.
class StereoCamera {
 public:
  StereoCamera();
  virtual ~StereoCamera();

  // Names both rectified cameras ("stereoL", "stereoR") and sets their size.
  void configure(int width, int height);

  std::string name = "stereo";
  UndistortCamera left;
  UndistortCamera right;
  cv::Mat Q = cv::Mat::zeros(4, 4, CV_64F);
};

}  // namespace zel
