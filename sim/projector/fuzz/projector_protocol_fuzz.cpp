// Feeds arbitrary bytes, in two pieces, to the command splitter and parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sim/projector/projector_protocol.h"
#include "sim/projector/projector_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  sim::CommandSplitter splitter;
  std::size_t half = size / 2;
  for (std::string_view piece : {bytes.substr(0, half), bytes.substr(half)}) {
    splitter.append(piece);
    bool overflow = false;
    while (auto line = splitter.next(&overflow)) {
      if (line->find('\r') != std::string::npos || line->find('\n') != std::string::npos) __builtin_trap();
      sim::ProjectorCommand cmd = sim::parseProjectorCommand(*line);
      using Kind = sim::ProjectorCommand::Kind;
      if (cmd.kind == Kind::Pattern && (cmd.number < 0 || cmd.number >= sim::kPatternCount)) __builtin_trap();
      if (cmd.kind == Kind::Sequence && (cmd.number < 1 || cmd.number > sim::kPatternCount)) __builtin_trap();
    }
  }
  return 0;
}
