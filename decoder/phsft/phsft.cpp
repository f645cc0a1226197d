#include "decoder/phsft/phsft.h"

#include "diag/logger.h"
#include "platform/paths.h"

#include <exception>
#include <new>
#include <string>

namespace zel {

PhsftDecoder& libraryDecoder() {
  static PhsftDecoder decoder;
  return decoder;
}

void Phsft::release() { delete this; }

bool Phsft::setParamFromFile(const char* path) {
  try {
    if (path == nullptr) {
      params_ = std::make_unique<PhsftParams>();
      return true;
    }
    params_ = std::make_unique<PhsftParams>(PhsftParams::zeroes());
    const std::string full = resolveSettingsPath(path);
    if (!readPhsftParams(full.c_str(), *params_)) {
      ZEL_LOG("%s: error: no file: %s\n", "Phsft::setParamFromFile", full.c_str());
      return false;
    }
    return true;
  } catch (const std::exception&) {
    ZEL_LOG("%s: error: out of memory\n", "Phsft::setParamFromFile");
    return false;
  }
}

bool Phsft::loadCalibration(const char* directory) {
  if (!params_ || directory == nullptr || directory[0] == '\0') {
    ZEL_LOG("%s: error: %s\n", "Phsft::loadCalibration", params_ ? "no directory" : "no parameters");
    libraryDecoder();  // keep the state's construction on the configuring thread
    return false;
  }
  try {
    std::string dir = platform::toNativePath(directory);
    if (!platform::endsWithSeparator(directory)) dir += "/";
    return libraryDecoder().loadCalibration(*params_, dir);
  } catch (const std::exception&) {
    ZEL_LOG("%s: error: calibration load failed\n", "Phsft::loadCalibration");
    return false;
  }
}

void Phsft::setImages(const ImagePair& images) { images_ = images; }

std::int32_t Phsft::exec(float** points, std::uint8_t** colors, bool /*flag*/, std::int32_t** pixelIndices) {
  try {
    PhsftDecoder& decoder = libraryDecoder();
    if (!params_ || params_->imageWidth != decoder.width() || params_->imageHeight != decoder.height()) {
      // The image sets are laid out by the current settings; decoding them
      // with buffers of another size would read past the host's images.
      ZEL_LOG("%s\n", "Phsft::exec");
      ZEL_LOG("%s: error: settings do not match the loaded calibration\n", "Phsft::exec");
      output_.clear();
      return 0;
    }
    const std::int32_t n = decoder.exec(images_, params_->qEvec, output_);
    return output_.handOut(n, points, colors, pixelIndices);
  } catch (const std::exception&) {
    ZEL_LOG("%s: error: decoding failed\n", "Phsft::exec");
    output_.clear();
    return 0;
  }
}

void Phsft::setLog(unsigned flags, const char* path) {
  diag::libraryLogger().setLog(flags, path);
  ZEL_LOG("%s: 0x%x [%s]\n", "Phsft::setLog", flags, path != nullptr ? path : "(null)");
}

}  // namespace zel

extern "C" IDecPhsft* CreateIDecPhsftInstance() {
  try {
    diag::resetLibraryLogger("OrvDecPhsft");
    return new (std::nothrow) zel::Phsft();
  } catch (...) {
    return nullptr;
  }
}
