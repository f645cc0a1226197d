#include "gevlink/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/profile.h"

namespace gevlink {
namespace {

const char* kControlSection = "SOFTWARE\\KTS\\ZazAVir";
const char* kTraceSection = "SOFTWARE\\RivUZ\\ZazAVir\\Trace";
const char* kUnset = "\x01unset";

// A DWORD value: decimal or 0x hex; anything unreadable keeps the default.
uint32_t readDword(const char* section, const char* key, uint32_t fallback, const std::string& path) {
  std::string text = platform::getProfileString(section, key, kUnset, path);
  if (text == kUnset || text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > 0xFFFFFFFFull) return fallback;
  return static_cast<uint32_t>(value);
}

bool usableDirectory(const std::string& dir) {
  if (dir.empty()) return false;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

// /var/log/gevlink when this user may write there, else $XDG_STATE_HOME/gevlink
// (~/.local/state/gevlink).
std::string defaultTraceDirectory() {
  if (usableDirectory("/var/log/gevlink")) return "/var/log/gevlink";
  std::string state;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    state = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    state = std::string(home) + "/.local/state";
    std::string local = std::string(home) + "/.local";
    mkdir(local.c_str(), 0755);
  } else {
    return {};
  }
  mkdir(state.c_str(), 0755);
  return state + "/gevlink";
}

}  // namespace

void limitTraceSettings(Settings& s) {
  if (s.traceFileSize < 0x10000) s.traceFileSize = 0x10000;
  s.traceFileSize -= s.traceFileSize % 4096;
  if (s.traceFileCount <= 3) s.traceFileCount = 4;
  if (s.traceFileCount > 100) s.traceFileCount = 100;
  if (s.traceDataSize < 16) s.traceDataSize = 16;
  if (s.traceDataSize > s.traceFileSize - 4096) s.traceDataSize = s.traceFileSize - 4096;
  s.traceDataSize -= s.traceDataSize % 16;
}

Settings readSettings(const std::string& path) {
  Settings s;
  uint32_t ccp = readDword(kControlSection, "DefaultCCP", 1, path);
  s.defaultCcp = (ccp >= 1 && ccp <= 3) ? ccp : 1;
  s.xmlNoErase = readDword(kControlSection, "XMLNoErase", 0, path) != 0;
  s.xmlUseLocal = readDword(kControlSection, "XMLUseLocal", 0, path) != 0;
  s.xmlFolder = platform::getProfileString(kControlSection, "XMLFolder", "", path);
  std::string dir = platform::getProfileString(kTraceSection, "TraceFileDirectory", kUnset, path);
  s.traceDirectory = dir == kUnset ? defaultTraceDirectory() : dir;
  s.traceFileSize = readDword(kTraceSection, "TraceFileSize", 0x80000, path);
  s.traceFileCount = readDword(kTraceSection, "TraceFileCount", 10, path);
  s.traceDataSize = readDword(kTraceSection, "TraceDataSize", 128, path);
  limitTraceSettings(s);
  return s;
}

std::string settingsPath() {
  const char* env = std::getenv("GEVLINK_CONFIG");
  return env && *env ? env : "/etc/gevlink.conf";
}

}  // namespace gevlink
