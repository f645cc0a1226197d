#pragma once
// The decoder's settings record and the reader of its settings file.
#include "decoder/common/settings_reader.h"

#include <cstdint>

namespace zel {

struct PhsftParams {
  std::int32_t nimage = 13;
  std::int32_t imageWidth = 1280;
  std::int32_t imageHeight = 1024;
  std::int32_t qEvec = 0;  // 0: reprojection matrix, otherwise two rays
  std::int32_t coord = 0;  // 0: camera parameter files, 1: projection-matrix files
  std::int32_t searchDiv = 2;
  std::int32_t bwDiff = 10;
  std::int32_t brightness = 255;
  std::int32_t darkness = 10;
  double stepDiff = 1.2;
  double maxStep = 1.0;
  double maxPhDiff = 0.5;
  double maxTexDiff = 0.8;
  double maxParallax = 400.0;
  double minParallax = -300.0;
  std::int32_t rightDupCnt = 1;
  std::int32_t lsPoints = 3;
  double evecError = 2.5e-13;
  // "match_mode" (section "PSLIB"): 0 the phase-nearest matching with use
  // counters per right pixel, 1 measurement matching (see match_stage.h);
  // loadCalibration refuses any other value.
  std::int32_t matchMode = 0;

  // A record of zeroes, which is what a failed read leaves.
  static PhsftParams zeroes();
};

// Reads the settings file at path (already resolved) into params. Every key is
// read as text with a 256-byte buffer and its default written as text
// (integers in decimal, doubles with "%.20f"); integers parse with base
// detection (0x.. hexadecimal, 0.. octal), doubles as decimal. A missing key
// gives its default, an empty or unparsable value 0. False, params untouched,
// when the file does not exist.
bool readPhsftParams(const char* path, PhsftParams& params);

}  // namespace zel
