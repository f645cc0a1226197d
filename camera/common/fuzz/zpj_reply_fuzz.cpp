// Feeds arbitrary bytes to the projector reply and diagnostic parsers.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "camera/common/zpj_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> echoed;
  bool ok = camera::parseReply(text, &echoed);
  std::size_t total = 0;
  for (std::string_view line : echoed) {
    // Every echoed line lies inside the reply.
    if (line.data() < text.data() || line.data() + line.size() > text.data() + text.size()) __builtin_trap();
    total += line.size();
  }
  if (total > size) __builtin_trap();
  if (ok && echoed.empty()) __builtin_trap();
  (void)camera::endsSequenceReply(text);
  auto last = camera::lastDiagLine(text);
  auto first = camera::firstDiagMarker(text);
  for (const auto& v : {last, first}) {
    if (v && ((*v)[0] > 0x7fffffffu || (*v)[1] > 0x7fffffffu || (*v)[2] > 0x7fffffffu)) __builtin_trap();
  }
  return 0;
}
