#pragma once
// Runs a call with the process's standard output and error captured at the
// file-descriptor level, for library calls that print their progress and
// complaints there (the calibration loaders, OpenCV). The text goes into a
// temporary file, unlinked at once, and is read back after the call.
//
// The capture swaps descriptors 1 and 2 for the whole process: the caller
// makes sure no other thread writes to them meanwhile. When no temporary file
// can be made or a descriptor can't be saved, the call runs uncaptured (its
// lines reach the real output) and *captured stays empty.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

template <typename F>
auto captureStandardOutput(std::string* captured, F f) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  const std::string pattern = (dir / "zelcam_output_XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd >= 0) ::unlink(name.data());
  const int saveOut = ::dup(STDOUT_FILENO), saveErr = ::dup(STDERR_FILENO);
  const bool redirected = fd >= 0 && saveOut >= 0 && saveErr >= 0;
  if (redirected) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
  }
  auto result = f();
  std::fflush(stdout);
  std::fflush(stderr);
  if (redirected) {
    ::dup2(saveOut, STDOUT_FILENO);
    ::dup2(saveErr, STDERR_FILENO);
  }
  if (saveOut >= 0) ::close(saveOut);
  if (saveErr >= 0) ::close(saveErr);
  captured->clear();
  if (fd >= 0) {
    if (redirected) {
      ::lseek(fd, 0, SEEK_SET);
      char buf[4096];
      ssize_t n;
      while ((n = ::read(fd, buf, sizeof buf)) > 0) captured->append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }
  return result;
}

}  // namespace platform
