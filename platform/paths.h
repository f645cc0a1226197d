#pragma once
// Path text helpers. Paths arriving from callers and files may use "\\" or
// "/" as separators; everything we build uses "/".
#include <string>
#include <string_view>

namespace platform {

inline bool isSeparator(char c) { return c == '/' || c == '\\'; }

// True when the text ends in "\\" or "/".
bool endsWithSeparator(std::string_view path);
// True when the text contains "\\" or "/".
bool hasDirectoryPart(std::string_view path);
// dir + "/" + name, without doubling a separator dir already ends in.
std::string joinPath(std::string_view dir, std::string_view name);
// Every "\\" replaced by "/".
std::string toNativePath(std::string_view path);
// The current directory, or "." when it cannot be read.
std::string currentDirectory();

}  // namespace platform
