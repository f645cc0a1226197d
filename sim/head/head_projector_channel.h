#pragma once
// The stereo head's serial channel to its projector (register 0x00300004).
//
// Writes: one character per write, the character code in the low 16 bits and
// the bitwise complement of those 16 bits in the high 16 (the letter i is
// 0xFF960069). A write whose high half is not that complement, or whose code
// is above 0xFF, is refused (the device answers "invalid parameter") and
// counted; the character is dropped.
// Reads: the projector's reply, one character per read in the low byte; 0
// when there is none.
//
// The head's projector takes the texts the head's plug-in sends, each ended
// by CR (LF is ignored):
//   o<n>      show pattern n (0..12) of the 13-pattern set; no answer
//             (n above 12: ignored, counted as a bad command)
//   i         answers one character: the brightness (the light level set by
//             the last i command, 255 at start; nothing when it is 0)
//   iRRGGBB   sets the light level per channel (hexadecimal); no answer; the
//             brightness becomes RR
//   z<n>      shows patterns 0..n-1 (n 1..13), one per sequence step; no answer
//   x...      accepted, no effect, no answer
// Anything else (or a text longer than 32 characters) is a bad command:
// counted, no answer. Replies not read are kept up to 1024 characters; older
// ones are dropped first.
#include <cstdint>
#include <deque>
#include <string>

namespace sim::head {

class HeadProjectorActions {
 public:
  virtual ~HeadProjectorActions() = default;
  virtual void showPattern(int pattern) = 0;
  virtual void setLight(uint8_t red, uint8_t green, uint8_t blue) = 0;
  virtual void runSequence(int count) = 0;
};

class HeadProjectorChannel {
 public:
  explicit HeadProjectorChannel(HeadProjectorActions& actions) : actions_(actions) {}

  // GVCP status: 0, or 0x8002 (invalid parameter) for a refused write.
  uint16_t write(uint32_t value);
  uint32_t read();

  uint64_t refusedWrites() const { return refused_; }
  uint64_t badCommands() const { return bad_; }
  uint8_t brightness() const { return brightness_; }

  static constexpr size_t kMaxLine = 32;
  static constexpr size_t kMaxReply = 1024;

 private:
  void execute(const std::string& line);
  void reply(uint8_t c);

  HeadProjectorActions& actions_;
  std::string line_;
  bool overlong_ = false;
  std::deque<uint8_t> reply_;
  uint64_t refused_ = 0, bad_ = 0;
  uint8_t brightness_ = 255;
};

}  // namespace sim::head
