#pragma once
// The diagnostic logger every host-loaded library carries. Flags: 1 appends
// to a log file, 2 writes to standard output, 4 goes to the debugger channel
// (syslog). Silent (flags 0) after creation. No lock: messages from several
// threads may interleave, each message being one write.
#include <cstdarg>
#include <cstdint>
#include <memory>

namespace diag {

class Logger {
 public:
  static constexpr std::uint32_t kFile = 1;
  static constexpr std::uint32_t kConsole = 2;
  static constexpr std::uint32_t kDebugger = 4;
  static constexpr std::size_t kMessageSize = 256;  // 255 characters + terminator
  static constexpr std::size_t kPathSize = 260;     // 259 characters + terminator

  // ident names the library on the debugger channel; must outlive the logger.
  explicit Logger(const char* ident = "zelcam") : ident_(ident) {}

  // Stores the flags. With kFile and a path: keeps a copy of the path (cut to
  // 259 characters) and empties that file. A null path keeps whatever path was
  // stored before (none on a fresh logger).
  void setLog(std::uint32_t flags, const char* path);

  // printf-style; the text is cut to 255 characters. No newline is added.
  void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vlog(const char* format, va_list args);

  std::uint32_t flags() const { return flags_; }
  // The stored path, or null when none is stored.
  const char* path() const { return hasPath_ ? path_ : nullptr; }

 private:
  const char* ident_;
  std::uint32_t flags_ = 0;
  bool hasPath_ = false;
  char path_[kPathSize] = {};
};

// The library-wide logger. Each shared library links its own copy of this
// module (symbols are hidden), so each library has its own instance.
Logger& libraryLogger();
// Replaces the library-wide logger by a new silent one (the decoders' factories
// do this at every call).
void resetLibraryLogger(const char* ident);

}  // namespace diag

// Logs through the library-wide logger; costs only the flag test when silent.
#define ZEL_LOG(...)                                          \
  do {                                                        \
    ::diag::Logger& zelLogger_ = ::diag::libraryLogger();     \
    if (zelLogger_.flags() != 0) zelLogger_.log(__VA_ARGS__); \
  } while (0)
