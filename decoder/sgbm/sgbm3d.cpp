#include "decoder/sgbm/sgbm3d.h"

#include "decoder/common/settings_reader.h"
#include "diag/logger.h"
#include "platform/paths.h"

#include <exception>
#include <new>
#include <string>

namespace zel {

namespace {

constexpr long long kMaxPixels = 1LL << 26;

}  // namespace

SgbmDecoder& librarySgbmDecoder() {
  static SgbmDecoder decoder;
  return decoder;
}

void SGBM3D::release() { delete this; }

void SGBM3D::recreateImageBuffers() {
  imageBuffers_[0].reset();
  imageBuffers_[1].reset();
  const long long pixels = static_cast<long long>(params_->imageWidth) * params_->imageHeight;
  if (params_->imageWidth <= 0 || params_->imageHeight <= 0 || pixels > kMaxPixels) return;
  for (auto& buffer : imageBuffers_) buffer.reset(new std::uint8_t[static_cast<std::size_t>(pixels)]());
}

bool SGBM3D::setParamFromFile(const char* path) {
  try {
    bool found = true;
    if (path == nullptr) {
      params_ = std::make_unique<SgbmParams>();
    } else {
      params_ = std::make_unique<SgbmParams>(SgbmParams::zeroes());
      const std::string full = resolveSettingsPath(path);
      if (!readSgbmParams(full.c_str(), *params_)) {
        ZEL_LOG("error: no file: %s\n", full.c_str());
        found = false;
      }
    }
    recreateImageBuffers();
    return found;
  } catch (const std::exception&) {
    ZEL_LOG("%s: error: out of memory\n", "SGBM3D::setParamFromFile");
    imageBuffers_[0].reset();
    imageBuffers_[1].reset();
    return false;
  }
}

bool SGBM3D::loadCalibration(const char* directory) {
  if (!params_ || directory == nullptr || directory[0] == '\0') {
    ZEL_LOG("%s: error: %s\n", "SGBM3D::loadCalibration", params_ ? "no directory" : "no parameters");
    return false;
  }
  try {
    std::string dir = platform::toNativePath(directory);
    if (!platform::endsWithSeparator(directory)) dir += "/";
    return librarySgbmDecoder().loadCalibration(*params_, dir);
  } catch (const std::exception&) {
    ZEL_LOG("%s: error: calibration load failed\n", "SGBM3D::loadCalibration");
    return false;
  }
}

std::int32_t SGBM3D::exec(float** points, std::uint8_t** colors, bool rectify, std::int32_t** pixelIndices) {
  try {
    SgbmDecoder& decoder = librarySgbmDecoder();
    if (!params_ || !imageBuffers_[0] || params_->imageWidth != decoder.width() ||
        params_->imageHeight != decoder.height()) {
      // The images are laid out by the current settings; matching them with
      // buffers of another size would read past the host's images.
      ZEL_LOG("%s\n", "SGBM3D::exec");
      ZEL_LOG("%s: error: settings do not match the loaded calibration\n", "SGBM3D::exec");
      output_.clear();
      return 0;
    }
    std::uint8_t* const buffers[2] = {imageBuffers_[0].get(), imageBuffers_[1].get()};
    const std::int32_t n = decoder.exec(raw_, rectified_, rectify, buffers, params_->qEvec, output_);
    return output_.handOut(n, points, colors, pixelIndices);
  } catch (const std::exception&) {
    ZEL_LOG("%s: error: decoding failed\n", "SGBM3D::exec");
    output_.clear();
    return 0;
  }
}

void SGBM3D::setLog(unsigned flags, const char* path) {
  diag::libraryLogger().setLog(flags, path);
  ZEL_LOG("%s: 0x%x [%s]\n", "SGBM3D::setLog", flags, path != nullptr ? path : "(null)");
}

std::uint8_t* SGBM3D::getRectifiedImage(std::int32_t index) {
  if (index != 0 && index != 1) return nullptr;
  return imageBuffers_[index].get();
}

}  // namespace zel

extern "C" IDecSgbm* CreateIDecSgbmInstance() {
  try {
    diag::resetLibraryLogger("OrvDecSgbm");
    return new (std::nothrow) zel::SGBM3D();
  } catch (...) {
    return nullptr;
  }
}
