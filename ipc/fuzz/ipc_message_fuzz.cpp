// Feeds arbitrary byte streams, in arbitrary pieces, through the server's
// message handling: framing, reply building and a callback that writes what
// each type allows. Nothing may be read or written out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipc/message.h"

namespace {

class FuzzCallback : public IIpcCallback {
 public:
  int onMessage(std::uint16_t id, char op, const char* name, char type, std::int32_t* status, void* data,
                std::int32_t* len) override {
    std::size_t n = std::strlen(name);  // must be terminated within the field
    if (n > 19) std::abort();
    *status = (id & 1) ? 1 : 0;
    if (op == 'G') {
      auto* p = static_cast<std::uint8_t*>(data);
      if (type == 'A') {
        std::int32_t claim = static_cast<std::int32_t>(id) * 7 - 1000;
        std::size_t write = claim < 0 ? 0 : static_cast<std::size_t>(claim);
        if (write > orvipc::kMaxData) write = orvipc::kMaxData;
        std::memset(p, 0x5A, write);
        *len = (id & 2) ? claim : static_cast<std::int32_t>(write);
      } else {
        std::memset(p, 0x11, 8);
      }
    } else if (*len > 0) {
      // The request's data is readable for its whole len.
      volatile std::uint8_t sum = 0;
      auto* p = static_cast<const std::uint8_t*>(data);
      for (std::int32_t i = 0; i < *len; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
      (void)sum;
    }
    return 0;
  }
  IIpcCallback* create() override { return nullptr; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte picks the piece size the stream arrives in.
  std::size_t piece = 1 + data[0] % 64;
  const std::uint8_t* stream = data + 1;
  std::size_t left = size - 1;
  orvipc::FrameReader reader([&](std::uint8_t* buf, std::size_t room) -> long {
    std::size_t n = piece < room ? piece : room;
    if (n > left) n = left;
    std::memcpy(buf, stream, n);
    stream += n;
    left -= n;
    return static_cast<long>(n);
  });
  FuzzCallback cb;
  std::vector<std::uint8_t> reply(orvipc::kMaxMessage);
  for (;;) {
    auto r = reader.next();
    if (r != orvipc::FrameReader::Result::kMessage) break;
    if (reader.size() > orvipc::kMaxMessage) std::abort();
    std::size_t out = orvipc::buildReply(reader.data(), reply.data(), &cb);
    if (out > orvipc::kMaxMessage || out != orvipc::kHeaderSize + orvipc::getLen(reply.data())) std::abort();
  }
  return 0;
}
