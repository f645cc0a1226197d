// Text rows (".csv", ".txt"): one point per line, "x y z red green blue".
// A comma is not a separator, so ".csv" files read exactly like ".txt".
#include "viewer/cloud/byte_writer.h"
#include "viewer/cloud/number_format.h"
#include "viewer/cloud/readers.h"
#include "viewer/cloud/writers.h"

namespace cloud {

void readTextRows(ByteReader& in, CloudStore& store) { readAsciiPoints(in, store, 0); }

bool writeTextRows(const CloudStore& store, const std::filesystem::path& path) {
  auto out = ByteWriter::create(path);
  if (!out) return false;
  const float* xyz = store.positions().data();
  const std::uint8_t* rgb = store.colours().data();
  const std::size_t count = store.pointCount();
  for (std::size_t i = 0; i < count && out->ok(); ++i) {
    // "%.4f %.4f %.4f %u %u %u\r\n"
    char* const line = out->reserve(3 * (kMaxFixedChars + 1) + 3 * 4 + 2);
    char* p = line;
    for (int k = 0; k < 3; ++k) {
      p = putFixed(p, xyz[3 * i + k], 4);
      *p++ = ' ';
    }
    for (int k = 0; k < 3; ++k) {
      p = putUnsigned(p, rgb[3 * i + k]);
      *p++ = k < 2 ? ' ' : '\r';
    }
    *p++ = '\n';
    out->commit(static_cast<std::size_t>(p - line));
  }
  return out->finish();
}

}  // namespace cloud
