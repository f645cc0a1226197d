// Feeds arbitrary bytes to every reader of the projector protocol: the
// host's reply and diagnostic parsers and the projector's command parser.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "camera/common/zpj_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> echoed;
  bool ok = camera::zpj::parseReply(text, &echoed);
  std::size_t total = 0;
  for (std::string_view line : echoed) {
    // Every echoed line lies inside the reply.
    if (line.data() < text.data() || line.data() + line.size() > text.data() + text.size()) __builtin_trap();
    total += line.size();
  }
  if (total > size) __builtin_trap();
  if (ok && echoed.empty()) __builtin_trap();
  (void)camera::zpj::endsSequenceReply(text);
  auto last = camera::zpj::lastDiagLine(text);
  auto first = camera::zpj::firstDiagMarker(text);
  for (const auto& v : {last, first}) {
    if (v && ((*v)[0] > 0x7fffffffu || (*v)[1] > 0x7fffffffu || (*v)[2] > 0x7fffffffu)) __builtin_trap();
  }
  // Each line as a command, as the projector reads it after its splitter.
  for (std::string_view line : camera::zpj::replyLines(text)) {
    camera::zpj::Command cmd = camera::zpj::parseCommand(line);
    using Kind = camera::zpj::Command::Kind;
    if (cmd.kind == Kind::Pattern && (cmd.number < 0 || cmd.number >= camera::zpj::kPatternCount)) __builtin_trap();
    if (cmd.kind == Kind::Sequence && (cmd.number < 1 || cmd.number > camera::zpj::kPatternCount)) __builtin_trap();
  }
  if (size >= 4) {
    std::uint32_t word = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                         static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    if (auto c = camera::zpj::headChannelChar(word); c && camera::zpj::headChannelWord(*c) != word) __builtin_trap();
  }
  return 0;
}
