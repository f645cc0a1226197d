#pragma once
// Turns the bytes of a trace file into text, one line per record, oldest
// first. Damaged files (short, wrong name, positions or lengths outside the
// ring) give a message, never a read outside the bytes given.
#include <cstddef>
#include <cstdint>
#include <string>

namespace gevlink {

// Returns false with a reason in text when the bytes are not a trace file.
bool formatTrace(const uint8_t* data, std::size_t size, std::string& text);

}  // namespace gevlink
