#pragma once
// Big-endian (network order) field access for the GigE Vision wire formats.
// Every GVCP and GVSP field is big-endian regardless of the host.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace gevlink::wire {

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t get24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
inline uint32_t get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t get64(const uint8_t* p) { return (uint64_t{get32(p)} << 32) | get32(p + 4); }

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void put64(uint8_t* p, uint64_t v) {
  put32(p, static_cast<uint32_t>(v >> 32));
  put32(p + 4, static_cast<uint32_t>(v));
}

// A fixed-size text field: the text up to its first zero byte (a text that
// fills the whole field has none).
inline std::string getText(const uint8_t* p, size_t fieldSize) {
  const void* zero = std::memchr(p, 0, fieldSize);
  size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - p) : fieldSize;
  return std::string(reinterpret_cast<const char*>(p), n);
}
// Writes text zero-padded to fieldSize bytes; a longer text is cut.
inline void putText(uint8_t* p, size_t fieldSize, std::string_view text) {
  std::memset(p, 0, fieldSize);
  std::memcpy(p, text.data(), text.size() < fieldSize ? text.size() : fieldSize);
}

}  // namespace gevlink::wire
