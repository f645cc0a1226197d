#pragma once
// Calibration image files: the split layout (one file per camera and frame)
// or the combined layout (both cameras side by side in one file), and the
// loading plus detection of one camera's frames.

#include <opencv2/core.hpp>

#include <iosfwd>
#include <string>
#include <vector>

#include "calibrix/circle_calib_board.h"

namespace calibrix {

enum class ImageLayout { Split, Combined };

// Split when dirname/hdrname00_0.pgm exists, else combined.
ImageLayout chooseLayout(const std::string& dirname, const std::string& hdrname);

// File that holds `frame` (-1: the reference frame) of `camera`.
std::string imagePath(ImageLayout layout, const std::string& dirname, const std::string& hdrname, int frame,
                      int camera);

// The camera's grey image of the frame: the whole file in the split layout,
// the camera's half (width / 2 columns) in the combined one. Empty when the
// file is missing or unreadable.
cv::Mat loadCameraImage(ImageLayout layout, const std::string& dirname, const std::string& hdrname, int frame,
                        int camera);

// Loads and detects frames 0 .. nFrames-1 of `camera` into results (resized
// to nFrames), creating dirname/circleNN.bin (NN = camera + 2 * frame) for
// each. Writes its failure messages to err and returns false on the first.
bool loadImageSet(CircleCalibBoard& board, ImageLayout layout, const std::string& dirname, const std::string& hdrname,
                  int nFrames, int camera, std::vector<std::vector<cv::Point2f>>& results, std::ostream& err);

}  // namespace calibrix
