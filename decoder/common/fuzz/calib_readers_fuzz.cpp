// Feeds arbitrary bytes to the calibration-file readers: rect.param (for a
// 16 x 8 image), the projection-matrix file and the camera parameter YAML.
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
  // The YAML parser needs a recognisable name.
  const std::string yaml = path + ".yaml";
  std::rename(path.c_str(), yaml.c_str());
  zel::DistortCamera cam("cam0", 16, 8);
  int w = 0, h = 0;
  zel::readCameraParamFile(yaml, cam, w, h);
  std::remove(yaml.c_str());
  return 0;
}
