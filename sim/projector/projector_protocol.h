#pragma once
// The projector's receive side: splitting the received bytes into command
// lines, which camera::zpj::parseCommand reads. No I/O.
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Collects received bytes and hands out the command lines they complete.
class CommandSplitter {
 public:
  // A line longer than this without its "\r" is noise, not a command.
  static constexpr std::size_t kMaxCommand = 256;

  void append(std::string_view bytes) { pending_.append(bytes); }
  // The next complete line without "\r" and with any "\n" removed; empty
  // optional when none is complete. Sets overflow (and drops the pending
  // bytes) when they grow past kMaxCommand without an end.
  std::optional<std::string> next(bool* overflow);

 private:
  std::string pending_;
};

}  // namespace sim
