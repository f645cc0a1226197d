#include "diag/logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"

namespace diag {

void Logger::setLog(std::uint32_t flags, const char* path) {
  flags_ = flags;
  // Console output needs no attaching on Linux: standard output is there.
  if ((flags & kFile) && path) {
    std::snprintf(path_, sizeof path_, "%s", path);
    hasPath_ = true;
    int fd = ::open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}

void Logger::log(const char* format, ...) {
  if (flags_ == 0) return;
  va_list args;
  va_start(args, format);
  vlog(format, args);
  va_end(args);
}

void Logger::vlog(const char* format, va_list args) {
  if (flags_ == 0) return;
  char text[kMessageSize];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0) return;
  std::size_t len = std::strlen(text);
  if (flags_ & kDebugger) platform::debugOutput(ident_, text);
  if ((flags_ & kFile) && hasPath_) {
    // One open per message, so the file is complete whenever the process dies.
    int fd = ::open(path_, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ssize_t written = ::write(fd, text, len);
      (void)written;  // a lost message is the documented failure mode
      ::close(fd);
    }
  }
  if (flags_ & kConsole) {
    std::fwrite(text, 1, len, stdout);
    std::fflush(stdout);
  }
}

namespace {
std::unique_ptr<Logger>& slot() {
  static std::unique_ptr<Logger> logger = std::make_unique<Logger>();
  return logger;
}
}  // namespace

Logger& libraryLogger() { return *slot(); }

// Reset in place: a reference another thread took earlier stays valid.
void resetLibraryLogger(const char* ident) { *slot() = Logger(ident); }

}  // namespace diag
