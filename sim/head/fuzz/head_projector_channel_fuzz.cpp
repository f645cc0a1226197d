// Register writes and reads of the head's projector channel: any words, any
// order; replies stay bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sim/head/head_projector_channel.h"

namespace {
class NoActions : public sim::head::HeadProjectorActions {
 public:
  void showPattern(int pattern) override {
    if (pattern < 0 || pattern > 12) std::abort();
  }
  void setLight(uint8_t, uint8_t, uint8_t) override {}
  void runSequence(int count) override {
    if (count < 1 || count > 13) std::abort();
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NoActions actions;
  sim::head::HeadProjectorChannel channel(actions);
  // Each input byte becomes one correctly framed character, except that a
  // 0xFF byte takes the next four bytes as a raw register word and 0xFE reads.
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && i + 4 < size) {
      uint32_t word;
      std::memcpy(&word, data + i + 1, 4);
      channel.write(word);
      i += 4;
    } else if (data[i] == 0xFE) {
      channel.read();
    } else {
      uint32_t code = data[i];
      channel.write(((~code & 0xFFFFu) << 16) | code);
    }
  }
  size_t replies = 0;
  while (channel.read() != 0) ++replies;
  if (replies > sim::head::HeadProjectorChannel::kMaxReply) std::abort();
  return 0;
}
