#include "decoder/common/settings_reader.h"

#include "platform/paths.h"
#include "platform/profile.h"

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace zel {

namespace {

constexpr std::size_t kValueBuffer = 256;

}  // namespace

std::string resolveSettingsPath(const char* path) {
  return platform::hasDirectoryPart(path) ? platform::toNativePath(path)
                                          : platform::joinPath(platform::currentDirectory(), path);
}

bool settingsFileExists(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

std::int32_t readSettingInt(const char* section, const char* key, std::int32_t def, const char* path) {
  char defText[32];
  std::snprintf(defText, sizeof defText, "%d", def);
  char value[kValueBuffer];
  platform::getProfileString(section, key, defText, value, sizeof value, path);
  return parseSettingInt(value);
}

double readSettingDouble(const char* section, const char* key, double def, const char* path) {
  // "%.20f" of a double can reach 330 characters.
  char defText[400];
  std::snprintf(defText, sizeof defText, "%.20f", def);
  char value[kValueBuffer];
  platform::getProfileString(section, key, defText, value, sizeof value, path);
  return std::strtod(value, nullptr);
}

std::int32_t parseSettingInt(const char* text) {
  long v = std::strtol(text, nullptr, 0);
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return static_cast<std::int32_t>(v);
}

const char* firstNonFinite(std::initializer_list<std::pair<const char*, double>> values) {
  for (const auto& [key, value] : values)
    if (!std::isfinite(value)) return key;
  return nullptr;
}

void reportSettingsError(const std::string& what) { std::cerr << "error: settings: " << what << "\n" << std::flush; }

}  // namespace zel
