#include "viewer/cloud/text_fields.h"

#include <charconv>
#include <limits>

namespace cloud {

namespace {
bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

float narrowToFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

std::size_t splitTokens(std::string_view line, std::string_view* tokens, std::size_t maxTokens) {
  std::size_t count = 0;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (count < maxTokens) {
    while (i < n && isSeparator(line[i])) ++i;
    if (i == n) break;
    std::size_t start = i;
    while (i < n && !isSeparator(line[i])) ++i;
    tokens[count++] = line.substr(start, i - start);
  }
  return count;
}

float parseFloatPrefix(std::string_view token) {
  const char* first = token.data();
  const char* last = token.data() + token.size();
  // from_chars takes no '+'; a C library does.
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return 0.0f;
  }
  double value = 0.0;
  auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    bool negative = first != last && *first == '-';
    // Too small or too large: look at the sign of the exponent.
    bool tiny = token.find("e-") != std::string_view::npos || token.find("E-") != std::string_view::npos;
    if (tiny) return negative ? -0.0f : 0.0f;
    return negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  }
  if (ec != std::errc()) return 0.0f;
  (void)end;
  return narrowToFloat(value);
}

std::int32_t parseIntPrefix(std::string_view token) {
  std::size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
    negative = token[i] == '-';
    ++i;
  }
  std::uint32_t value = 0;  // wraps modulo 2^32, never overflows
  for (; i < token.size() && isDigit(token[i]); ++i) {
    value = value * 10u + static_cast<std::uint32_t>(token[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

std::uint64_t parseCount(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; i < text.size() && isDigit(text[i]); ++i) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace cloud
