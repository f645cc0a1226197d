#include "calibrix/utilities.h"

#include "decoder/common/calib_files.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "calibrix/circle_calib_board.h"
#include "calibrix/netpbm.h"
#include "calibrix/rect_tables.h"

namespace calibrix {

namespace {

bool tablesCover(const RectTables& tables, int eye, int width, int height) {
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  return tables.mapX(eye).size() >= pixels && tables.mapY(eye).size() >= pixels;
}

}  // namespace

int convRectifyImg(const std::string& input, const std::string& rectParam, const std::string& eyeType,
                   const std::string& output, std::ostream& out, std::ostream& err) {
  out << "convert to rectified image." << std::endl;
  out << "\tsrcFilePath = " << input << std::endl;
  out << "\trectPrmFilePath=" << rectParam << std::endl;
  out << "\teyeType=" << eyeType << std::endl;
  out << "\toutFilePath=" << output << std::endl;
  const unsigned eye = static_cast<unsigned>(std::atoi(eyeType.c_str()));
  if (eye > 1) {
    err << "NG: eye_type is left=0 or right=1" << std::endl;
    return 1;
  }
  NetpbmImage src;
  if (!readNetpbm(input, src)) {
    err << "NG: src image read failed. path=" << input << std::flush;
    return 2;
  }
  RectTables tables;
  switch (loadRectParam(rectParam, tables)) {
    case RectLoad::ReadFailed: err << "NG: rect param file read failed. path=" << rectParam << std::flush; return 3;
    case RectLoad::Invalid: err << "NG: rectify table load failed." << std::flush; return 4;
    case RectLoad::Ok: break;
  }
  if (!tablesCover(tables, static_cast<int>(eye), src.width, src.height)) {
    err << "NG: rectify table load failed." << std::flush;
    return 4;
  }
  const NetpbmImage rect = remapNetpbm(src, tables, static_cast<int>(eye), src.width, src.height);
  if (!writeNetpbm(output, rect)) {
    err << "NG: rectified image save failed." << std::flush;
    return 5;
  }
  out << "OK: conversion success" << std::flush;
  return 0;
}

int convRectifyLrImg(const std::string& input, const std::string& rectParam, const std::string& outLeft,
                     const std::string& outRight, std::ostream& out, std::ostream& err) {
  out << "convert to rectified image." << std::endl;
  out << "\tsrcFilePath = " << input << std::endl;
  out << "\trectPrmFilePath=" << rectParam << std::endl;
  NetpbmImage src;
  if (!readNetpbm(input, src)) {
    err << "NG: src image read failed. path=" << input << std::flush;
    return 1;
  }
  RectTables tables;
  switch (loadRectParam(rectParam, tables)) {
    case RectLoad::ReadFailed: err << "NG: rect param file read failed. path=" << rectParam << std::flush; return 2;
    case RectLoad::Invalid: err << "NG: rectify table load failed." << std::flush; return 3;
    case RectLoad::Ok: break;
  }
  const int half = src.width / 2;
  if (!tablesCover(tables, 0, half, src.height) || !tablesCover(tables, 1, half, src.height)) {
    err << "NG: rectify table load failed." << std::flush;
    return 3;
  }
  int status = 0;
  const std::string* paths[2] = {&outLeft, &outRight};
  for (int eye = 0; eye < 2; ++eye) {
    out << "convert start. eye=" << eye << " outputFile=" << *paths[eye] << std::endl;
    NetpbmImage part;
    part.width = half;
    part.height = src.height;
    part.channels = src.channels;
    const std::size_t rowBytes = static_cast<std::size_t>(half) * src.channels;
    const std::size_t srcStride = static_cast<std::size_t>(src.width) * src.channels;
    part.data.resize(rowBytes * static_cast<std::size_t>(src.height));
    for (int y = 0; y < src.height; ++y)
      std::copy_n(
          src.data.begin() + static_cast<std::ptrdiff_t>(y * srcStride + static_cast<std::size_t>(eye) * rowBytes),
          rowBytes, part.data.begin() + static_cast<std::ptrdiff_t>(y * rowBytes));
    const NetpbmImage rect = remapNetpbm(part, tables, eye, half, src.height);
    if (!writeNetpbm(*paths[eye], rect)) {
      err << "NG: rectified image save failed." << std::flush;
      status = 4;
      break;
    }
  }
  if (status == 0)
    out << "OK: conversion success" << std::flush;
  else
    err << "NG: conversion failed." << std::flush;
  return status;
}

int drawMarker(const std::string& input, const std::string& output, const char* settings, std::ostream& err) {
  const cv::Mat image = cv::imread(input, cv::IMREAD_GRAYSCALE);
  if (image.empty()) {
    err << "input image load failed. path=" << input << std::flush;
    return 2;
  }
  CircleCalibBoard board(0.0f);
  board.readSettings(settings);
  std::vector<cv::Point2f> result;
  cv::Mat drawing;
  try {
    board.detect(image, result, &drawing, &err);
  } catch (const CircleCalibBoardError_FewContours&) {
    err << "image scan failed. ret=" << 0 << " path=" << input << std::flush;
    return 3;
  }
  // Encoded in memory and written through a temporary and a rename: a full
  // disk leaves the earlier image, never a truncated one.
  bool written = false;
  try {
    const std::size_t dot = output.rfind('.');
    std::vector<std::uint8_t> bytes;
    written = dot != std::string::npos && output.find('/', dot) == std::string::npos &&
              cv::imencode(output.substr(dot), drawing, bytes) &&
              calibfiles::writeFileAtomically(output, std::string(bytes.begin(), bytes.end()));
  } catch (const cv::Exception&) {
    written = false;  // e.g. an extension no encoder knows
  }
  if (!written) {
    err << "output image write failed. path=" << output << std::flush;
    return 4;
  }
  return 0;
}

int settingOutputCsv(const char* settings, std::ostream& out) {
  CircleCalibBoard board(0.0f);
  board.readSettings(settings);
  std::ostringstream line;
  line << std::fixed << std::setprecision(6);
  bool first = true;
  for (const auto& [key, value] : board.settings()) {
    if (!first) line << ",";
    first = false;
    line << key << "=" << value;
  }
  line << ",origin_marker_index=" << board.originMarkerIndex();
  out << line.str() << std::flush;
  return 0;
}

}  // namespace calibrix
