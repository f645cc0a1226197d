#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// One physical line of the file; text excludes the line terminator, which is
// kept separately so that a rewrite reproduces every other byte.
struct Line {
  std::string text;
  std::string ending;
};

std::optional<std::string> readWhole(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return ss.str();
}

std::vector<Line> splitLines(const std::string& data) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < data.size()) {
    std::size_t nl = data.find('\n', pos);
    Line line;
    if (nl == std::string::npos) {
      line.text = data.substr(pos);
      pos = data.size();
    } else {
      std::size_t end = nl;
      if (end > pos && data[end - 1] == '\r') {
        --end;
        line.ending = "\r\n";
      } else {
        line.ending = "\n";
      }
      line.text = data.substr(pos, end - pos);
      pos = nl + 1;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// "[name]" with optional blanks; returns the trimmed name.
std::optional<std::string_view> sectionName(std::string_view line) {
  std::string_view t = trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  std::size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(t.substr(1, close - 1));
}

bool isComment(std::string_view line) {
  std::string_view t = trim(line);
  return !t.empty() && t.front() == ';';
}

// Splits "key = value" into trimmed key and raw value; nullopt for lines that
// hold no key.
std::optional<std::pair<std::string_view, std::string_view>> keyValue(std::string_view line) {
  if (isComment(line)) return std::nullopt;
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view key = trim(line.substr(0, eq));
  if (key.empty()) return std::nullopt;
  return std::make_pair(key, line.substr(eq + 1));
}

std::string_view unquote(std::string_view v) {
  v = trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

std::optional<std::string> lookup(const char* section, const char* key, const char* path) {
  if (!section || !key || !path) return std::nullopt;
  std::optional<std::string> data = readWhole(path);
  if (!data) return std::nullopt;
  bool inSection = false;
  bool sectionSeen = false;
  for (const Line& line : splitLines(*data)) {
    if (auto name = sectionName(line.text)) {
      if (inSection) return std::nullopt;  // first occurrence of the section only
      inSection = !sectionSeen && equalsNoCase(*name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    if (auto kv = keyValue(line.text); kv && equalsNoCase(kv->first, key)) {
      return std::string(unquote(kv->second));
    }
  }
  return std::nullopt;
}

}  // namespace

std::size_t getProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                             std::size_t outSize, const char* path) {
  if (!out || outSize == 0) return 0;
  std::optional<std::string> found = lookup(section, key, path);
  std::string_view value;
  if (found) {
    value = *found;
  } else if (defaultValue) {
    // The Windows function drops trailing blanks of the default as well.
    value = defaultValue;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  }
  std::size_t n = std::min(value.size(), outSize - 1);
  if (n > 0) std::memcpy(out, value.data(), n);
  out[n] = '\0';
  return n;
}

std::string getProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                             const std::string& path) {
  std::optional<std::string> found = lookup(section.c_str(), key.c_str(), path.c_str());
  return found ? *found : defaultValue;
}

bool writeProfileString(const char* section, const char* key, const char* value, const char* path) {
  if (!section || !path || !*path) return false;
  std::string data;
  struct stat st {};
  bool exists = ::stat(path, &st) == 0;
  if (exists) {
    std::optional<std::string> read = readWhole(path);
    if (!read) return false;
    data = std::move(*read);
  }
  std::vector<Line> lines = splitLines(data);
  // New lines take the file's own line ending.
  std::string eol = "\n";
  for (const Line& l : lines) {
    if (!l.ending.empty()) {
      eol = l.ending;
      break;
    }
  }

  // Locate the first occurrence of the section: [begin, end) are its lines
  // after the header; lastKeyLine is where a new key goes.
  std::optional<std::size_t> header;
  std::size_t end = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = sectionName(lines[i].text)) {
      if (header) {
        end = i;
        break;
      }
      if (equalsNoCase(*name, section)) header = i;
    }
  }

  if (!key) {
    if (!header) return true;  // nothing to delete
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*header), lines.begin() + static_cast<std::ptrdiff_t>(end));
  } else if (!header) {
    if (!value) return true;
    if (!lines.empty() && lines.back().ending.empty()) lines.back().ending = eol;
    lines.push_back({"[" + std::string(section) + "]", eol});
    lines.push_back({std::string(key) + "=" + value, eol});
  } else {
    std::optional<std::size_t> keyLine;
    std::size_t lastContent = *header;
    for (std::size_t i = *header + 1; i < end; ++i) {
      if (auto kv = keyValue(lines[i].text); kv && equalsNoCase(kv->first, key)) {
        keyLine = i;
        break;
      }
      if (!trim(lines[i].text).empty() && !isComment(lines[i].text)) lastContent = i;
    }
    if (keyLine) {
      if (value) {
        lines[*keyLine].text = std::string(key) + "=" + value;
      } else {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*keyLine));
      }
    } else if (value) {
      // After the section's last key line, so blank lines and comments
      // before the next section stay where they are.
      std::size_t at = lastContent + 1;
      if (lines[lastContent].ending.empty()) lines[lastContent].ending = eol;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), Line{std::string(key) + "=" + value, eol});
    }
  }

  std::string outData;
  for (const Line& l : lines) outData += l.text + l.ending;

  std::string tmp = std::string(path) + ".XXXXXX";
  std::vector<char> tmpName(tmp.begin(), tmp.end());
  tmpName.push_back('\0');
  int fd = ::mkstemp(tmpName.data());
  if (fd < 0) return false;
  mode_t mode = exists ? (st.st_mode & 07777) : 0644;
  ::fchmod(fd, mode);
  bool ok = true;
  std::size_t done = 0;
  while (done < outData.size()) {
    ssize_t w = ::write(fd, outData.data() + done, outData.size() - done);
    if (w <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmpName.data(), path) == 0;
  if (!ok) ::unlink(tmpName.data());
  return ok;
}

}  // namespace platform
