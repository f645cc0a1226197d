#pragma once
// The header of a PLY file as the reader understands it: the flags of the
// prefix table (what decides whether and how data is read) plus the declared
// properties of the vertex and face elements (what decides where each value
// sits in a binary record).
#include "viewer/cloud/byte_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cloud {

enum class PlyEncoding { None, Binary, Ascii };

enum class PlyType { Unknown, Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

// Size in bytes of a PLY scalar type; 0 for Unknown.
std::size_t plyTypeSize(PlyType type);
// "char"/"int8", "uchar"/"uint8", ... "double"/"float64"; Unknown otherwise.
PlyType plyTypeFromName(std::string_view name);

struct PlyProperty {
  std::string name;
  PlyType type = PlyType::Unknown;  // scalar type, or the item type of a list
  bool isList = false;
  PlyType countType = PlyType::Unknown;  // lists only
};

struct PlyHeader {
  // Decided by the prefix table, line by line, the first matching prefix wins.
  PlyEncoding encoding = PlyEncoding::None;
  std::size_t coordinateSize = 0;  // 4 ("property float x"), 8 ("property double x"), 0 = no x
  bool hasRed = false;             // "property uchar red" seen anywhere
  bool hasAlpha = false;           // "property uchar alpha" seen anywhere
  std::uint64_t vertexCount = 0;
  std::uint64_t faceCount = 0;
  bool complete = false;  // "end_header" seen

  // Properties declared after "element vertex" and after "element face".
  std::vector<PlyProperty> vertexProperties;
  std::vector<PlyProperty> faceProperties;
};

// Cleans one raw header line: CR and LF removed, leading blanks and tabs
// skipped, tabs turned into blanks, runs of blanks collapsed into one.
std::string cleanHeaderLine(std::string_view raw);

// Reads header lines (at most 255 characters each) up to and including
// "end_header", or to the end of the data. The reader is left at the first
// byte after the header.
PlyHeader readPlyHeader(ByteReader& in);

}  // namespace cloud
