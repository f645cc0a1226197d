// PLY writing, binary little-endian or ASCII, points with colours and the
// triangles of the store.
#include "viewer/cloud/byte_writer.h"
#include "viewer/cloud/number_format.h"
#include "viewer/cloud/writers.h"

#include <cstring>
#include <string>

namespace cloud {

namespace {

std::string plyHeader(const CloudStore& store, bool binary) {
  std::string h = "ply\n";
  h += binary ? "format binary_little_endian 1.0\n" : "format ascii 1.0\n";
  h += "element vertex " + std::to_string(store.pointCount()) + "\n";
  h += "property float x\nproperty float y\nproperty float z\n";
  h += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  if (store.triangleCount() > 0) {
    h += "element face " + std::to_string(store.triangleCount()) + "\n";
    // The count really is a 4-byte int in the body; declaring it so lets
    // every PLY tool read the faces. Older files of ours declared "uchar"
    // over the same body; the reader still recognises those.
    h += "property list int int vertex_indices\n";
  }
  h += "end_header\n";
  return h;
}

void writeBinaryBody(const CloudStore& store, ByteWriter& out) {
  const float* xyz = store.positions().data();
  const std::uint8_t* rgb = store.colours().data();
  const std::size_t count = store.pointCount();
  // 15-byte records packed a chunk at a time straight into the write buffer.
  // Colours go in as 4-byte moves: the fourth byte lands where the next
  // record's x goes and is overwritten by it; the chunk's last record has one
  // spare byte of room, and the cloud's very last colour is copied bytewise
  // because its fourth source byte lies beyond the colour array.
  constexpr std::size_t kChunk = (ByteWriter::kMaxReserve - 1) / 15;
  for (std::size_t first = 0; first < count && out.ok(); first += kChunk) {
    const std::size_t m = count - first < kChunk ? count - first : kChunk;
    char* dst = out.reserve(15 * m + 1);
    const float* p = xyz + 3 * first;
    const std::uint8_t* c = rgb + 3 * first;
    const std::size_t wide = first + m == count ? m - 1 : m;
    for (std::size_t i = 0; i < wide; ++i) {
      std::memcpy(dst + 15 * i, p + 3 * i, 12);
      std::memcpy(dst + 15 * i + 12, c + 3 * i, 4);
    }
    if (wide < m) {
      std::memcpy(dst + 15 * wide, p + 3 * wide, 12);
      std::memcpy(dst + 15 * wide + 12, c + 3 * wide, 3);
    }
    out.commit(15 * m);
  }
  const std::int32_t* tri = store.triangles().data();
  const std::size_t faces = store.triangleCount();
  constexpr std::size_t kFaceChunk = ByteWriter::kMaxReserve / 16;
  for (std::size_t first = 0; first < faces && out.ok(); first += kFaceChunk) {
    const std::size_t m = faces - first < kFaceChunk ? faces - first : kFaceChunk;
    char* dst = out.reserve(16 * m);
    for (std::size_t i = 0; i < m; ++i) {
      const std::int32_t record[4] = {3, tri[3 * (first + i)], tri[3 * (first + i) + 1], tri[3 * (first + i) + 2]};
      std::memcpy(dst + 16 * i, record, 16);
    }
    out.commit(16 * m);
  }
}

void writeAsciiBody(const CloudStore& store, ByteWriter& out) {
  const float* xyz = store.positions().data();
  const std::uint8_t* rgb = store.colours().data();
  const std::size_t count = store.pointCount();
  for (std::size_t i = 0; i < count && out.ok(); ++i) {
    // "%.3f %.3f %.3f %u %u %u\n"
    char* const line = out.reserve(3 * (kMaxFixedChars + 1) + 3 * 4 + 1);
    char* p = line;
    for (int k = 0; k < 3; ++k) {
      p = putFixed(p, xyz[3 * i + k], 3);
      *p++ = ' ';
    }
    for (int k = 0; k < 3; ++k) {
      p = putUnsigned(p, rgb[3 * i + k]);
      *p++ = k < 2 ? ' ' : '\n';
    }
    out.commit(static_cast<std::size_t>(p - line));
  }
  const std::int32_t* tri = store.triangles().data();
  const std::size_t faces = store.triangleCount();
  for (std::size_t t = 0; t < faces && out.ok(); ++t) {
    // "%d %d %d %d\n" with 3 first
    char* const line = out.reserve(2 + 3 * 12);
    char* p = line;
    *p++ = '3';
    for (int k = 0; k < 3; ++k) {
      *p++ = ' ';
      p = putSigned(p, tri[3 * t + k]);
    }
    *p++ = '\n';
    out.commit(static_cast<std::size_t>(p - line));
  }
}

}  // namespace

bool writePly(const CloudStore& store, const std::filesystem::path& path, bool binary) {
  auto out = ByteWriter::create(path);
  if (!out) return false;
  out->write(plyHeader(store, binary));
  if (binary) {
    writeBinaryBody(store, *out);
  } else {
    writeAsciiBody(store, *out);
  }
  return out->finish();
}

}  // namespace cloud
