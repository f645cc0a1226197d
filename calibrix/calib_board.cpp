#include "calibrix/calib_board.h"

#include "decoder/common/yaml_reader.h"

#include <cmath>

namespace calibrix {

namespace {
bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

const char* const kBaseKeys[] = {"gamma_correction", "do_equalize_hist", "do_smoothing",
                                 "bin_type",         "bin_param0",       "bin_param1"};
}  // namespace

CalibBoard::CalibBoard() {
  settings_["gamma_correction"] = 1.0;
  settings_["do_equalize_hist"] = 0.0;
  settings_["do_smoothing"] = 1.0;
  settings_["bin_type"] = 1.0;
  settings_["bin_param0"] = 0.0;
  settings_["bin_param1"] = 0.0;
  rebuildGammaTable();
}

CalibBoard::~CalibBoard() = default;

double CalibBoard::setting(const std::string& key) const {
  auto it = settings_.find(key);
  return it == settings_.end() ? 0.0 : it->second;
}

void CalibBoard::setSetting(const std::string& key, double value) { settings_[key] = value; }

void CalibBoard::rebuildGammaTable() {
  const double gamma = setting("gamma_correction");
  for (int i = 0; i < 256; ++i) {
    const double v = std::pow(i / 255.0, gamma) * 255.0 + 0.5;
    // A negative gamma sends dark levels to infinity; keep every entry a
    // valid grey level so the table can be applied safely.
    gammaTable_[i] = std::isfinite(v) ? static_cast<int>(std::fmin(std::fmax(v, 0.0), 255.0)) : 255;
  }
}

void CalibBoard::readKeys(const std::string& path, const char* const* keys, int count) {
  zel::YamlNode root;
  std::string why;
  if (!zel::readYamlFile(path, root, why)) {
    // A file that does not open is "not found"; one that opens but is
    // refused says why.
    throw iFileStorage_error(path, startsWith(why, "cannot open") ? std::string() : why);
  }
  for (int i = 0; i < count; ++i) {
    const zel::YamlNode* node = root.find(keys[i]);
    double value = 0.0;
    // A missing key, or one that holds no number, reads as 0.0.
    if (!node || !node->asDouble(value)) value = 0.0;
    // A NaN or infinite setting would pass every later comparison
    // unnoticed (NaN) or overflow the board geometry.
    if (!std::isfinite(value)) throw iFileStorage_error(path, std::string(keys[i]) + " is not finite");
    settings_[keys[i]] = value;
  }
}

void CalibBoard::readBaseSettings(const std::string& path) {
  readKeys(path, kBaseKeys, static_cast<int>(std::size(kBaseKeys)));
  rebuildGammaTable();
}

}  // namespace calibrix
