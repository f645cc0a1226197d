#pragma once
// Readers of the calibration files the decoders load: the camera parameter
// YAML files ("cam0_param.yaml", "cam1_param.yaml"), the projection-matrix
// files ("hmat0.dat", "hmat1.dat") and the rectification table ("rect.param").
//
// Every loader builds the complete new calibration first and replaces the
// caller's stereo camera only when all of it loaded, so a failed load never
// leaves a half-replaced map or matrix behind.
#include "decoder/common/camera_models.h"

#include <array>
#include <string>

namespace zel {

// Reads one camera parameter file into cam (keys name + "_size", "_K", "_R",
// "_T", "_P", "_D") with the guarded YAML reader. Absent keys keep the
// camera's values; an absent "_size" gives 0 x 0. False, with *error (when
// given) naming the file and the cause, when the file does not open or is
// refused by the reader, a present size is not two positive integers, a
// present matrix has the wrong shape or a non-finite value, K has a focal
// length that is not positive, or R is not a rotation.
bool readCameraParamFile(const std::string& path, DistortCamera& cam, int& sizeWidth, int& sizeHeight,
                         std::string* error = nullptr);

// Reads the first 96 bytes of a projection-matrix file: 12 little-endian
// doubles, row-major 3x4. False when missing, short or not finite.
bool readProjectionFile(const std::string& path, cv::Mat& p3x4);

// The four maps of "rect.param" in file order: left x, right x, left y, right y.
using RectMaps = std::array<cv::Mat, 4>;
// Reads "rect.param" for an image of width x height. False on a missing file,
// a block whose element count is not width * height, or a short read.
bool readRectParamFile(const std::string& path, int width, int height, RectMaps& maps);

// Reprojection matrix of a rectified pair set from projection matrices, in the
// world frame of those matrices. The pair's orientation is decided by the
// baseline expressed in the left rectified frame: horizontal when its x
// component dominates.
cv::Mat buildProjectionQ(const PinHoleCamera& left, const PinHoleCamera& right);

// Loads the stereo calibration from dir (ending in a separator) as selected by
// coord: 0 camera parameter files, 1 projection-matrix files and rect.param.
// The rectified cameras get width x height. Writes the progress lines of the
// loaders ("Using YAML Parameter.", "Using HMAT Parameter." on stderr,
// "baseline : ..." on stdout). Other coord values load nothing and return
// previousLoaded (the calibration in force stays). stereo is replaced only on
// success. On failure one line "error: calibration: <cause>" goes to stderr
// and *error (when given) receives the cause, which names the file.
bool loadStereoCalibration(const std::string& dir, int coord, int width, int height, bool previousLoaded,
                           StereoCamera& stereo, std::string* error = nullptr);

}  // namespace zel
