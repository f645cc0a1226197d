#pragma once
// The error reporting the scene writers and readers share: an optional
// message out-parameter, and the output folder made with its parents.
#include <filesystem>
#include <string>
#include <system_error>

namespace sim {

// Sets *error when the caller asked for a message (error not null).
inline void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Creates dir and its parents; false with "cannot create DIR: reason".
inline bool makeOutputDir(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    setError(error, "cannot create " + dir + ": " + ec.message());
    return false;
  }
  return true;
}

}  // namespace sim
