// calibrix: stereo calibration of the two-camera head from circle-board images.
#include <opencv2/core/utils/logger.hpp>

#include <iostream>

#include "calibrix/command_line.h"

int main(int argc, char** argv) {
  // The console carries this program's own messages only; OpenCV's log
  // lines (e.g. about a settings file it can't open) would interleave.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return calibrix::runCalibrix(argc, argv, std::cout, std::cerr);
}
