#include "decoder/phsft/phsft_params.h"

#include "decoder/common/settings_reader.h"

namespace zel {

namespace {

// The settings-file readers shared with the SGBM decoder.
constexpr auto readInt = readSettingInt;
constexpr auto readDouble = readSettingDouble;

}  // namespace

PhsftParams PhsftParams::zeroes() {
  PhsftParams p;
  p.nimage = p.imageWidth = p.imageHeight = p.qEvec = p.coord = 0;
  p.searchDiv = p.bwDiff = p.brightness = p.darkness = 0;
  p.stepDiff = p.maxStep = p.maxPhDiff = p.maxTexDiff = p.maxParallax = p.minParallax = 0.0;
  p.rightDupCnt = p.lsPoints = 0;
  p.evecError = 0.0;
  p.matchMode = 0;
  return p;
}

bool readPhsftParams(const char* path, PhsftParams& params) {
  if (!settingsFileExists(path)) return false;
  const PhsftParams def;
  PhsftParams p;
  const char* ps = "PhaseShift";
  const char* lib = "PSLIB";
  p.nimage = readInt(ps, "nimage", def.nimage, path);
  p.imageWidth = readInt(ps, "image_width", def.imageWidth, path);
  p.imageHeight = readInt(ps, "image_height", def.imageHeight, path);
  p.coord = readInt(ps, "coord", def.coord, path);
  p.qEvec = readInt(lib, "Q_evec", def.qEvec, path);
  p.searchDiv = readInt(lib, "search_div", def.searchDiv, path);
  p.bwDiff = readInt(lib, "bw_diff", def.bwDiff, path);
  p.brightness = readInt(lib, "brightness", def.brightness, path);
  p.darkness = readInt(lib, "darkness", def.darkness, path);
  p.stepDiff = readDouble(lib, "step_diff", def.stepDiff, path);
  p.maxStep = readDouble(lib, "max_step", def.maxStep, path);
  p.maxPhDiff = readDouble(lib, "max_ph_diff", def.maxPhDiff, path);
  p.maxTexDiff = readDouble(lib, "max_tex_diff", def.maxTexDiff, path);
  p.maxParallax = readDouble(lib, "max_parallax", def.maxParallax, path);
  p.minParallax = readDouble(lib, "min_parallax", def.minParallax, path);
  p.rightDupCnt = readInt(lib, "right_dup_cnt", def.rightDupCnt, path);
  p.lsPoints = readInt(lib, "ls_points", def.lsPoints, path);
  p.evecError = readDouble(lib, "evec_error", def.evecError, path);
  p.matchMode = readInt(lib, "match_mode", def.matchMode, path);
  params = p;
  return true;
}

}  // namespace zel
