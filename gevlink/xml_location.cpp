#include "gevlink/xml_location.h"

#include <string_view>

#include "gevlink/wire/bootstrap.h"

namespace gevlink {

XmlLocation parseXmlLocation(const char* data, std::size_t size) {
  XmlLocation loc;
  std::string text = wire::urlText(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), data ? size : 0));
  wire::XmlLocation parsed;
  wire::ParseResult r = wire::parseXmlUrl(text, parsed);
  switch (parsed.kind) {
    case wire::XmlLocation::Kind::Local: loc.kind = XmlLocation::kLocal; break;
    case wire::XmlLocation::Kind::File: loc.kind = XmlLocation::kFile; break;
    case wire::XmlLocation::Kind::Http: loc.kind = XmlLocation::kHttp; break;
    case wire::XmlLocation::Kind::Unknown: loc.kind = XmlLocation::kOther; break;
  }
  // A scheme we know with a bad name (mixed-case extension, ...) is refused.
  if (!r) {
    if (text.rfind("Local:", 0) == 0)
      loc.kind = XmlLocation::kLocal;
    else if (text.rfind("File:", 0) == 0)
      loc.kind = XmlLocation::kFile;
    else if (text.rfind("http:", 0) == 0)
      loc.kind = XmlLocation::kHttp;
    return loc;
  }
  if (loc.kind == XmlLocation::kOther) return loc;
  loc.name = loc.kind == XmlLocation::kHttp ? text : parsed.name;
  loc.address = parsed.address;
  loc.length = parsed.length;
  loc.zip = parsed.zip;
  if (loc.kind == XmlLocation::kHttp) {
    // A URL must name the file itself: at least 6 characters ending in one of
    // the four extensions.
    std::string ext = text.size() >= 4 ? text.substr(text.size() - 4) : "";
    bool xml = ext == ".xml" || ext == ".XML", zip = ext == ".zip" || ext == ".ZIP";
    loc.zip = zip;
    loc.valid = text.size() >= 6 && (xml || zip);
    return loc;
  }
  loc.valid = !(loc.kind == XmlLocation::kLocal && loc.length > kMaxLocalXmlLength);
  return loc;
}

}  // namespace gevlink
