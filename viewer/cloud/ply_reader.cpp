// PLY reading: header by the prefix table, binary records laid out from the
// declared properties, ASCII bodies as whole whitespace-separated lines whose
// columns follow the declared properties.
#include "viewer/cloud/ply_header.h"
#include "viewer/cloud/readers.h"
#include "viewer/cloud/store_bulk_access.h"
#include "viewer/cloud/text_fields.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace cloud {

namespace {

// Longest text line read as one row, in characters. Rows are read whole (a
// longer line used to become several points); a line beyond this bound
// gives one point from its first kMaxAsciiLine characters and the rest of
// the line is skipped.
constexpr std::size_t kMaxAsciiLine = 64 * 1024;
// Most values taken from one ASCII row; further tokens are ignored.
constexpr std::size_t kMaxAsciiTokens = 256;

// Reads one whole line; a line longer than kMaxAsciiLine is cut there and
// its remainder skipped.
bool readWholeLine(ByteReader& in, std::string_view& line, std::string& keep) {
  if (!in.readLine(kMaxAsciiLine, line)) return false;
  if (!in.lastLineCut()) return true;
  keep.assign(line);  // the next readLine reuses the reader's buffer
  std::string_view rest;
  while (in.lastLineCut() && in.readLine(kMaxAsciiLine, rest)) {
  }
  line = keep;
  return true;
}

struct Field {
  bool present = false;
  std::size_t offset = 0;
  PlyType type = PlyType::Unknown;
};

struct VertexLayout {
  std::size_t recordSize = 0;
  Field x, y, z;
  bool colour = false;
  Field red, green, blue;
};

double loadScalar(const std::uint8_t* p, PlyType type) {
  switch (type) {
    case PlyType::Int8: return static_cast<std::int8_t>(*p);
    case PlyType::UInt8: return *p;
    case PlyType::Int16: {
      std::int16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case PlyType::UInt16: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case PlyType::Int32: {
      std::int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case PlyType::UInt32: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case PlyType::Float32: {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case PlyType::Float64: {
      double v;
      std::memcpy(&v, p, 8);
      return v;
    }
    case PlyType::Unknown: break;
  }
  return 0.0;
}

bool isIntegerType(PlyType type) {
  return type != PlyType::Unknown && type != PlyType::Float32 && type != PlyType::Float64;
}

// Integer value of a list count or index; floating-point items are truncated
// and kept inside the int64 range so that the conversion is defined.
std::int64_t loadInteger(const std::uint8_t* p, PlyType type) {
  double v = loadScalar(p, type);
  if (!(v > -9.0e18)) return v != v ? 0 : INT64_MIN;
  if (v > 9.0e18) return INT64_MAX;
  return static_cast<std::int64_t>(v);
}

std::uint8_t toColourByte(const std::uint8_t* p, PlyType type) {
  if (type == PlyType::UInt8) return *p;
  double v = loadScalar(p, type);
  if (!(v > 0.0)) return 0;
  if (v >= 255.0) return 255;
  return static_cast<std::uint8_t>(v);
}

// The record described by every declared vertex property. False when some
// property cannot be sized (an unknown type, a list) or x is not among them.
bool declaredLayout(const PlyHeader& h, VertexLayout& out) {
  VertexLayout l;
  std::size_t offset = 0;
  for (const PlyProperty& p : h.vertexProperties) {
    std::size_t size = p.isList ? 0 : plyTypeSize(p.type);
    if (size == 0) return false;
    Field f{true, offset, p.type};
    Field* slot = nullptr;
    if (p.name == "x")
      slot = &l.x;
    else if (p.name == "y")
      slot = &l.y;
    else if (p.name == "z")
      slot = &l.z;
    else if (p.name == "red")
      slot = &l.red;
    else if (p.name == "green")
      slot = &l.green;
    else if (p.name == "blue")
      slot = &l.blue;
    if (slot != nullptr && !slot->present) *slot = f;
    offset += size;
  }
  if (!l.x.present) return false;
  l.recordSize = offset;
  l.colour = h.hasRed && l.red.present;
  out = l;
  return true;
}

// The fixed record of the prefix flags alone: x, y, z of the type of x, then
// red, green, blue bytes if red was declared, then alpha if both were.
VertexLayout flagLayout(const PlyHeader& h) {
  VertexLayout l;
  const std::size_t c = h.coordinateSize;
  const PlyType t = c == 8 ? PlyType::Float64 : PlyType::Float32;
  l.x = {true, 0, t};
  l.y = {true, c, t};
  l.z = {true, 2 * c, t};
  l.recordSize = 3 * c;
  if (h.hasRed) {
    l.colour = true;
    l.red = {true, 3 * c, PlyType::UInt8};
    l.green = {true, 3 * c + 1, PlyType::UInt8};
    l.blue = {true, 3 * c + 2, PlyType::UInt8};
    l.recordSize += h.hasAlpha ? 4 : 3;
  }
  return l;
}

bool isPackedFloatXyz(const VertexLayout& l) {
  return l.x.type == PlyType::Float32 && l.y.present && l.y.type == PlyType::Float32 && l.y.offset == l.x.offset + 4 &&
         l.z.present && l.z.type == PlyType::Float32 && l.z.offset == l.x.offset + 8;
}

bool isPackedByteRgb(const VertexLayout& l) {
  return l.red.type == PlyType::UInt8 && l.green.present && l.green.type == PlyType::UInt8 &&
         l.green.offset == l.red.offset + 1 && l.blue.present && l.blue.type == PlyType::UInt8 &&
         l.blue.offset == l.red.offset + 2;
}

float loadCoordinate(const std::uint8_t* record, const Field& f) {
  return f.present ? narrowToFloat(loadScalar(record + f.offset, f.type)) : 0.0f;
}

std::uint8_t loadColour(const std::uint8_t* record, const Field& f) {
  return f.present ? toColourByte(record + f.offset, f.type) : 255;
}

// Any other layout: every value converted from its declared type.
void splitRecords(const std::uint8_t* src, std::size_t count, const VertexLayout& l, CloudStore::PointRoom room) {
  const std::size_t r = l.recordSize;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* rec = src + i * r;
    room.positions[3 * i] = loadCoordinate(rec, l.x);
    room.positions[3 * i + 1] = loadCoordinate(rec, l.y);
    room.positions[3 * i + 2] = loadCoordinate(rec, l.z);
    room.colours[3 * i] = l.colour ? loadColour(rec, l.red) : 255;
    room.colours[3 * i + 1] = l.colour ? loadColour(rec, l.green) : 255;
    room.colours[3 * i + 2] = l.colour ? loadColour(rec, l.blue) : 255;
  }
}

// Packed float x, y, z (the usual case): the block is read in one piece
// straight into the positions array, grown to hold it, and compacted there.
// Apart from the colours, a load then touches no memory but the store's own.
bool readPackedInPlace(ByteReader& in, CloudStore& store, const VertexLayout& l, std::size_t count) {
  auto& pos = CloudStoreBulkAccess::positions(store);
  auto& col = CloudStoreBulkAccess::colours(store);
  const std::size_t r = l.recordSize;
  const std::size_t bytes = count * r;
  const std::size_t old = pos.size();
  const std::size_t scratch = std::max(3 * count, (bytes + 3) / 4);
  pos.resize(old + scratch);
  try {
    col.resize(old + 3 * count);
  } catch (...) {
    pos.resize(old);
    throw;
  }
  auto* raw = reinterpret_cast<std::uint8_t*>(pos.data() + old);
  if (!in.readExact(raw, bytes)) {
    pos.resize(old);
    col.resize(old);
    return false;
  }
  float* out = pos.data() + old;
  std::uint8_t* c = col.data() + old;
  // Record i moves from byte r*i to byte 12*i, never past its own start, and
  // its colour is taken before the move, so nothing is read after it was overwritten.
  const std::uint8_t* xyz = raw + l.x.offset;
  if (l.colour && isPackedByteRgb(l)) {
    const std::uint8_t* rgb = raw + l.red.offset;
    for (std::size_t i = 0; i < count; ++i) {
      c[3 * i] = rgb[i * r];
      c[3 * i + 1] = rgb[i * r + 1];
      c[3 * i + 2] = rgb[i * r + 2];
      float v[3];
      std::memcpy(v, xyz + i * r, 12);
      std::memcpy(out + 3 * i, v, 12);
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t* rec = raw + i * r;
      c[3 * i] = l.colour ? loadColour(rec, l.red) : 255;
      c[3 * i + 1] = l.colour ? loadColour(rec, l.green) : 255;
      c[3 * i + 2] = l.colour ? loadColour(rec, l.blue) : 255;
      float v[3];
      std::memcpy(v, xyz + i * r, 12);
      std::memcpy(out + 3 * i, v, 12);
    }
  }
  pos.resize(old + 3 * count);
  // Give the pages of the scratch tail back; they hold nothing any more.
  const auto tailBegin = reinterpret_cast<std::uintptr_t>(pos.data() + old + 3 * count);
  const auto tailEnd = reinterpret_cast<std::uintptr_t>(pos.data() + old + scratch);
  constexpr std::uintptr_t kPage = 4096;
  const std::uintptr_t first = (tailBegin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = tailEnd & ~(kPage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  return true;
}

// The whole vertex block in one read; false (nothing added) when the data
// holds fewer bytes than the header's count asks for.
bool readBinaryVertices(ByteReader& in, CloudStore& store, const PlyHeader& h) {
  VertexLayout l;
  if (!declaredLayout(h, l)) l = flagLayout(h);
  const std::uint64_t count = h.vertexCount;
  // Checked against the real size before anything is allocated: a header
  // may claim billions of vertices in a file of a few bytes.
  if (count > in.remaining() / l.recordSize) return false;
  const std::size_t n = static_cast<std::size_t>(count);
  if (n == 0) return true;
  if (isPackedFloatXyz(l)) return readPackedInPlace(in, store, l, n);
  const std::size_t bytes = n * l.recordSize;
  auto block = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
  if (!in.readExact(block.get(), bytes)) return false;
  splitRecords(block.get(), n, l, store.appendPoints(n));
  return true;
}

// Faces as the viewer has always written them: a 4-byte count, then 4-byte
// indices; only triangles are kept, other faces skipped.
void readLegacyFaces(ByteReader& in, std::uint64_t faceCount, CloudStore& store) {
  for (std::uint64_t f = 0; f < faceCount; ++f) {
    std::int32_t n;
    if (!in.readExact(&n, 4)) return;
    if (n != 3) {
      if (n < 0) return;  // no sensible record follows a negative count
      if (!in.skip(static_cast<std::uint64_t>(n) * 4)) return;
      continue;
    }
    std::int32_t idx[3];
    if (!in.readExact(idx, 12)) return;
    store.appendTriangle(idx[0], idx[1], idx[2]);
  }
}

// Faces laid out by the declared face properties (all of known size, list
// counts of integer type). indexList names the list holding the corners.
void readDeclaredFaces(ByteReader& in, std::uint64_t faceCount, const std::vector<PlyProperty>& props,
                       std::size_t indexList, CloudStore& store) {
  for (std::uint64_t f = 0; f < faceCount; ++f) {
    bool triangle = false;
    std::int32_t idx[3] = {0, 0, 0};
    for (std::size_t k = 0; k < props.size(); ++k) {
      const PlyProperty& p = props[k];
      const std::size_t itemSize = plyTypeSize(p.type);
      if (!p.isList) {
        if (!in.skip(itemSize)) return;
        continue;
      }
      std::uint8_t raw[24];
      if (!in.readExact(raw, plyTypeSize(p.countType))) return;
      const std::int64_t n = loadInteger(raw, p.countType);
      if (n < 0) return;
      if (k == indexList && n == 3) {
        if (!in.readExact(raw, 3 * itemSize)) return;
        for (std::size_t c = 0; c < 3; ++c) {
          idx[c] = static_cast<std::int32_t>(loadInteger(raw + c * itemSize, p.type));
        }
        triangle = true;
      } else if (!in.skip(static_cast<std::uint64_t>(n) * itemSize)) {
        return;
      }
    }
    if (triangle) store.appendTriangle(idx[0], idx[1], idx[2]);
  }
}

void readBinaryFaces(ByteReader& in, CloudStore& store, const PlyHeader& h) {
  if (h.faceCount == 0) return;
  // The corner list: "vertex_indices" (or "vertex_index"), else the first list.
  const std::vector<PlyProperty>& props = h.faceProperties;
  std::size_t indexList = props.size();
  for (std::size_t k = 0; k < props.size() && indexList == props.size(); ++k) {
    if (props[k].isList && (props[k].name == "vertex_indices" || props[k].name == "vertex_index")) {
      indexList = k;
    }
  }
  for (std::size_t k = 0; k < props.size() && indexList == props.size(); ++k) {
    if (props[k].isList) indexList = k;
  }
  // Without a usable description the faces are read as this viewer writes them.
  bool usable = indexList < props.size();
  for (const PlyProperty& p : props) {
    if (plyTypeSize(p.type) == 0 || (p.isList && !isIntegerType(p.countType))) usable = false;
  }
  // Older files of this viewer declare a uchar count but hold a 4-byte count
  // and three 4-byte indices: 16 bytes for every face, the rest of the file.
  const std::uint64_t rest = in.remaining();
  const bool legacy =
      !usable || (props[indexList].countType == PlyType::UInt8 && rest % 16 == 0 && rest / 16 == h.faceCount);
  if (legacy) {
    readLegacyFaces(in, h.faceCount, store);
  } else {
    readDeclaredFaces(in, h.faceCount, props, indexList, store);
  }
}

void readAsciiFaces(ByteReader& in, CloudStore& store, std::uint64_t faceCount) {
  std::string_view line;
  std::string keep;
  std::string_view tokens[4];
  for (std::uint64_t f = 0; f < faceCount; ++f) {
    if (!readWholeLine(in, line, keep)) return;
    if (splitTokens(line, tokens, 4) == 4 && parseIntPrefix(tokens[0]) == 3) {
      store.appendTriangle(parseIntPrefix(tokens[1]), parseIntPrefix(tokens[2]), parseIntPrefix(tokens[3]));
    }
  }
}

// What each declared vertex property of an ASCII body holds.
enum class Column { Other, X, Y, Z, Red, Green, Blue };

struct AsciiColumn {
  Column what = Column::Other;
  bool isList = false;
};

// The columns in the header's property order; without declared properties
// (text rows) x, y, z, red, green, blue.
std::vector<AsciiColumn> asciiColumns(const std::vector<PlyProperty>& props) {
  if (props.empty()) {
    return {{Column::X, false},   {Column::Y, false},     {Column::Z, false},
            {Column::Red, false}, {Column::Green, false}, {Column::Blue, false}};
  }
  std::vector<AsciiColumn> cols;
  for (const PlyProperty& p : props) {
    AsciiColumn c;
    c.isList = p.isList;
    if (!p.isList) {
      if (p.name == "x")
        c.what = Column::X;
      else if (p.name == "y")
        c.what = Column::Y;
      else if (p.name == "z")
        c.what = Column::Z;
      else if (p.name == "red")
        c.what = Column::Red;
      else if (p.name == "green")
        c.what = Column::Green;
      else if (p.name == "blue")
        c.what = Column::Blue;
    }
    cols.push_back(c);
  }
  return cols;
}

// A colour value held to 0..255 (999 used to wrap to 231); fractions are cut.
std::uint8_t colourByte(std::string_view token) {
  const float v = parseFloatPrefix(token);
  if (!(v > 0)) return 0;  // also NaN
  if (v >= 255) return 255;
  return static_cast<std::uint8_t>(v);
}

void readAsciiRows(ByteReader& in, CloudStore& store, std::uint64_t lineCount, const std::vector<PlyProperty>& props) {
  const std::vector<AsciiColumn> cols = asciiColumns(props);
  std::string_view line;
  std::string keep;
  std::vector<std::string_view> tokens(kMaxAsciiTokens);
  for (std::uint64_t i = 0; lineCount == 0 || i < lineCount; ++i) {
    if (!readWholeLine(in, line, keep)) return;
    const std::size_t n = splitTokens(line, tokens.data(), tokens.size());
    float xyz[3] = {0.0f, 0.0f, 0.0f};
    std::uint8_t rgb[3] = {255, 255, 255};
    std::size_t t = 0;
    for (const AsciiColumn& c : cols) {
      if (t >= n) break;
      if (c.isList) {
        // A list: its count, then that many items, none of which we use.
        const std::int32_t count = parseIntPrefix(tokens[t]);
        t += 1 + (count > 0 ? static_cast<std::size_t>(count) : 0);
        continue;
      }
      const std::string_view tok = tokens[t++];
      switch (c.what) {
        case Column::X: xyz[0] = parseFloatPrefix(tok); break;
        case Column::Y: xyz[1] = parseFloatPrefix(tok); break;
        case Column::Z: xyz[2] = parseFloatPrefix(tok); break;
        case Column::Red: rgb[0] = colourByte(tok); break;
        case Column::Green: rgb[1] = colourByte(tok); break;
        case Column::Blue: rgb[2] = colourByte(tok); break;
        case Column::Other: break;
      }
    }
    store.appendPoint(xyz[0], xyz[1], xyz[2], rgb[0], rgb[1], rgb[2]);
  }
}

}  // namespace

void readAsciiPoints(ByteReader& in, CloudStore& store, std::uint64_t lineCount) {
  readAsciiRows(in, store, lineCount, {});
}

void readPly(ByteReader& in, CloudStore& store) {
  const PlyHeader h = readPlyHeader(in);
  switch (h.encoding) {
    case PlyEncoding::Binary:
      if (h.coordinateSize == 0) return;
      if (readBinaryVertices(in, store, h)) readBinaryFaces(in, store, h);
      return;
    case PlyEncoding::Ascii:
      readAsciiRows(in, store, h.vertexCount, h.vertexProperties);
      readAsciiFaces(in, store, h.faceCount);
      return;
    case PlyEncoding::None: return;  // no format line, or big-endian data: nothing is read
  }
}

}  // namespace cloud
