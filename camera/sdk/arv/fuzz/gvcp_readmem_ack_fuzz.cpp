// Any datagram that reaches the name lookup's socket: the parser must never
// read past it nor write more than the bytes asked for.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera/sdk/arv/gvcp_readmem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t out[camera::sdk::kUserNameLength];
  std::vector<std::uint8_t> copy(data, data + size);  // exact size, so ASan sees an over-read
  camera::sdk::parseReadMemAck(copy.data(), copy.size(), 1, camera::sdk::kUserNameAddress,
                               camera::sdk::kUserNameLength, out);
  camera::sdk::userNameFromRegister(copy.data(), copy.size());
  return 0;
}
