// Feeds arbitrary bytes to the input-script parser of `nubiview --script`.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "viewer/app/script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<nubiview::ScriptCommand> commands;
  std::string error;
  nubiview::ParseScript(std::string(reinterpret_cast<const char*>(data), size), commands, error);
  return 0;
}
