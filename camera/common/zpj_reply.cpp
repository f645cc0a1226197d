#include "camera/common/zpj_reply.h"

#include <cstdio>

namespace camera {

std::vector<std::string_view> replyLines(std::string_view reply) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < reply.size()) {
    std::size_t nl = reply.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back(reply.substr(start));
      break;
    }
    lines.push_back(reply.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool parseReply(std::string_view reply, std::vector<std::string_view>* echoed) {
  for (std::string_view line : replyLines(reply)) {
    if (echoed) echoed->push_back(line);
    if (line.find(":OK") != std::string_view::npos) return true;
  }
  return false;
}

bool endsSequenceReply(std::string_view chunk) {
  // Neither marker holds a "\n", so a line holds one exactly when the chunk does.
  return chunk.find(":OK") != std::string_view::npos || chunk.find(":ERR") != std::string_view::npos;
}

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::array<std::uint32_t, 3>> parseDiagNumbers(std::string_view text) {
  std::array<std::uint32_t, 3> values {};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    std::uint64_t v = 0;
    int digits = 0;
    while (pos < text.size() && hexDigit(text[pos]) >= 0) {
      if (++digits > 8) return std::nullopt;
      v = v * 16 + static_cast<unsigned>(hexDigit(text[pos]));
      ++pos;
    }
    // The result travels as an int whose -1 means failure: keep it positive.
    if (digits == 0 || v > 0x7fffffffu) return std::nullopt;
    values[i] = static_cast<std::uint32_t>(v);
  }
  return values;
}

std::optional<std::array<std::uint32_t, 3>> lastDiagLine(std::string_view reply) {
  std::optional<std::array<std::uint32_t, 3>> result;
  for (std::string_view line : replyLines(reply)) {
    std::size_t at = line.find(kDiagMarker);
    if (at == std::string_view::npos) continue;
    auto values = parseDiagNumbers(line.substr(at + kDiagMarker.size()));
    if (values) result = values;
  }
  return result;
}

std::optional<std::array<std::uint32_t, 3>> firstDiagMarker(std::string_view reply) {
  std::size_t at = reply.find(kDiagMarker);
  if (at == std::string_view::npos) return std::nullopt;
  return parseDiagNumbers(reply.substr(at + kDiagMarker.size()));
}

std::string setLightText(unsigned level) {
  // Two hex digits per channel: a level above the range is the brightest one,
  // not a longer command the controller would misread.
  unsigned v = level > 255 ? 255 : level;
  char text[16];
  std::snprintf(text, sizeof text, "i%02X%02X%02X\r", v, v, v);
  return text;
}

}  // namespace camera
