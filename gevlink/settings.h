#pragma once
// Gevlink's settings, read once from an INI file: GEVLINK_CONFIG, else
// /etc/gevlink.conf. Sections and value names are those of the device
// library's registry keys; a missing file or value gives the default.
//
//   [SOFTWARE\KTS\ZazAVir]
//   DefaultCCP=1        ; 1..3, else 1
//   XMLNoErase=0        ; non-zero: keep the fetched XML files
//   XMLUseLocal=0       ; non-zero: load the XML already in the folder
//   [SOFTWARE\RivUZ\ZazAVir\Trace]
//   TraceFileDirectory=/var/log/gevlink
//   TraceFileSize=0x80000
//   TraceFileCount=10
//   TraceDataSize=128
#include <cstdint>
#include <string>

namespace gevlink {

struct Settings {
  uint32_t defaultCcp = 1;
  bool xmlNoErase = false;
  bool xmlUseLocal = false;
  // Where "XMLUseLocal" looks for CDF.XML, and where "XMLNoErase" keeps the
  // fetched files: the folder named by "XMLFolder" in the first section,
  // else a private folder made per open.
  std::string xmlFolder;
  std::string traceDirectory;  // empty: tracing off
  uint32_t traceFileSize = 0x80000;
  uint32_t traceFileCount = 10;
  uint32_t traceDataSize = 128;
};

// Applies the limits of each value (see settings.cpp).
Settings readSettings(const std::string& path);
// The path from GEVLINK_CONFIG, else /etc/gevlink.conf.
std::string settingsPath();
// Applies the trace limits to raw values (exposed for tests).
void limitTraceSettings(Settings& settings);

}  // namespace gevlink
