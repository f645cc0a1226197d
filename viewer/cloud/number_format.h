#pragma once
// printf-exact number output for the text writers without printf's cost:
// std::to_chars with a precision prints what "%.*f" prints in the C locale.
#include <charconv>
#include <cstdint>

namespace cloud {

// Room one formatted float can need ("%.4f" of -3.4e38 is 46 characters).
constexpr std::size_t kMaxFixedChars = 64;

inline char* putFixed(char* p, float value, int precision) {
  return std::to_chars(p, p + kMaxFixedChars, value, std::chars_format::fixed, precision).ptr;
}

inline char* putUnsigned(char* p, unsigned value) { return std::to_chars(p, p + 16, value).ptr; }

inline char* putSigned(char* p, std::int32_t value) { return std::to_chars(p, p + 16, value).ptr; }

}  // namespace cloud
