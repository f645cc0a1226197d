#pragma once
// Writers of the calibration files the decoders load: the camera parameter
// YAML ("cam0_param.yaml", "cam1_param.yaml"), the rectified projection
// matrices ("hmat0.dat", "hmat1.dat") and the rectification table
// ("rect.param"). Used by the calibration tool and by the virtual head.
//
// Every writer builds the whole file under a temporary name in the target's
// folder and renames it over the target only when every byte reached the
// disk, so a failed write never leaves a partial file under the real name.
// No writer throws; each returns false on bad input or an I/O failure.
#include <string>

#include <opencv2/core.hpp>

namespace calibfiles {

// One physical camera as it is stored in name + "_param.yaml".
struct CameraParams {
  std::string name;  // "cam0" (left) or "cam1" (right); prefixes every key
  cv::Size size;     // image width, height in pixels
  cv::Mat K;         // 3x3 camera matrix
  cv::Mat R;         // 3x3: identity for cam0, rotation cam0 -> cam1 for cam1
  cv::Mat T;         // 3x1: zero for cam0, translation cam0 -> cam1 for cam1
  cv::Mat P;         // 3x4 (or 4x4, top three rows used): K [R | T]
  cv::Mat R2;        // 3x3 rectification rotation; empty: the key is left out
  cv::Mat D;         // distortion coefficients (4, 5, 8, 12 or 14 values)
};

// Writes the camera parameter file at `path` with the keys name + "_size",
// "_K", "_R", "_T", "_P", "_R2" (when given), "_D" in this order; matrices as
// double matrix nodes. False on a malformed field or a failed write.
bool writeCameraParamFile(const std::string& path, const CameraParams& camera);

// Writes the 3x4 projection matrix P (3x4 or 4x4, any numeric type) as 12
// little-endian doubles, row by row: exactly 96 bytes.
bool writeHmatFile(const std::string& path, const cv::Mat& P);

// Writes the four maps (same size, single channel; converted to float32) in
// the order left x, right x, left y, right y. Each block: int32 LE element
// count, zero bytes up to a multiple of 8 of the file offset, the values row
// by row as float32 LE, zero bytes up to the next multiple of 8.
bool writeRectParamFile(const std::string& path, const cv::Mat& leftMapX, const cv::Mat& rightMapX,
                        const cv::Mat& leftMapY, const cv::Mat& rightMapY);

// Size in bytes of the rect.param file for maps of `size` (0 for an empty or
// too large size): 4 blocks of 8 + 4 * count bytes, each rounded up to 8.
long long rectParamFileSize(cv::Size size);

// Writes `bytes` to `path` through a temporary file in the same folder and an
// atomic rename. False (and no file under `path` changed) on any failure.
bool writeFileAtomically(const std::string& path, const std::string& bytes);

}  // namespace calibfiles
