#include "sim/head/head_projector_channel.h"

#include <cctype>

#include "sim/head/register_map.h"

namespace sim::head {
namespace {

// Decimal 0..999 taking all of text; -1 otherwise.
int parseSmallNumber(const std::string& text, size_t from) {
  if (from >= text.size() || text.size() - from > 3) return -1;
  int v = 0;
  for (size_t i = from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint16_t HeadProjectorChannel::write(uint32_t value) {
  const uint32_t code = value & 0xFFFFu;
  const uint32_t check = value >> 16;
  if (check != (~code & 0xFFFFu) || code > 0xFF) {
    ++refused_;
    return kStatusInvalidParameter;
  }
  const char c = static_cast<char>(code);
  if (c == '\n') return kStatusSuccess;
  if (c == '\r') {
    if (overlong_) {
      ++bad_;
    } else {
      execute(line_);
    }
    line_.clear();
    overlong_ = false;
    return kStatusSuccess;
  }
  if (line_.size() >= kMaxLine) {
    overlong_ = true;
  } else {
    line_.push_back(c);
  }
  return kStatusSuccess;
}

uint32_t HeadProjectorChannel::read() {
  if (reply_.empty()) return 0;
  uint8_t c = reply_.front();
  reply_.pop_front();
  return c;
}

void HeadProjectorChannel::reply(uint8_t c) {
  if (reply_.size() >= kMaxReply) reply_.pop_front();
  reply_.push_back(c);
}

void HeadProjectorChannel::execute(const std::string& line) {
  if (line.empty()) {
    ++bad_;
    return;
  }
  const char command = line[0];
  if (command == 'o') {
    int n = parseSmallNumber(line, 1);
    if (n < 0 || n > 12) {
      ++bad_;
      return;
    }
    actions_.showPattern(n);
  } else if (command == 'i') {
    if (line.size() == 1) {
      if (brightness_ != 0) reply(brightness_);
      return;
    }
    if (line.size() != 7) {
      ++bad_;
      return;
    }
    uint8_t rgb[3];
    for (int k = 0; k < 3; ++k) {
      int hi = hexDigit(line[1 + 2 * k]), lo = hexDigit(line[2 + 2 * k]);
      if (hi < 0 || lo < 0) {
        ++bad_;
        return;
      }
      rgb[k] = static_cast<uint8_t>(hi * 16 + lo);
    }
    brightness_ = rgb[0];
    actions_.setLight(rgb[0], rgb[1], rgb[2]);
  } else if (command == 'z') {
    int n = parseSmallNumber(line, 1);
    if (n < 1 || n > 13) {
      ++bad_;
      return;
    }
    actions_.runSequence(n);
  } else if (command == 'x') {
    // Accepted whatever follows: the head's projector has nothing to test.
  } else {
    ++bad_;
  }
}

}  // namespace sim::head
