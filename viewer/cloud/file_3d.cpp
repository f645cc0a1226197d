// The compact 3D dump: int32 count N, N positions (float64 or float32
// triples), N colours as blue, green, red bytes; all little-endian.
#include "viewer/cloud/byte_writer.h"
#include "viewer/cloud/readers.h"
#include "viewer/cloud/text_fields.h"
#include "viewer/cloud/writers.h"

#include <bit>
#include <cstring>
#include <limits>

namespace cloud {

static_assert(std::endian::native == std::endian::little, "point files are little-endian and copied without swapping");

void read3d(ByteReader& in, CloudStore& store) {
  const std::uint64_t fileSize = in.size();
  std::int32_t header = 0;
  if (fileSize < 4 || !in.readExact(&header, 4)) return;
  if (header <= 0) return;  // a negative count describes no layout at all
  const std::uint64_t n = static_cast<std::uint64_t>(header);
  // The file size decides the coordinate type; bytes beyond the layout are ignored.
  std::size_t coordinateSize;
  if (fileSize >= 27 * n + 4) {
    coordinateSize = 8;
  } else if (fileSize >= 15 * n + 4) {
    coordinateSize = 4;
  } else {
    return;
  }
  const std::size_t count = static_cast<std::size_t>(n);
  const std::size_t positionBytes = count * 3 * coordinateSize;
  const std::size_t bytes = positionBytes + count * 3;
  auto data = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
  if (!in.readExact(data.get(), bytes)) return;  // the file shrank under us

  CloudStore::PointRoom room = store.appendPoints(count);
  if (coordinateSize == 4) {
    std::memcpy(room.positions, data.get(), positionBytes);
  } else {
    const std::uint8_t* src = data.get();
    for (std::size_t i = 0; i < 3 * count; ++i) {
      double v;
      std::memcpy(&v, src + 8 * i, 8);
      room.positions[i] = narrowToFloat(v);
    }
  }
  const std::uint8_t* bgr = data.get() + positionBytes;
  for (std::size_t i = 0; i < count; ++i) {
    room.colours[3 * i] = bgr[3 * i + 2];
    room.colours[3 * i + 1] = bgr[3 * i + 1];
    room.colours[3 * i + 2] = bgr[3 * i];
  }
}

bool write3d(const CloudStore& store, const std::filesystem::path& path) {
  const std::size_t count = store.pointCount();
  // The count field is a signed 32-bit number; a larger cloud cannot be stored.
  if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return false;
  auto out = ByteWriter::create(path);
  if (!out) return false;
  const std::int32_t n = static_cast<std::int32_t>(count);
  out->write(&n, 4);
  out->write(store.positions().data(), store.positions().size_bytes());
  const std::uint8_t* rgb = store.colours().data();
  constexpr std::size_t kChunk = ByteWriter::kMaxReserve / 3;
  for (std::size_t first = 0; first < count; first += kChunk) {
    const std::size_t m = count - first < kChunk ? count - first : kChunk;
    char* dst = out->reserve(3 * m);
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint8_t* c = rgb + 3 * (first + i);
      dst[3 * i] = static_cast<char>(c[2]);
      dst[3 * i + 1] = static_cast<char>(c[1]);
      dst[3 * i + 2] = static_cast<char>(c[0]);
    }
    out->commit(3 * m);
  }
  return out->finish();
}

}  // namespace cloud
