#pragma once
// The text of a device's URL register, naming where its GenICam file is:
//   "Local:NAME;ADDRESS;LENGTH"  (hex) in device memory
//   "File:PATH"                  a file on this PC
//   "http:..."                   a download
// Comparisons are case-sensitive; a file name must end in ".xml", ".zip",
// ".XML" or ".ZIP" (a mixed-case extension is refused).
#include <cstddef>
#include <cstdint>
#include <string>

namespace gevlink {

struct XmlLocation {
  enum Kind { kOther, kLocal, kFile, kHttp } kind = kOther;
  bool valid = false;  // a known form with a proper name (kOther: never)
  bool zip = false;
  std::string name;  // file name, path or the whole URL
  uint32_t address = 0, length = 0;
};

// The largest GenICam file we fetch from device memory: 64 MiB (a device
// that announces more is misbehaving; the buffer is allocated from it).
inline constexpr uint32_t kMaxLocalXmlLength = 64u << 20;

// text: the register bytes; it ends at the first zero byte or at size.
XmlLocation parseXmlLocation(const char* text, std::size_t size);

}  // namespace gevlink
