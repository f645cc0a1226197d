#pragma once
// Reading the decoders' settings files (Windows profile / INI format). Both
// decoders read their keys the same way: as text with a 256-byte buffer and
// the built-in default written as text, integers parsed with base detection,
// doubles as decimal.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace zel {

// The settings path a caller's text names: a text without "\\" or "/" is
// taken relative to the current directory, anything else is used as given
// (with "\\" read as a separator).
std::string resolveSettingsPath(const char* path);

// True when path names an existing regular file.
bool settingsFileExists(const char* path);

// An integer key: the default is written in decimal; the value is parsed with
// parseSettingInt. A missing key gives the default, an empty or unparsable
// value 0.
std::int32_t readSettingInt(const char* section, const char* key, std::int32_t def, const char* path);

// A double key: the default is written with "%.20f" and cut to the value
// buffer exactly as a stored value would be; the value is parsed as decimal
// floating point (empty or unparsable: 0).
double readSettingDouble(const char* section, const char* key, double def, const char* path);

// One key of a decoder's settings and the field of Params it fills: an
// integer or a double field, the other member null.
template <class Params>
struct SettingKey {
  const char* section;
  const char* key;
  std::int32_t Params::*intField = nullptr;
  double Params::*doubleField = nullptr;
};

// Reads every key of the table from path into params, each with the default
// a Params{} holds. False (params unchanged) when the file does not exist.
template <class Params, std::size_t N>
bool readSettingsTable(const char* path, const SettingKey<Params> (&keys)[N], Params& params) {
  if (!settingsFileExists(path)) return false;
  const Params def;
  Params p;
  for (const SettingKey<Params>& k : keys) {
    if (k.intField)
      p.*k.intField = readSettingInt(k.section, k.key, def.*k.intField, path);
    else
      p.*k.doubleField = readSettingDouble(k.section, k.key, def.*k.doubleField, path);
  }
  params = p;
  return true;
}

// Integer parsing of a settings value: strtol with base 0 (0x.. hexadecimal,
// 0.. octal), clamped to int32 (the range of the 32-bit long the settings
// format was defined with).
std::int32_t parseSettingInt(const char* text);

// The key of the first value that is NaN or infinite ("nan", "inf" and
// "1e999" parse as such), or null when all are finite. A non-finite
// threshold makes every comparison with it false, which silently switches a
// filter off, so the decoders refuse such settings.
const char* firstNonFinite(std::initializer_list<std::pair<const char*, double>> values);

// Writes "error: settings: <what>\n" to standard error, where the calibration
// loader's lines go too, so a host that shows those shows the real cause.
void reportSettingsError(const std::string& what);

}  // namespace zel
