#pragma once
// The GPU vertex shared by every drawing: position in display coordinates and
// a colour as four bytes red, green, blue, alpha (16 bytes in all).
#include <cstdint>

namespace nubiview {

struct Vertex {
  float x = 0, y = 0, z = 0;
  std::uint8_t r = 0, g = 0, b = 0, a = 255;
};
static_assert(sizeof(Vertex) == 16, "the vertex layout is 16 bytes");

inline std::uint32_t packColour(const Vertex& v) {
  return std::uint32_t(v.r) | std::uint32_t(v.g) << 8 | std::uint32_t(v.b) << 16 | std::uint32_t(v.a) << 24;
}
inline void unpackColour(Vertex& v, std::uint32_t c) {
  v.r = c & 0xFFu;
  v.g = (c >> 8) & 0xFFu;
  v.b = (c >> 16) & 0xFFu;
  v.a = (c >> 24) & 0xFFu;
}
constexpr std::uint32_t kMagenta = 0xFFFF00FFu;  // 255, 0, 255, 255 packed as above

}  // namespace nubiview
