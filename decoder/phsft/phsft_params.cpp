#include "decoder/phsft/phsft_params.h"

#include "decoder/common/settings_reader.h"

namespace zel {

namespace {

using Key = SettingKey<PhsftParams>;
using P = PhsftParams;
constexpr const char* kPs = "PhaseShift";
constexpr const char* kLib = "PSLIB";
// The keys in the order the settings file documents them.
const Key kKeys[] = {
    {kPs, "nimage", &P::nimage},
    {kPs, "image_width", &P::imageWidth},
    {kPs, "image_height", &P::imageHeight},
    {kPs, "coord", &P::coord},
    {kLib, "Q_evec", &P::qEvec},
    {kLib, "search_div", &P::searchDiv},
    {kLib, "bw_diff", &P::bwDiff},
    {kLib, "brightness", &P::brightness},
    {kLib, "darkness", &P::darkness},
    {kLib, "step_diff", nullptr, &P::stepDiff},
    {kLib, "max_step", nullptr, &P::maxStep},
    {kLib, "max_ph_diff", nullptr, &P::maxPhDiff},
    {kLib, "max_tex_diff", nullptr, &P::maxTexDiff},
    {kLib, "max_parallax", nullptr, &P::maxParallax},
    {kLib, "min_parallax", nullptr, &P::minParallax},
    {kLib, "right_dup_cnt", &P::rightDupCnt},
    {kLib, "ls_points", &P::lsPoints},
    {kLib, "evec_error", nullptr, &P::evecError},
    {kLib, "match_mode", &P::matchMode},
};

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

bool readPhsftParams(const char* path, PhsftParams& params) { return readSettingsTable(path, kKeys, params); }

}  // namespace zel
