#include "camera/common/zpj_protocol.h"

#include <cstdio>

namespace camera::zpj {

namespace {

std::string numbered(char letter, long n) { return letter + std::to_string(n) + "\r"; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits only, at most 9 (no sign, no blanks).
bool parseNumber(std::string_view text, long* out) {
  if (text.empty() || text.size() > 9) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

}  // namespace

std::string patternCommand(int n) { return numbered('p', n); }
std::string resetCommand() { return "r\r"; }
std::string sequenceCommand(int n) { return numbered('z', n); }
std::string echoCommand(int n) { return numbered('x', n); }
std::string diagCommand() { return "d\r"; }

std::string lightCommand(unsigned level) {
  unsigned v = level > 255 ? 255 : level;
  char text[16];
  std::snprintf(text, sizeof text, "i%02X%02X%02X\r", v, v, v);
  return text;
}

std::string headPatternCommand(int n) { return numbered('o', n & 0xff); }
std::string headDiagCommand() { return "i\r"; }

std::uint32_t headChannelWord(char c) {
  const std::uint32_t code = static_cast<unsigned char>(c);
  return ((~code & 0xffffu) << 16) | code;
}

std::optional<char> headChannelChar(std::uint32_t word) {
  const std::uint32_t low = word & 0xffffu;
  if ((word >> 16) != (~low & 0xffffu) || low > 0xffu) return std::nullopt;
  return static_cast<char>(low);
}

std::string replyLine(std::string_view text) { return std::string(text) + "\r\n"; }
std::string okLine() { return replyLine(kOk); }
std::string errLine() { return replyLine(kErr); }
std::string echoReply(long n) { return replyLine(std::to_string(n)) + okLine(); }

std::string sequenceStepLine(int k, bool last) {
  std::string line = replyLine("seq " + std::to_string(k));
  return last ? line + okLine() : line;
}

std::string diagAckLine() { return replyLine("diag"); }

std::string diagLine(unsigned red, unsigned green, unsigned blue) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*s%x.%x.%x\r\n", static_cast<int>(kDiagMarker.size()), kDiagMarker.data(), red,
                green, blue);
  return text;
}

Command parseCommand(std::string_view line) {
  Command cmd;
  if (line.empty()) return cmd;
  std::string_view arg = line.substr(1);
  long n = 0;
  switch (line[0]) {
    case 'p':
      if (parseNumber(arg, &n) && n < kPatternCount) cmd = {Command::Kind::Pattern, n, {}};
      break;
    case 'r':
      if (arg.empty()) cmd.kind = Command::Kind::Reset;
      break;
    case 'z':
      if (parseNumber(arg, &n) && n >= 1 && n <= kPatternCount) cmd = {Command::Kind::Sequence, n, {}};
      break;
    case 'x':
      if (parseNumber(arg, &n)) cmd = {Command::Kind::Echo, n, {}};
      break;
    case 'i': {
      if (arg.size() != 6) break;
      std::array<std::uint8_t, 3> rgb{};
      bool ok = true;
      for (std::size_t k = 0; k < 3 && ok; ++k) {
        int hi = hexDigit(arg[2 * k]);
        int lo = hexDigit(arg[2 * k + 1]);
        ok = hi >= 0 && lo >= 0;
        rgb[k] = static_cast<std::uint8_t>(hi * 16 + lo);
      }
      if (ok) cmd = {Command::Kind::Light, 0, rgb};
      break;
    }
    case 'd':
      if (arg.empty()) cmd.kind = Command::Kind::Diag;
      break;
    default: break;
  }
  return cmd;
}

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
    if (line.find(kOk) != std::string_view::npos) return true;
  }
  return false;
}

bool endsSequenceReply(std::string_view chunk) {
  // Neither marker holds a "\n", so a line holds one exactly when the chunk does.
  return chunk.find(kOk) != std::string_view::npos || chunk.find(kErr) != std::string_view::npos;
}

std::optional<std::array<std::uint32_t, 3>> parseDiagNumbers(std::string_view text) {
  std::array<std::uint32_t, 3> values{};
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

}  // namespace camera::zpj
