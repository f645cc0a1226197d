#include "sim/projector/projector_protocol.h"

#include "sim/projector/projector_state.h"

namespace sim {

namespace {

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

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ProjectorCommand parseProjectorCommand(std::string_view line) {
  ProjectorCommand cmd;
  if (line.empty()) return cmd;
  std::string_view arg = line.substr(1);
  long n = 0;
  switch (line[0]) {
    case 'p':
      if (parseNumber(arg, &n) && n < kPatternCount) cmd = {ProjectorCommand::Kind::Pattern, n, {}};
      break;
    case 'r':
      if (arg.empty()) cmd.kind = ProjectorCommand::Kind::Reset;
      break;
    case 'z':
      if (parseNumber(arg, &n) && n >= 1 && n <= kPatternCount) cmd = {ProjectorCommand::Kind::Sequence, n, {}};
      break;
    case 'x':
      if (parseNumber(arg, &n)) cmd = {ProjectorCommand::Kind::Echo, n, {}};
      break;
    case 'i': {
      if (arg.size() != 6) break;
      std::array<std::uint8_t, 3> rgb {};
      bool ok = true;
      for (std::size_t k = 0; k < 3 && ok; ++k) {
        int hi = hexValue(arg[2 * k]);
        int lo = hexValue(arg[2 * k + 1]);
        ok = hi >= 0 && lo >= 0;
        rgb[k] = static_cast<std::uint8_t>(hi * 16 + lo);
      }
      if (ok) cmd = {ProjectorCommand::Kind::Light, 0, rgb};
      break;
    }
    case 'd':
      if (arg.empty()) cmd.kind = ProjectorCommand::Kind::Diag;
      break;
    default:
      break;
  }
  return cmd;
}

std::optional<std::string> CommandSplitter::next(bool* overflow) {
  *overflow = false;
  std::size_t cr = pending_.find('\r');
  if (cr == std::string::npos) {
    if (pending_.size() > kMaxCommand) {
      pending_.clear();
      *overflow = true;
    }
    return std::nullopt;
  }
  std::string line;
  for (std::size_t i = 0; i < cr; ++i) {
    if (pending_[i] != '\n') line += pending_[i];
  }
  pending_.erase(0, cr + 1);
  return line;
}

}  // namespace sim
