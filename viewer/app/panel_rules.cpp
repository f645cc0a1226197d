#include "viewer/app/panel_rules.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace nubiview {

std::string GainText(int v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v * 0.01);
  return buf;
}

std::string OffsetText(int v) { return std::to_string(v); }

bool ApplyGainText(std::string& text, int& slider) {
  const float g = std::trunc(std::strtof(text.c_str(), nullptr) * 100.0f);
  // a huge or NaN value would not fit an int; such text is out of range anyway
  if (std::isfinite(g) && g >= 0 && g <= kGainSliderMax) {
    slider = static_cast<int>(g);
    return true;
  }
  text = GainText(slider);
  return false;
}

bool ApplyOffsetText(std::string& text, int& slider) {
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v >= 0 && v <= kOffsetSliderMax) {
    slider = static_cast<int>(v);
    return true;
  }
  text = OffsetText(slider);
  return false;
}

std::string DefaultExtension(const std::string& outFormat) { return outFormat.substr(0, outFormat.find('.')); }

std::string DateTimeFileName(const std::string& prefix, const std::tm& t, const std::string& ext) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d.", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec);
  return prefix + buf + ext;
}

std::string ResolveOutPath(const std::string& outPath, const std::string& ext, const std::tm& now, std::string& error) {
  error.clear();
  if (outPath.empty() || outPath.back() != '*') return outPath;
  const std::string prefix = outPath.substr(0, outPath.size() - 1);
  const std::string name = DateTimeFileName(prefix, now, ext);
  if (name.size() > 260) {
    error = prefix;
    return "";
  }
  for (std::size_t i = 1; i < prefix.size(); ++i) {
    if (prefix[i] != '/' && prefix[i] != '\\') continue;
    std::string dir = prefix.substr(0, i);
    for (char& c : dir)
      if (c == '\\') c = '/';
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      error = dir;
      return "";
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      error = dir;
      return "";
    }
  }
  std::string native = name;
  for (char& c : native)
    if (c == '\\') c = '/';
  return native;
}

}  // namespace nubiview
