#pragma once
// Texts of the stereo head's plug-in that come from outside bytes or
// Gevlink's results, as pure functions: the error report of a Gevlink call,
// a device's discovery record, and the check of a filled stream buffer
// before its image is handed on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gevlink.h"

namespace camera::ktds {

// The name of a Gevlink status ("NO_ERROR", "ERROR_INVALID_HANDLE", ...);
// for status 1208 "ERROR_EXTENDED_ERROR " and the extended code's name
// ("--UNKNOWN--" for a code Gevlink does not define); "--UNKNOWN--" for any
// other status.
std::string gevlinkCodeName(std::uint32_t status, std::uint32_t code);

// "<operation> <name>\nCode:0x%08X Info:0x%08X Status:0x%08X\n", at most 511
// characters.
std::string gevlinkErrorReport(const char* operation, std::uint32_t status, const GDevErrInfo& err);

// The discovery record as lines "name: value" for standard output. The
// device's texts are not trusted to be terminated or printable: each is
// read within its field and anything unprintable is shown as '.'.
std::string discoveryRecordText(const DeviceInfo& info);

// "a.b.c.d" of an address kept in network byte order (as DeviceInfo does).
std::string dottedAddress(std::uint32_t networkOrder);

// The image in a buffer Gevlink filled: its header must name a frame of
// width x height 8-bit pixels whose bytes all lie inside the buffer. Returns
// the number of image bytes (from GDEV_FRAME_DATA_OFFSET on), or 0 with *why
// when the buffer does not hold such a frame.
std::size_t frameImageBytes(const std::uint8_t* buffer, std::size_t bufferSize, std::uint32_t width,
                            std::uint32_t height, std::string* why);

}  // namespace camera::ktds
