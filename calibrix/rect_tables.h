#pragma once
// The rectification tables of "rect.param" and the bilinear resampling that
// the converters apply with them.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "calibrix/netpbm.h"

namespace calibrix {

// Table order in the file: left x, right x, left y, right y. For eye e the
// x-map is table e and the y-map table e + 2.
struct RectTables {
  std::array<std::vector<float>, 4> table;
  const std::vector<float>& mapX(int eye) const { return table[static_cast<std::size_t>(eye)]; }
  const std::vector<float>& mapY(int eye) const { return table[static_cast<std::size_t>(eye) + 2]; }
};

enum class RectLoad { Ok, ReadFailed, Invalid };

// Reads the whole file (ReadFailed when it can't be opened or is empty), then
// parses the four tables (Invalid when one runs past the data).
RectLoad loadRectParam(const std::string& path, RectTables& tables);
RectLoad parseRectParam(const std::uint8_t* data, std::size_t size, RectTables& tables);

// One output sample from channel `channel` of an interleaved 8-bit source of
// `channels` channels at source coordinates (x, y); 0 where there is none.
std::uint8_t sampleBilinear(const std::uint8_t* src, int width, int height, int channels, int channel, float x,
                            float y);

// Resamples a mapWidth x mapHeight output from `src` with the maps of `eye`,
// every channel on its own. The maps must hold mapWidth * mapHeight entries.
NetpbmImage remapNetpbm(const NetpbmImage& src, const RectTables& tables, int eye, int outWidth, int outHeight);

}  // namespace calibrix
