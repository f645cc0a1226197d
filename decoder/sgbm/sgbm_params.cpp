#include "decoder/sgbm/sgbm_params.h"

#include "decoder/common/settings_reader.h"

namespace zel {

SgbmParams SgbmParams::zeroes() {
  SgbmParams p;
  p.imageWidth = p.imageHeight = p.qEvec = p.coord = 0;
  p.minDisparity = p.numDisparities = p.blockSize = p.p1 = p.p2 = p.disp12MaxDiff = 0;
  p.preFilterCap = p.uniquenessRatio = p.speckleWindowSize = p.speckleRange = p.mode = 0;
  p.evecError = 0.0;
  return p;
}

bool readSgbmParams(const char* path, SgbmParams& params) {
  if (!settingsFileExists(path)) return false;
  const SgbmParams def;
  SgbmParams p;
  const char* st = "StereoSGBM";
  const char* lib = "SGBMLIB";
  p.imageWidth = readSettingInt(st, "image_width", def.imageWidth, path);
  p.imageHeight = readSettingInt(st, "image_height", def.imageHeight, path);
  p.coord = readSettingInt(st, "coord", def.coord, path);
  p.qEvec = readSettingInt(lib, "Q_evec", def.qEvec, path);
  p.minDisparity = readSettingInt(lib, "min_disparity", def.minDisparity, path);
  p.numDisparities = readSettingInt(lib, "num_disparities", def.numDisparities, path);
  p.blockSize = readSettingInt(lib, "block_size", def.blockSize, path);
  p.p1 = readSettingInt(lib, "P1", def.p1, path);
  p.p2 = readSettingInt(lib, "P2", def.p2, path);
  p.disp12MaxDiff = readSettingInt(lib, "disp_12_max_diff", def.disp12MaxDiff, path);
  p.preFilterCap = readSettingInt(lib, "pre_filter_cap", def.preFilterCap, path);
  p.uniquenessRatio = readSettingInt(lib, "uniqueness_ratio", def.uniquenessRatio, path);
  p.speckleWindowSize = readSettingInt(lib, "speckle_window_size", def.speckleWindowSize, path);
  p.speckleRange = readSettingInt(lib, "speckle_range", def.speckleRange, path);
  p.mode = readSettingInt(lib, "mode", def.mode, path);
  p.evecError = readSettingDouble(lib, "evec_error", def.evecError, path);
  params = p;
  return true;
}

}  // namespace zel
