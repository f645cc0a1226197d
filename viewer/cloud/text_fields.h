#pragma once
// Tokens and numbers of the text formats (ASCII PLY bodies and text rows).
// Parsing never depends on the process locale: a GUI toolkit that sets a
// locale with a decimal comma must not change how point files read.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cloud {

// A double as float; values beyond float's range become infinities (a plain
// conversion would be undefined there).
float narrowToFloat(double value);

// Splits line at blanks, tabs, CR, LF, VT and FF into at most maxTokens
// tokens (the rest of the line is ignored); returns how many were found.
std::size_t splitTokens(std::string_view line, std::string_view* tokens, std::size_t maxTokens);

// The decimal floating-point number at the start of the token; 0 when the
// token does not start with one ("1,2,3" gives 1). Out-of-range values give
// infinity or 0 as a C library would.
float parseFloatPrefix(std::string_view token);

// The decimal integer at the start of the token, reduced modulo 2^32 as a
// signed value; 0 when the token does not start with one ("12.7" gives 12).
std::int32_t parseIntPrefix(std::string_view token);

// The unsigned decimal number at the start of text after leading blanks,
// saturated at the largest uint64; 0 when there is none.
std::uint64_t parseCount(std::string_view text);

}  // namespace cloud
