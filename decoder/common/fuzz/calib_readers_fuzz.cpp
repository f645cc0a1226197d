// Feeds arbitrary bytes to our binary calibration-file readers: rect.param
// (for a 16 x 8 image) and the projection-matrix file. The camera parameter
// YAML is parsed by OpenCV's FileStorage, which on some malformed texts ends
// the process from inside the library (std::terminate); fuzzing it finds
// those library faults, not ours, so it is left out here.
#include "decoder/common/calib_loader.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/zel_fuzz_calib_" + std::to_string(::getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  zel::RectMaps maps;
  zel::readRectParamFile(path, 16, 8, maps);
  cv::Mat p;
  zel::readProjectionFile(path, p);
  std::remove(path.c_str());
  return 0;
}
