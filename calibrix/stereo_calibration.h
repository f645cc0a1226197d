#pragma once
// Camera and stereo calibration from board detections, the rectified stereo
// model, the reference-board step and the calibration output files.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "calibrix/circle_calib_board.h"
#include "decoder/common/camera_models.h"

namespace calibrix {

using Detection = std::vector<cv::Point2f>;  // grid points, FLT_MAX where missing

// A physical camera as calibrated. R_ext keeps the extrinsic rotation while
// R holds the rectification rotation.
class CalibCamera : public zel::DistortCamera {
 public:
  explicit CalibCamera(std::string cameraName = "distcam") : zel::DistortCamera(std::move(cameraName)) {}
  cv::Size size() const { return {width, height}; }
  // P = K [R | T] over (0 0 0 1), and its inverse.
  void updateP();
  cv::Mat R_ext;
};

// The stereo model as calibrix builds it: the shared stereo camera plus the
// rectified projections as the rectification produced them.
class CalibStereo : public zel::StereoCamera {
 public:
  cv::Size size;
  cv::Mat P1_saved, P2_saved;
};
using StereoRig = CalibStereo;

inline cv::Mat P3(const zel::PinHoleCamera& c) { return c.P.rowRange(0, 3).clone(); }

// Per-frame correspondences of the found grid points.
void correspondences(const Detection& d, const CircleCalibBoard& board, std::vector<cv::Point2f>& image,
                     std::vector<cv::Point3f>& object);

// Points found in both detections of one frame (the stereo steps use only these).
void commonCorrespondences(const Detection& a, const Detection& b, const CircleCalibBoard& board,
                           std::vector<cv::Point2f>& ia, std::vector<cv::Point2f>& ib,
                           std::vector<cv::Point3f>& object);

// Mean of |dx| + |dy| over the points of one frame.
double frameError(const std::vector<cv::Point2f>& detected, const std::vector<cv::Point2f>& projected);

// Calibrates one camera over the frames listed in `frames`; fills frame
// errors (L1 mean per point, one per listed frame) and returns the RMS error.
double calibrateCamera(CalibCamera& cam, const std::vector<Detection>& results, const std::vector<int>& frames,
                       const CircleCalibBoard& board, std::vector<double>& frameErrors);

// Stereo calibration over the listed frames using the points found in both
// images; stores camera 1's R and T and returns the RMS (rectify_err).
double calibrateStereo(CalibCamera& cam0, CalibCamera& cam1, const std::vector<Detection>& r0,
                       const std::vector<Detection>& r1, const std::vector<int>& frames, const CircleCalibBoard& board);

// Rectification, rectified projections, Q and the maps.
void buildStereo(StereoRig& rig, CalibCamera& cam0, CalibCamera& cam1);

cv::Vec3d triangulate(const StereoRig& rig, cv::Point2f left, cv::Point2f right);

// Moves the world onto the reference board; false (nothing changed) when a
// base-marker point is missing in either detection.
bool fixWorldToReference(StereoRig& rig, const Detection& left, const Detection& right, const CircleCalibBoard& board);

// Writers of the output files into dir; each file is written under a
// temporary name and renamed, so a failed write leaves no partial file.
bool writeCameraFile(CalibCamera& cam, const std::string& dir = ".");      // name + "_param.yaml"
bool writeStereoFile(const StereoRig& rig, const std::string& dir = ".");  // name + "_param.yaml"
bool writeProjectionAndMaps(const StereoRig& rig, const std::string& dir = ".");
bool writeResultFile(const std::string& path, int status, double baseLine, double rectifyErr,
                     const std::vector<double>& imgErrs);

// The calibration files of one run, written as a set: every file goes into a
// staging folder beside the working directory's files and is moved over the
// earlier set only when all of them were written, so a failure (a full disk)
// never leaves a new stereo file beside old hmat and rect files.
class OutputSet {
 public:
  explicit OutputSet(const std::string& dir);  // creates dir/.calibrix-XXXXXX
  ~OutputSet();                                // removes the staging folder
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Where the files are written; empty when the staging folder could not be
  // made (every write then fails).
  const std::string& staging() const { return staging_; }
  // Moves the named files from staging into dir. False with the reason when
  // one could not be moved.
  bool commit(const std::vector<std::string>& names, std::string& error);

 private:
  std::string dir_;
  std::string staging_;
};

}  // namespace calibrix
