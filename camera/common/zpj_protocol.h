#pragma once
// The projector's text protocol, both directions, as pure functions of bytes
// (no I/O): the only place that knows its texts. The host's links (ZpjSock,
// ZpjCom, the stereo head's serial channel) build their commands here and read
// the replies here; the virtual projector parses the commands and builds its
// replies here.
//
// Commands end with "\r":
//   p<n>      show pattern n (0-12)                 -> ":OK" (":ERR" out of range)
//   r         stop any sequence, show pattern 0     -> no reply
//   z<n>      show patterns 0..n-1 (n 1-13), a line "seq <k>" after each, then ":OK"
//   x<n>      echo                                  -> "<n>", ":OK"
//   iRRGGBB   light level per channel (hex)         -> ":OK"
//   d         diagnostic                            -> "diag", then "//diag.rgb: r.g.b" (hex)
// Reply lines end with "\r\n". The stereo head's own projector takes "o<n>"
// for a pattern and answers its diagnostic "i" with the brightness.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camera::zpj {

inline constexpr int kPatternCount = 13;
inline constexpr std::string_view kOk = ":OK";
inline constexpr std::string_view kErr = ":ERR";
inline constexpr std::string_view kDiagMarker = "//diag.rgb: ";

// --- host -> projector ---
std::string patternCommand(int n);   // "p<n>\r"
std::string resetCommand();          // "r\r"
std::string sequenceCommand(int n);  // "z<n>\r"
std::string echoCommand(int n);      // "x<n>\r"
std::string diagCommand();           // "d\r"
// "iRRGGBB\r" for level (0-255) in all three channels; a level above the
// range is the brightest one, never a longer command the controller would
// misread.
std::string lightCommand(unsigned level);

// The stereo head's serial channel: "o" and the low 8 bits of n in decimal;
// its diagnostic is "i" alone. Light, sequence and echo are as above.
std::string headPatternCommand(int n);  // "o<n & 0xff>\r"
std::string headDiagCommand();          // "i\r"
// One character as the 32-bit word the head's channel register takes: the
// character code in the low 16 bits, their complement in the high 16.
std::uint32_t headChannelWord(char c);
// The character a channel word carries; empty when the complement is wrong.
std::optional<char> headChannelChar(std::uint32_t word);

// --- projector -> host ---
std::string replyLine(std::string_view text);                       // text + "\r\n"
std::string okLine();                                               // ":OK\r\n"
std::string errLine();                                              // ":ERR\r\n"
std::string echoReply(long n);                                      // "<n>\r\n:OK\r\n"
std::string sequenceStepLine(int k, bool last);                     // "seq <k>\r\n" (+ ":OK\r\n" after the last)
std::string diagAckLine();                                          // "diag\r\n"
std::string diagLine(unsigned red, unsigned green, unsigned blue);  // "//diag.rgb: r.g.b\r\n"

// --- the projector reads commands ---
struct Command {
  enum class Kind { Pattern, Reset, Sequence, Echo, Light, Diag, Invalid };
  Kind kind = Kind::Invalid;
  long number = 0;                    // Pattern (0-12), Sequence (1-13), Echo
  std::array<std::uint8_t, 3> rgb{};  // Light
};
// Reads one command line (without its "\r"). Out-of-range numbers and
// malformed arguments give Kind::Invalid.
Command parseCommand(std::string_view line);

// --- the host reads replies ---
// The lines of a reply, split at "\n" (a "\r" before it stays in the line).
// Text after the last "\n" is a line when it is not empty.
std::vector<std::string_view> replyLines(std::string_view reply);

// The lines up to and including the first one that holds ":OK" are appended
// to echoed (all lines when none does); true when one held ":OK".
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

}  // namespace camera::zpj
