#include "calibrix/rect_tables.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace calibrix {

namespace {

std::uint32_t readLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::size_t alignUp8(std::size_t v) { return (v + 7) & ~static_cast<std::size_t>(7); }

}  // namespace

RectLoad parseRectParam(const std::uint8_t* data, std::size_t size, RectTables& tables) {
  std::size_t offset = 0;
  for (auto& t : tables.table) {
    if (size < 4 || offset > size - 4) return RectLoad::Invalid;
    const std::int32_t count = static_cast<std::int32_t>(readLe32(data + offset));
    if (count < 0) return RectLoad::Invalid;
    offset = alignUp8(offset + 4);
    const std::size_t bytes = static_cast<std::size_t>(count) * 4;
    if (offset > size || bytes > size - offset) return RectLoad::Invalid;
    t.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < t.size(); ++i) {
      const std::uint32_t bits = readLe32(data + offset + 4 * i);
      std::memcpy(&t[i], &bits, 4);
    }
    offset = alignUp8(offset + bytes);
  }
  if (offset > size) return RectLoad::Invalid;
  return RectLoad::Ok;
}

RectLoad loadRectParam(const std::string& path, RectTables& tables) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) return RectLoad::ReadFailed;
  std::vector<std::uint8_t> data;
  std::uint8_t buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) data.insert(data.end(), buf, buf + n);
  if (std::ferror(f.get()) || data.empty()) return RectLoad::ReadFailed;
  return parseRectParam(data.data(), data.size(), tables);
}

std::uint8_t sampleBilinear(const std::uint8_t* src, int width, int height, int channels, int channel, float x,
                            float y) {
  if (x == -1.0f) return 0;
  // (int) truncates toward zero, so coordinates in (-1, 0) still sample
  // column or row 0; anything else outside the image (NaN included) has no
  // source.
  if (!(x > -1.0f && x < static_cast<float>(width) && y > -1.0f && y < static_cast<float>(height))) return 0;
  const int ix = static_cast<int>(x), iy = static_cast<int>(y);
  if (ix < 0 || ix > width - 1 || iy < 0 || iy > height - 1) return 0;
  const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy);
  const int ix1 = ix < width - 1 ? ix + 1 : ix;
  const int iy1 = iy < height - 1 ? iy + 1 : iy;
  auto at = [&](int cx, int cy) {
    return static_cast<float>(
        src[(static_cast<std::size_t>(cy) * static_cast<std::size_t>(width) + static_cast<std::size_t>(cx)) *
                static_cast<std::size_t>(channels) +
            static_cast<std::size_t>(channel)]);
  };
  const float p00 = at(ix, iy), p01 = at(ix, iy1), p10 = at(ix1, iy), p11 = at(ix1, iy1);
  const float value = (1 - fx) * (1 - fy) * p00 + (1 - fx) * fy * p01 + fx * (1 - fy) * p10 + fx * fy * p11;
  // Coordinates just below 0 extrapolate; keep the result a grey level.
  const int out = static_cast<int>(value + 0.5f);
  return static_cast<std::uint8_t>(out < 0 ? 0 : (out > 255 ? 255 : out));
}

NetpbmImage remapNetpbm(const NetpbmImage& src, const RectTables& tables, int eye, int outWidth, int outHeight) {
  NetpbmImage out;
  out.width = outWidth;
  out.height = outHeight;
  out.channels = src.channels;
  const std::size_t pixels = static_cast<std::size_t>(outWidth) * static_cast<std::size_t>(outHeight);
  out.data.resize(pixels * static_cast<std::size_t>(src.channels));
  const auto& mx = tables.mapX(eye);
  const auto& my = tables.mapY(eye);
  if (mx.size() < pixels || my.size() < pixels) return out;
  for (std::size_t i = 0; i < pixels; ++i)
    for (int c = 0; c < src.channels; ++c)
      out.data[i * static_cast<std::size_t>(src.channels) + static_cast<std::size_t>(c)] =
          sampleBilinear(src.data.data(), src.width, src.height, src.channels, c, mx[i], my[i]);
  return out;
}

}  // namespace calibrix
