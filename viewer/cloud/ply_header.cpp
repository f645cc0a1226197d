#include "viewer/cloud/ply_header.h"

#include "viewer/cloud/text_fields.h"

namespace cloud {

namespace {

constexpr std::size_t kMaxHeaderLine = 255;

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Splits a cleaned line (single blanks) into words.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    std::size_t end = line.find(' ', i);
    if (end == std::string_view::npos) end = line.size();
    if (end > i) out.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  return out;
}

enum class Element { None, Vertex, Face, Other };

}  // namespace

std::size_t plyTypeSize(PlyType type) {
  switch (type) {
    case PlyType::Int8:
    case PlyType::UInt8: return 1;
    case PlyType::Int16:
    case PlyType::UInt16: return 2;
    case PlyType::Int32:
    case PlyType::UInt32:
    case PlyType::Float32: return 4;
    case PlyType::Float64: return 8;
    case PlyType::Unknown: break;
  }
  return 0;
}

PlyType plyTypeFromName(std::string_view name) {
  struct Entry {
    std::string_view name;
    PlyType type;
  };
  static constexpr Entry kTypes[] = {
      {"char", PlyType::Int8},       {"int8", PlyType::Int8},       {"uchar", PlyType::UInt8},
      {"uint8", PlyType::UInt8},     {"short", PlyType::Int16},     {"int16", PlyType::Int16},
      {"ushort", PlyType::UInt16},   {"uint16", PlyType::UInt16},   {"int", PlyType::Int32},
      {"int32", PlyType::Int32},     {"uint", PlyType::UInt32},     {"uint32", PlyType::UInt32},
      {"float", PlyType::Float32},   {"float32", PlyType::Float32}, {"double", PlyType::Float64},
      {"float64", PlyType::Float64},
  };
  for (const Entry& e : kTypes) {
    if (e.name == name) return e.type;
  }
  return PlyType::Unknown;
}

std::string cleanHeaderLine(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  bool leading = true;
  bool lastBlank = false;
  for (char c : raw) {
    if (c == '\r' || c == '\n') continue;
    if (c == '\t') c = ' ';
    if (c == ' ') {
      if (leading || lastBlank) continue;
      lastBlank = true;
    } else {
      leading = false;
      lastBlank = false;
    }
    out.push_back(c);
  }
  return out;
}

PlyHeader readPlyHeader(ByteReader& in) {
  PlyHeader h;
  Element current = Element::None;
  std::string_view raw;
  while (in.readLine(kMaxHeaderLine, raw)) {
    std::string line = cleanHeaderLine(raw);
    if (line.empty()) continue;

    // The prefix table: the first prefix that matches decides the line.
    if (startsWith(line, "format binary_little_endian")) {
      h.encoding = PlyEncoding::Binary;
    } else if (startsWith(line, "format ascii")) {
      h.encoding = PlyEncoding::Ascii;
    } else if (startsWith(line, "element vertex")) {
      h.vertexCount = parseCount(std::string_view(line).substr(14));
    } else if (startsWith(line, "property float x")) {
      h.coordinateSize = 4;
    } else if (startsWith(line, "property double x")) {
      h.coordinateSize = 8;
    } else if (startsWith(line, "end_header")) {
      h.complete = true;
      break;
    } else if (startsWith(line, "property uchar alpha")) {
      h.hasAlpha = true;
    } else if (startsWith(line, "property uchar red")) {
      h.hasRed = true;
    } else if (startsWith(line, "element face")) {
      h.faceCount = parseCount(std::string_view(line).substr(12));
    }

    // The element structure, for the record layout of binary data.
    std::vector<std::string_view> w = words(line);
    if (w.size() >= 2 && w[0] == "element") {
      if (w[1] == "vertex") {
        current = Element::Vertex;
        h.vertexProperties.clear();
      } else if (w[1] == "face") {
        current = Element::Face;
        h.faceProperties.clear();
      } else {
        current = Element::Other;
      }
    } else if (w.size() >= 3 && w[0] == "property" && (current == Element::Vertex || current == Element::Face)) {
      PlyProperty p;
      if (w[1] == "list") {
        p.isList = true;
        if (w.size() >= 5) {
          p.countType = plyTypeFromName(w[2]);
          p.type = plyTypeFromName(w[3]);
          p.name = std::string(w[4]);
        }
      } else {
        p.type = plyTypeFromName(w[1]);
        p.name = std::string(w[2]);
      }
      (current == Element::Vertex ? h.vertexProperties : h.faceProperties).push_back(std::move(p));
    }
  }
  return h;
}

}  // namespace cloud
