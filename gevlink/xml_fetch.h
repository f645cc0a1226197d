#pragma once
// Fetching a device's GenICam file into "CDF.XML" (and "CDF.ZIP" for an
// archive) in a folder of this open: from device memory ("Local:"), from a
// file ("File:") or over HTTP (libcurl).
#include <cstdint>
#include <functional>
#include <string>

#include "gevlink/transport.h"
#include "gevlink/xml_location.h"

namespace gevlink {

inline constexpr const char* kXmlFileName = "CDF.XML";
inline constexpr const char* kZipFileName = "CDF.ZIP";

// Reads device memory; throws GDevExceptionI on a port failure.
using MemoryReader = std::function<void(uint32_t address, void* out, uint32_t length)>;

// Fetches what the location names. A location of no known form fetches
// nothing and succeeds (loading the missing file fails later). Failures:
// 1208 with 0x20000084 (bad name, missing file, download failed: info = the
// HTTP status or libcurl code), 0x20000083 (archive: info = minizip error),
// 0x20000087 (cannot write: info = errno).
TransportResult fetchXml(const XmlLocation& location, const MemoryReader& read, const std::string& folder);

// Unpacks the first file of the zip archive at zipPath into xmlPath.
TransportResult unzipFirstFile(const std::string& zipPath, const std::string& xmlPath);

}  // namespace gevlink
