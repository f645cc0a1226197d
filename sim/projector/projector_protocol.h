#pragma once
// The projector's side of the text protocol as pure functions: splitting the
// received bytes into commands and reading one command. No I/O.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct ProjectorCommand {
  enum class Kind { Pattern, Reset, Sequence, Echo, Light, Diag, Invalid };
  Kind kind = Kind::Invalid;
  long number = 0;                     // Pattern (0-12), Sequence (1-13), Echo
  std::array<std::uint8_t, 3> rgb {};  // Light
};

// Reads one command line (without its "\r"). Out-of-range numbers and
// malformed arguments give Kind::Invalid.
ProjectorCommand parseProjectorCommand(std::string_view line);

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
