// Feeds one datagram to every GVSP parser.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gevlink/wire/gvsp.h"

using namespace gevlink::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  GvspHeader header;
  std::span<const uint8_t> payload = in;
  if (!parseGvspHeader(in, header, payload)) payload = in;
  ImageLeader leader;
  ImageTrailer trailer;
  parseImageLeader(payload, leader);
  parseImageTrailer(payload, trailer);
  return 0;
}
