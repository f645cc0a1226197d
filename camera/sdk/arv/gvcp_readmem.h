#pragma once
// GVCP READMEM on the wire, as pure functions over bytes: the layers read a
// device's user-defined name (bootstrap 0x00E8, 16 bytes) with it before they
// open anything, so that selecting a camera by name never takes control of,
// or downloads the description of, a device that is not the one asked for.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace camera::sdk {

constexpr std::uint16_t kGvcpPort = 3956;
constexpr std::uint32_t kUserNameAddress = 0x00E8;
constexpr std::uint16_t kUserNameLength = 16;
constexpr std::size_t kReadMemCommandSize = 16;

// READMEM command (acknowledge requested) for count bytes at address; count
// is a multiple of 4, at most 536 (one GVCP packet).
std::array<std::uint8_t, kReadMemCommandSize> buildReadMemCommand(std::uint16_t requestId, std::uint32_t address,
                                                                   std::uint16_t count);

enum class ReadMemAck {
  Ok,           // data holds count bytes
  NotOurs,      // not a READMEM acknowledge of this request (keep waiting)
  Refused,      // the device answered with a non-zero status
  Malformed,    // an acknowledge of this request whose lengths do not add up
};

// Checks one received datagram against the request (id, address, count);
// on Ok copies the count data bytes to data (which holds count bytes). Every
// length is checked before it is used; status gets the GVCP status code.
ReadMemAck parseReadMemAck(const std::uint8_t* packet, std::size_t size, std::uint16_t requestId,
                           std::uint32_t address, std::uint16_t count, std::uint8_t* data,
                           std::uint16_t* status = nullptr);

// The text of a user-defined name register: up to the first NUL, at most
// kUserNameLength bytes.
std::string userNameFromRegister(const std::uint8_t* data, std::size_t size);

}  // namespace camera::sdk
