#pragma once
// The viewer's two INI files: the program INI (output settings and the default
// coordinate system) and the companion INI beside each point file (its
// coordinate system and colour adjustment).
#include <cstdint>
#include <functional>
#include <string>

namespace nubiview {

struct OutputSettings {
  std::string outPath;        // "out_path": folder prefix ending in "*", or a file name
  std::string outFormat;      // "out_format": "ply.bin", "ply.asc", "3d" or anything else
  std::uint32_t bgColor = 0;  // "bgcolor": 0xRRGGBB
};

// Axis codes: 1 = X, 2 = Y, 3 = Z; eye and up may be negative.
struct CoordinateSystem {
  int colourOrder = 1;  // 1 = red, green, blue; 0 = blue, green, red
  int hand = 1;         // 1 = right-handed, 0 = left-handed
  int reverseAxis = 2;  // 0 = none, else the axis negated for display
  int eye = 2;
  int up = 3;
  bool operator==(const CoordinateSystem&) const = default;
};

// -1 for the reversed axis (0 = X, 1 = Y, 2 = Z), +1 for the others.
inline float displaySign(const CoordinateSystem& cs, int axis) { return cs.reverseAxis == axis + 1 ? -1.0f : 1.0f; }

struct ColourAdjustment {
  bool enabled = false;
  float gain[3] = {1.0f, 1.0f, 1.0f};
  int offset[3] = {0, 0, 0};
};

// INI values are read into 128-character buffers: longer values are cut.
constexpr std::size_t kIniValueSize = 128;

// Program INI: "nubiview.ini" beside the executable when that file exists,
// else $XDG_CONFIG_HOME/nubiview/nubiview.ini (XDG_CONFIG_HOME defaulting to
// $HOME/.config). exists decides whether a file is present.
std::string ProgramIniPath(const std::string& exePath, const char* xdgConfigHome, const char* home,
                           const std::function<bool(const std::string&)>& exists);
// The point file's path with its extension replaced by "ini" (appended when the
// file name has none); a leading double quote is skipped.
std::string CompanionIniPath(const std::string& pointPath);
// True when the file can be opened for reading.
bool IniPresent(const std::string& path);

OutputSettings ReadOutputSettings(const std::string& iniPath);
// Applies the "Color" and "CoordinateSystem" keys found in iniPath onto record;
// absent keys and unknown values leave fields as they are.
void ReadCoordinateSystem(CoordinateSystem& record, const std::string& iniPath);
ColourAdjustment ReadColourAdjustment(const std::string& iniPath);
// Writes Valid, the gains ("%.2f") and the offsets ("%d") in that order and
// stops at the first failed write (returns false).
bool WriteColourAdjustment(const ColourAdjustment& adj, const std::string& iniPath);

// The Options dialog's writes into section "Setting", in order, stopping at the
// first failure: "bgcolor" as "%06X" of bgText read as hexadecimal, "out_format"
// (an empty value means no entry selected and counts as failure), "out_path".
bool WriteOutputSettings(const std::string& iniPath, const std::string& bgText, const std::string& outFormat,
                         const std::string& outPath);

// "%02X%02X%02X" of a 0xRRGGBB colour.
std::string FormatColourHex(std::uint32_t rgb);

}  // namespace nubiview
