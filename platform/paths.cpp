#include "platform/paths.h"

#include <unistd.h>

#include <vector>

namespace platform {

bool endsWithSeparator(std::string_view path) { return !path.empty() && isSeparator(path.back()); }

bool hasDirectoryPart(std::string_view path) { return path.find_first_of("/\\") != std::string_view::npos; }

std::string joinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && !endsWithSeparator(out)) out += '/';
  out += name;
  return out;
}

std::string toNativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string currentDirectory() {
  std::vector<char> buf(4096);
  if (::getcwd(buf.data(), buf.size()) == nullptr) return ".";
  return buf.data();
}

}  // namespace platform
