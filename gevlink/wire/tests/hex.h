#pragma once
// Packets written by hand in tests: hex digits with spaces between fields.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gevlink::wire::test {

inline std::vector<uint8_t> hex(std::string_view text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) continue;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + d));
      high = -1;
    }
  }
  return out;
}

// A text field of `size` bytes, zero padded.
inline std::vector<uint8_t> field(std::string_view text, size_t size) {
  std::vector<uint8_t> out(size, 0);
  for (size_t i = 0; i < text.size() && i < size; ++i) out[i] = static_cast<uint8_t>(text[i]);
  return out;
}

inline std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace gevlink::wire::test
