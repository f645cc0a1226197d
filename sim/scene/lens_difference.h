#pragma once
// How far an estimated camera model (camera matrix and distortion) is from the
// true one: the true ray of each pixel, projected again with the estimate.
#include <opencv2/core.hpp>

#include <vector>

namespace sim {

// 21 x 17 pixels spread evenly from corner to corner of a width x height image.
std::vector<cv::Point2f> imageGrid(int width, int height);

// The worst distance, in pixels, between each pixel and the estimate's
// projection of the pixel's true ray. With alignRotation the estimate may first
// turn its camera frame by the rotation that fits best (least squares): board
// poses and the stereo rotation take up any such rotation, so it is no lens
// error, while a principal point a few hundredths of a pixel off would read
// as an error of that size everywhere.
double lensModelDifference(const cv::Mat& trueK, const cv::Mat& trueD, const cv::Mat& K, const cv::Mat& D,
                           const std::vector<cv::Point2f>& pixels, bool alignRotation);

}  // namespace sim
