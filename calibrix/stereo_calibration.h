#pragma once
// Camera and stereo calibration from board detections, the rectified stereo
// model, the reference-board step and the calibration output files.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "calibrix/circle_calib_board.h"

namespace calibrix {

using Detection = std::vector<cv::Point2f>;  // grid points, FLT_MAX where missing

// A physical camera as calibrated (all matrices CV_64F).
struct CalibCamera {
    std::string name;
    cv::Size size;
    cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
    cv::Mat D;  // k1, k2, p1, p2, k3
    cv::Mat R = cv::Mat::eye(3, 3, CV_64F);  // after rectification: the rectification rotation
    cv::Mat T = cv::Mat::zeros(3, 1, CV_64F);
    cv::Mat P = cv::Mat::eye(4, 4, CV_64F);  // K [R | T] over (0 0 0 1)
    cv::Mat R_ext;  // extrinsic rotation kept when R is replaced
    void updateP();
};

// A rectified, distortion-free camera with its pixel maps.
struct RectifiedCamera {
    std::string name;
    cv::Size size;
    cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
    cv::Mat R = cv::Mat::eye(3, 3, CV_64F);
    cv::Mat T = cv::Mat::zeros(3, 1, CV_64F);  // camera centre once P was set
    cv::Mat P = cv::Mat::eye(4, 4, CV_64F);
    cv::Mat Pinv = cv::Mat::eye(4, 4, CV_64F);
    cv::Rect roi;
    cv::Mat mapX, mapY;  // CV_32FC1, size
    cv::Scalar fill;
    std::string mapName() const { return name + ".map"; }
    // Sets the top three rows of P and recovers K, R and the centre T.
    void setP(const cv::Mat& P3x4);
    cv::Mat P3() const { return P.rowRange(0, 3).clone(); }
    // Remaps a raw image; pixels without source keep the fill colour.
    cv::Mat rectify(const cv::Mat& raw) const;
};

struct StereoRig {
    std::string name = "stereo";
    cv::Size size;
    RectifiedCamera L, R;
    cv::Mat Q;
    cv::Mat P1_saved, P2_saved;
};

// Per-frame correspondences of the found grid points.
void correspondences(const Detection& d, const CircleCalibBoard& board,
                     std::vector<cv::Point2f>& image, std::vector<cv::Point3f>& object);

// Points found in both detections of one frame (the stereo steps use only these).
void commonCorrespondences(const Detection& a, const Detection& b, const CircleCalibBoard& board,
                           std::vector<cv::Point2f>& ia, std::vector<cv::Point2f>& ib,
                           std::vector<cv::Point3f>& object);

// Mean of |dx| + |dy| over the points of one frame.
double frameError(const std::vector<cv::Point2f>& detected,
                  const std::vector<cv::Point2f>& projected);

// Calibrates one camera over the frames listed in `frames`; fills frame
// errors (L1 mean per point, one per listed frame) and returns the RMS error.
double calibrateCamera(CalibCamera& cam, const std::vector<Detection>& results,
                       const std::vector<int>& frames, const CircleCalibBoard& board,
                       std::vector<double>& frameErrors);

// Stereo calibration over the listed frames using the points found in both
// images; stores camera 1's R and T and returns the RMS (rectify_err).
double calibrateStereo(CalibCamera& cam0, CalibCamera& cam1, const std::vector<Detection>& r0,
                       const std::vector<Detection>& r1, const std::vector<int>& frames,
                       const CircleCalibBoard& board);

// Rectification, rectified projections, Q and the maps.
void buildStereo(StereoRig& rig, CalibCamera& cam0, CalibCamera& cam1);

cv::Vec3d triangulate(const StereoRig& rig, cv::Point2f left, cv::Point2f right);

// Moves the world onto the reference board; false (nothing changed) when a
// base-marker point is missing in either detection.
bool fixWorldToReference(StereoRig& rig, const Detection& left, const Detection& right,
                         const CircleCalibBoard& board);

bool writeCameraFile(CalibCamera& cam);  // name + "_param.yaml"
bool writeStereoFile(const StereoRig& rig);  // name + "_param.yaml"
bool writeProjectionAndMaps(const StereoRig& rig, const std::string& dir = ".");
bool writeResultFile(const std::string& path, int status, double baseLine, double rectifyErr,
                     const std::vector<double>& imgErrs);

}  // namespace calibrix
