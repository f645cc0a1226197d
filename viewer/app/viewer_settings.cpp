#include "viewer/app/viewer_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/profile.h"
#include "platform/text.h"

namespace nubiview {
namespace {

std::string readValue(const char* section, const char* key, const char* def, const std::string& ini,
                      std::size_t size = kIniValueSize) {
  char buf[kIniValueSize] = {};
  platform::getProfileString(section, key, def, buf, size < kIniValueSize ? size : kIniValueSize, ini.c_str());
  return buf;
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int axisOf(char c) {
  switch (upper(c)) {
    case 'X': return 1;
    case 'Y': return 2;
    case 'Z': return 3;
    default: return 0;
  }
}

// "X".."Z" give 1..3, "-X".."-Z" give -1..-3, anything else 0.
int signedAxis(const std::string& v) {
  if (v.empty()) return 0;
  if (int a = axisOf(v[0])) return a;
  if (v.size() >= 2 && v[0] == '-') return -axisOf(v[1]);
  return 0;
}

std::size_t fileNameStart(const std::string& p) {
  const std::size_t s = p.find_last_of("/\\");
  return s == std::string::npos ? 0 : s + 1;
}

}  // namespace

std::string ProgramIniPath(const std::string& exePath, const char* xdgConfigHome, const char* home,
                           const std::function<bool(const std::string&)>& exists) {
  const std::string beside = exePath.substr(0, fileNameStart(exePath)) + "nubiview.ini";
  if (exists(beside)) return beside;
  std::string base;
  if (xdgConfigHome && *xdgConfigHome == '/')
    base = xdgConfigHome;
  else if (home && *home)
    base = std::string(home) + "/.config";
  else
    return beside;
  return base + "/nubiview/nubiview.ini";
}

std::string CompanionIniPath(const std::string& pointPath) {
  std::string p = (!pointPath.empty() && pointPath[0] == '"') ? pointPath.substr(1) : pointPath;
  const std::size_t nameStart = fileNameStart(p);
  const std::size_t dot = p.find_last_of('.');
  if (dot != std::string::npos && dot >= nameStart) p.resize(dot);
  return p + ".ini";
}

bool IniPresent(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return f.is_open();
}

OutputSettings ReadOutputSettings(const std::string& ini) {
  OutputSettings s;
  s.outPath = readValue("Setting", "out_path", "", ini);
  s.outFormat = readValue("Setting", "out_format", "", ini, 8);
  if (s.outFormat.size() == 3 && platform::startsWithNoCase(s.outFormat, "ply")) s.outFormat = "ply.asc";
  const std::string bg = readValue("Setting", "bgcolor", "0", ini);
  s.bgColor = static_cast<std::uint32_t>(std::strtoul(bg.c_str(), nullptr, 16)) & 0xFFFFFFu;
  return s;
}

void ReadCoordinateSystem(CoordinateSystem& cs, const std::string& ini) {
  const std::string order = readValue("Color", "Order", "0", ini);
  if (platform::startsWithNoCase(order, "RGB"))
    cs.colourOrder = 1;
  else if (platform::startsWithNoCase(order, "BGR"))
    cs.colourOrder = 0;

  const std::string hand = readValue("CoordinateSystem", "Hand", "Right", ini);
  if (platform::startsWithNoCase(hand, "LEFT")) {
    cs.hand = 0;
    cs.reverseAxis = 0;
  } else {
    const std::string rev = readValue("CoordinateSystem", "ReverseAxis", "0", ini);
    if (!rev.empty())
      if (int a = axisOf(rev[0])) cs.reverseAxis = a;
  }
  if (int e = signedAxis(readValue("CoordinateSystem", "Eye", "0", ini))) cs.eye = e;
  if (int u = signedAxis(readValue("CoordinateSystem", "Up", "0", ini))) cs.up = u;
}

ColourAdjustment ReadColourAdjustment(const std::string& ini) {
  ColourAdjustment a;
  const std::string valid = readValue("Adjustment", "Valid", "0", ini);
  a.enabled = valid.empty() || valid[0] != '0';
  static const char* const kKeys[3] = {"R", "G", "B"};
  for (int c = 0; c < 3; ++c) {
    a.gain[c] = std::strtof(readValue("Gain", kKeys[c], "1.0", ini).c_str(), nullptr);
    a.offset[c] = std::atoi(readValue("Offset", kKeys[c], "0", ini).c_str());
  }
  return a;
}

bool WriteColourAdjustment(const ColourAdjustment& a, const std::string& ini) {
  static const char* const kKeys[3] = {"R", "G", "B"};
  if (!platform::writeProfileString("Adjustment", "Valid", a.enabled ? "1" : "0", ini.c_str())) return false;
  char buf[64];
  for (int c = 0; c < 3; ++c) {
    std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(a.gain[c]));
    if (!platform::writeProfileString("Gain", kKeys[c], buf, ini.c_str())) return false;
  }
  for (int c = 0; c < 3; ++c) {
    std::snprintf(buf, sizeof buf, "%d", a.offset[c]);
    if (!platform::writeProfileString("Offset", kKeys[c], buf, ini.c_str())) return false;
  }
  return true;
}

bool WriteOutputSettings(const std::string& ini, const std::string& bgText, const std::string& outFormat,
                         const std::string& outPath) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%06lX", std::strtoul(bgText.c_str(), nullptr, 16) & 0xFFFFFFul);
  if (!platform::writeProfileString("Setting", "bgcolor", buf, ini.c_str())) return false;
  if (outFormat.empty()) return false;
  if (!platform::writeProfileString("Setting", "out_format", outFormat.c_str(), ini.c_str())) return false;
  return platform::writeProfileString("Setting", "out_path", outPath.c_str(), ini.c_str());
}

std::string FormatColourHex(std::uint32_t rgb) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X%02X%02X", (rgb >> 16) & 0xFFu, (rgb >> 8) & 0xFFu, rgb & 0xFFu);
  return buf;
}

}  // namespace nubiview
