#pragma once
// Pure parsers of projector replies: functions of bytes, no I/O, so that they
// can be tested and fuzzed on their own.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camera {

inline constexpr std::string_view kDiagMarker = "//diag.rgb: ";

// The lines of a reply, split at "\n" (a "\r" before it stays in the line).
// Text after the last "\n" is a line when it is not empty.
std::vector<std::string_view> replyLines(std::string_view reply);

// Reply parse: the lines up to and including the first one that holds ":OK"
// are appended to echoed (all lines when none does); true when one held ":OK".
bool parseReply(std::string_view reply, std::vector<std::string_view>* echoed);

// True when the chunk holds a line with ":OK" or ":ERR" (the end of a "z" reply).
bool endsSequenceReply(std::string_view chunk);

// Reads "R.G.B" (three hexadecimal numbers, at most 8 digits each and at most
// 0x7fffffff, blanks allowed before each) at the start of text. Empty when
// the text does not start so.
std::optional<std::array<std::uint32_t, 3>> parseDiagNumbers(std::string_view text);

// The numbers after the marker in the last line that holds the marker and
// readable numbers; empty when there is none.
std::optional<std::array<std::uint32_t, 3>> lastDiagLine(std::string_view reply);

// The numbers after the first marker in the reply; empty when there is no
// marker or its numbers cannot be read.
std::optional<std::array<std::uint32_t, 3>> firstDiagMarker(std::string_view reply);

// "iRRGGBB\r" for level (0-255) in all three channels.
std::string setLightText(unsigned level);

}  // namespace camera
