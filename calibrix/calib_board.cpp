#include "calibrix/calib_board.h"

#include <opencv2/core.hpp>

#include <cmath>

namespace calibrix {

namespace {
const char* const kBaseKeys[] = {"gamma_correction", "do_equalize_hist", "do_smoothing",
                                 "bin_type",         "bin_param0",       "bin_param1"};
}

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
        gammaTable_[i] = std::isfinite(v) ? static_cast<int>(std::fmin(std::fmax(v, 0.0), 255.0))
                                          : 255;
    }
}

void CalibBoard::readKeys(const std::string& path, const char* const* keys, int count) {
    cv::FileStorage fs;
    try {
        fs.open(path, cv::FileStorage::READ);
    } catch (const cv::Exception&) {
        // A malformed file is reported like one that cannot be opened.
        throw iFileStorage_error(path);
    }
    if (!fs.isOpened()) throw iFileStorage_error(path);
    for (int i = 0; i < count; ++i) {
        const cv::FileNode node = fs[keys[i]];
        // A missing key, or one that holds no number, reads as 0.0.
        settings_[keys[i]] = (node.isReal() || node.isInt()) ? static_cast<double>(node) : 0.0;
    }
    fs.release();
}

void CalibBoard::readBaseSettings(const std::string& path) {
    readKeys(path, kBaseKeys, static_cast<int>(std::size(kBaseKeys)));
    rebuildGammaTable();
}

}  // namespace calibrix
