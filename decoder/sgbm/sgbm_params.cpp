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

namespace {

using Key = SettingKey<SgbmParams>;
using P = SgbmParams;
constexpr const char* kSt = "StereoSGBM";
constexpr const char* kLib = "SGBMLIB";
// The keys in the order the settings file documents them.
const Key kKeys[] = {
    {kSt, "image_width", &P::imageWidth},
    {kSt, "image_height", &P::imageHeight},
    {kSt, "coord", &P::coord},
    {kLib, "Q_evec", &P::qEvec},
    {kLib, "min_disparity", &P::minDisparity},
    {kLib, "num_disparities", &P::numDisparities},
    {kLib, "block_size", &P::blockSize},
    {kLib, "P1", &P::p1},
    {kLib, "P2", &P::p2},
    {kLib, "disp_12_max_diff", &P::disp12MaxDiff},
    {kLib, "pre_filter_cap", &P::preFilterCap},
    {kLib, "uniqueness_ratio", &P::uniquenessRatio},
    {kLib, "speckle_window_size", &P::speckleWindowSize},
    {kLib, "speckle_range", &P::speckleRange},
    {kLib, "mode", &P::mode},
    {kLib, "evec_error", nullptr, &P::evecError},
};

}  // namespace

bool readSgbmParams(const char* path, SgbmParams& params) { return readSettingsTable(path, kKeys, params); }

}  // namespace zel
