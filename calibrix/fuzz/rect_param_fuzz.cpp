// rect.param parser on arbitrary bytes, then one resampling pass with the
// tables it accepted.
#include <algorithm>
#include <cstdint>

#include "calibrix/rect_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  calibrix::RectTables tables;
  if (calibrix::parseRectParam(data, size, tables) != calibrix::RectLoad::Ok) return 0;
  calibrix::NetpbmImage src;
  src.width = 3;
  src.height = 2;
  src.data.assign(6, 100);
  const std::size_t n = std::min(tables.mapX(0).size(), tables.mapY(0).size());
  if (n > 0 && n <= 4096) calibrix::remapNetpbm(src, tables, 0, static_cast<int>(n), 1);
  return 0;
}
