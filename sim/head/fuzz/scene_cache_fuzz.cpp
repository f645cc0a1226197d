// Render cache files of the live head (read back from a folder other
// programs can write): any bytes, for a small image size taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/head/scene_images.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int width = data[0] % 8 + 1, height = data[1] % 8 + 1;
  sim::head::SceneImages images;
  if (sim::head::decodeCachedImages(std::string(reinterpret_cast<const char*>(data + 2), size - 2), width, height,
                                    images)) {
    const size_t frame = static_cast<size_t>(width) * height;
    if (images.images[0].size() != 14 * frame || images.images[1].size() != 14 * frame) std::abort();
    volatile uint8_t last = images.image(1, sim::head::kTexturePattern)[frame - 1];
    (void)last;
  }
  return 0;
}
